#include "midi/midi_out_port.h"

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

bool allDigits(std::string_view text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The name without the numbers Windows gives devices that share a name: a
// leading "2- " and a trailing " (2)". Only those exact forms, so "Port 10"
// never becomes "Port 1"; a name that is nothing but a number stays whole.
std::string_view withoutNumbering(std::string_view name)
{
    if (const auto dash = name.find("- "); dash != std::string_view::npos && allDigits(name.substr(0, dash)) &&
                                           dash + 2 < name.size()) {
        name.remove_prefix(dash + 2);
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

// The second message a failed switch shows, or empty for none.
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
}

bool MidiOutPort::refreshDeviceList()
{
    if (busy_) {
        return false;
    }
    service_.rescanDevices();
    deviceCount_ = static_cast<int>(service_.deviceCount());
    listMidiOutDevices();
    const auto saved = std::find_if(names_.begin(), names_.end(),
                                    [this](const std::string& name) { return sameDeviceName(savedName_, name); });
    const bool savedAppeared = !switchedByUser_ && !savedName_.empty() && saved != names_.end() &&
                               !sameDeviceName(savedName_, chosenName_);
    if (savedAppeared) {
        chosenName_ = *saved;
    }
    const auto chosen = std::find(names_.begin(), names_.end(), chosenName_);
    // A chosen device that is gone keeps its identifier: the settings keep
    // it for when it is back.
    if (chosenName_.empty() || chosen == names_.end()) {
        list_.selectIndex(-1);
        return false;
    }
    select(static_cast<int>(chosen - names_.begin()));
    if (!savedAppeared && handle_ != 0 && !service_.deviceLeft(handle_)) {
        return false;
    }
    // A module switched off and on again has forgotten its voice; there is
    // nothing on it to silence first. The device chosen in the saved one's
    // stead is left as a switch leaves it.
    if (savedAppeared) {
        service_.sendShortMessage(handle_, kAllSoundOffChannel10);
    }
    service_.close(handle_);
    return service_.open(handle_, static_cast<unsigned>(selectedDeviceId_)) == result::kNoError;
}

int MidiOutPort::openMidiOutWithRetries(unsigned deviceId)
{
    int result = service_.open(handle_, deviceId);
    for (int retry = 1; retry < kOpenAttempts && result != result::kNoError; ++retry) {
        service_.close(handle_);
        pump_.sleepMilliseconds(kRetrySleepMilliseconds);
        result = service_.open(handle_, deviceId);
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
    service_.sendShortMessages(handle_, words);
}

void MidiOutPort::closeMidiOut()
{
    service_.close(handle_);
}

}  // namespace tavrelle::midi
