#include "midi/midi_out_port.h"

#include "midi/digits.h"

#include <algorithm>
#include <string_view>
#include <utility>

namespace tavrelle::midi {
namespace {

constexpr int kOpenAttempts = 6;
constexpr int kRetrySleepMilliseconds = 500;

// Line breaks count as blanks, since a name is saved with its line breaks
// turned into blanks.
bool sameDeviceName(const std::string& saved, const std::string& listed)
{
    const auto blankBreaks = [](char c) { return c == '\r' || c == '\n' ? ' ' : c; };
    return std::equal(saved.begin(), saved.end(), listed.begin(), listed.end(),
                      [&](char a, char b) { return blankBreaks(a) == blankBreaks(b); });
}

// Without the numbers Windows gives devices that share a name: a leading
// "2- " or "2 - " and a trailing " (2)", exactly, so "Port 10" never becomes
// "Port 1"; a name that is nothing but a number stays whole.
std::string_view withoutNumbering(std::string_view name)
{
    if (const auto dash = name.find("- "); dash != std::string_view::npos && dash + 2 < name.size()) {
        std::string_view number = name.substr(0, dash);
        if (number.ends_with(' ')) {
            number.remove_suffix(1);
        }
        if (allDigits(number)) {
            name.remove_prefix(dash + 2);
        }
    }
    if (const auto open = name.rfind(" ("); open != std::string_view::npos && open > 0 && name.back() == ')' &&
                                            allDigits(name.substr(open + 2, name.size() - open - 3))) {
        name.remove_suffix(name.size() - open);
    }
    return name;
}

std::string startupOpenFailureMessage(int result)
{
    switch (result) {
    case 1: return "ERROR";
    case 2: return "BADDEVICEID";
    case 3: return "NOTENABLED";
    case 4: return "ALLOCATED";
    case 5: return "指定されたデバイス ハンドルが無効です。";
    case 6: return "NODRIVER";
    case 7: return "メモリの割り当てまたはロックができません。";
    case 8: return "NOTSUPPORTED";
    case 9: return "BADERRNUM";
    case 10: return "INVALFLAG";
    case 11: return "INVALPARAM";
    case 12: return "HANDLEBUSY";
    case 13: return "INVALIDALIAS";
    case 20: return "LASTERROR";
    default: return "ＭＩＤＩデバイスが開けません";
    }
}

std::string switchFailureDetail(int result)
{
    switch (result) {
    case 5: return "error3";
    case 11: return "error4";
    case 64: return "error2";
    case 67: return "error1";
    default: return {};
    }
}

}  // namespace

int savedDevicePosition(const std::vector<std::string>& names, const std::string& savedName)
{
    // Ports change places between sessions; the name is what stays.
    const auto same = [&savedName](const std::string& name) { return sameDeviceName(savedName, name); };
    if (const auto exact = std::find_if(names.begin(), names.end(), same); exact != names.end()) {
        return static_cast<int>(exact - names.begin());
    }
    // Windows numbers devices that share a name, and the numbers move as
    // devices come and go: the one device that is the saved one once the
    // numbers are dropped. Two such devices are two guesses, so neither.
    const std::string savedBase(withoutNumbering(savedName));
    int numbered = -1;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (sameDeviceName(savedBase, std::string(withoutNumbering(names[i])))) {
            if (numbered >= 0) {
                return -1;
            }
            numbered = static_cast<int>(i);
        }
    }
    return numbered;
}

MidiOutPort::MidiOutPort(MidiOutService& service, DeviceListView& list, MessagePresenter& messages, EventPump& pump)
    : service_(service), list_(list), messages_(messages), pump_(pump)
{
}

void MidiOutPort::listMidiOutDevices()
{
    names_.clear();
    ids_ = {};
    const unsigned count = service_.deviceCount();
    for (unsigned deviceId = 0; deviceId < count; ++deviceId) {
        std::string name;
        if (service_.deviceName(deviceId, name) == result::kNoError) {
            ids_.append(deviceId);
            names_.push_back(std::move(name));
        }
    }
    list_.showDevices(names_);
}

void MidiOutPort::select(int position)
{
    list_.selectIndex(position);
    selectedDeviceId_ = static_cast<int>(ids_.at(list_.selectedIndex()));
}

std::string MidiOutPort::selectedDeviceName() const
{
    const int selected = list_.selectedIndex();
    return selected >= 0 ? names_[static_cast<std::size_t>(selected)] : std::string{};
}

void MidiOutPort::restoreDeviceSelection(int savedPosition, const std::string& savedName)
{
    const auto listed = [this](int position) {
        return position >= 0 && static_cast<std::size_t>(position) < names_.size() ? position : -1;
    };
    // The saved value is the device identifier of the last run, applied here
    // as a list position; the name check below catches the difference.
    int position = listed(savedPosition);
    if (deviceCount_ < static_cast<int>(ids_.at(position))) {
        position = listed(0);
    }
    if (!sameDeviceName(savedName, position >= 0 ? names_[static_cast<std::size_t>(position)] : std::string{})) {
        const int found = savedDevicePosition(names_, savedName);
        position = found >= 0 ? found : listed(0);
    }
    select(position);
    if (deviceCount_ < selectedDeviceId_) {
        selectedDeviceId_ = 0;
    }
    chosenName_ = selectedDeviceName();
    savedName_ = savedName;
    list_.showAwayDevice(awayDeviceName());
}

std::string MidiOutPort::awayDeviceName() const
{
    if (list_.selectedIndex() >= 0) {
        return {};
    }
    if (!chosenName_.empty()) {
        return chosenName_;
    }
    return switchedByUser_ ? std::string{} : savedName_;
}

bool MidiOutPort::refreshDeviceList()
{
    if (busy_) {
        return false;
    }
    service_.rescanDevices();
    deviceCount_ = static_cast<int>(service_.deviceCount());
    listMidiOutDevices();
    const int saved = switchedByUser_ || savedName_.empty() ? -1 : savedDevicePosition(names_, savedName_);
    const bool savedAppeared = saved >= 0 && names_[static_cast<std::size_t>(saved)] != chosenName_;
    if (savedAppeared) {
        chosenName_ = names_[static_cast<std::size_t>(saved)];
    }
    const auto chosen = std::find(names_.begin(), names_.end(), chosenName_);
    // A chosen device that is gone keeps its identifier: the settings keep
    // it for when it is back. Whatever is open on it reaches nothing now.
    if (chosenName_.empty() || chosen == names_.end()) {
        reached_ = false;
        list_.selectIndex(-1);
        list_.showAwayDevice(awayDeviceName());
        return false;
    }
    select(static_cast<int>(chosen - names_.begin()));
    list_.showAwayDevice({});
    if (!savedAppeared && reached_ && !service_.deviceLeft(handle_)) {
        return false;
    }
    // A module switched off and on again has forgotten its voice: nothing to
    // silence first. A device chosen in the saved one's stead is silenced.
    if (savedAppeared) {
        service_.sendShortMessage(handle_, kAllSoundOffChannel10);
    }
    service_.close(handle_);
    return open(static_cast<unsigned>(selectedDeviceId_)) == result::kNoError;
}

int MidiOutPort::open(unsigned deviceId)
{
    const int result = service_.open(handle_, deviceId);
    reached_ = result == result::kNoError;
    return result;
}

int MidiOutPort::openMidiOutWithRetries(unsigned deviceId)
{
    int result = open(deviceId);
    for (int retry = 1; retry < kOpenAttempts && result != result::kNoError; ++retry) {
        service_.close(handle_);
        pump_.sleepMilliseconds(kRetrySleepMilliseconds);
        result = open(deviceId);
    }
    return result;
}

void MidiOutPort::reportStartupOpenFailure(int result)
{
    if (result != result::kNoError) {
        messages_.showMessage(startupOpenFailureMessage(result));
    }
}

void MidiOutPort::switchMidiOutDevice()
{
    // Window events run during the waits and boxes below; none may start
    // another operation of the port meanwhile.
    busy_ = true;
    pump_.processPendingEvents();
    service_.sendShortMessage(handle_, kAllSoundOffChannel10);
    service_.close(handle_);
    selectedDeviceId_ = static_cast<int>(ids_.at(list_.selectedIndex()));
    chosenName_ = selectedDeviceName();
    switchedByUser_ = true;
    list_.showAwayDevice({});
    lastOpenResult_ = openMidiOutWithRetries(static_cast<unsigned>(selectedDeviceId_));
    if (lastOpenResult_ != result::kNoError) {
        messages_.showMessage("ＭＩＤＩデバイスが開けません");
        if (const std::string detail = switchFailureDetail(lastOpenResult_); !detail.empty()) {
            messages_.showMessage(detail);
        }
    }
    busy_ = false;
}

void MidiOutPort::sendShortMessages(std::span<const std::uint32_t> words)
{
    if (const int failed = service_.sendShortMessages(handle_, words);
        failed != result::kNoError && failed != result::kInvalidParam) {
        reached_ = false;
    }
}

void MidiOutPort::closeMidiOut()
{
    service_.close(handle_);
}

}  // namespace tavrelle::midi
