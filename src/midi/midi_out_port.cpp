#include "midi/midi_out_port.h"

namespace tavrelle::midi {

bool sameDeviceName(const std::string& saved, const std::string& listed)
{
    if (saved.size() != listed.size()) {
        return false;
    }
    const auto blankBreaks = [](char c) { return c == '\r' || c == '\n' ? ' ' : c; };
    for (std::size_t i = 0; i < saved.size(); ++i) {
        if (blankBreaks(saved[i]) != blankBreaks(listed[i])) {
            return false;
        }
    }
    return true;
}

MidiOutPort::MidiOutPort(MidiOutService& service, DeviceListView& list, MessagePresenter& messages, EventPump& pump)
    : service_(service), list_(list), messages_(messages), pump_(pump)
{
}

void MidiOutPort::listMidiOutDevices()
{
    names_.clear();
    deviceIdTable_ = DeviceIdTable{};
    const unsigned count = service_.deviceCount();
    for (unsigned deviceId = 0; deviceId < count && !deviceIdTable_.full(); ++deviceId) {
        std::string name;
        if (service_.deviceName(deviceId, name) != result::kNoError) {
            continue;
        }
        deviceIdTable_.append(deviceId);
        names_.push_back(std::move(name));
    }
    list_.showDevices(names_);
}

void MidiOutPort::select(int position)
{
    list_.selectIndex(position >= 0 && static_cast<std::size_t>(position) < names_.size() ? position : -1);
    const int selected = list_.selectedIndex();
    selectedDeviceId_ = selected >= 0 ? static_cast<int>(deviceIdTable_.at(selected)) : 0;
}

std::string MidiOutPort::selectedDeviceName() const
{
    const int selected = list_.selectedIndex();
    return selected >= 0 && static_cast<std::size_t>(selected) < names_.size() ? names_[static_cast<std::size_t>(selected)]
                                                                               : std::string{};
}

int MidiOutPort::restoredPosition(int savedPosition, const std::string& savedName) const
{
    const auto listed = [this](int position) {
        return position >= 0 && static_cast<std::size_t>(position) < names_.size() ? position : -1;
    };
    const auto idAt = [this](int position) { return position >= 0 ? static_cast<int>(deviceIdTable_.at(position)) : 0; };
    // The saved value is the device identifier of the last run, applied here
    // as a list position; the name check below catches the difference.
    int position = listed(savedPosition);
    if (deviceCount_ < idAt(position)) {
        position = listed(0);
    }
    const std::string shown = position >= 0 ? names_[static_cast<std::size_t>(position)] : std::string{};
    if (sameDeviceName(savedName, shown)) {
        return position;
    }
    // Ports change places between sessions; the name is what stays.
    for (std::size_t i = 0; i < names_.size(); ++i) {
        if (sameDeviceName(savedName, names_[i])) {
            return static_cast<int>(i);
        }
    }
    return listed(0);
}

void MidiOutPort::restoreDeviceSelection(int savedPosition, const std::string& savedName)
{
    select(restoredPosition(savedPosition, savedName));
    if (deviceCount_ < selectedDeviceId_) {
        selectedDeviceId_ = 0;
    }
    chosenName_ = selectedDeviceName();
}

void MidiOutPort::refreshDeviceList()
{
    service_.rescanDevices();
    deviceCount_ = static_cast<int>(service_.deviceCount());
    listMidiOutDevices();
    int position = -1;
    for (std::size_t i = 0; i < names_.size() && !chosenName_.empty(); ++i) {
        if (names_[i] == chosenName_) {
            position = static_cast<int>(i);
            break;
        }
    }
    select(position);
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

std::string MidiOutPort::startupOpenFailureMessage(int result)
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

std::string MidiOutPort::switchFailureDetail(int result)
{
    switch (result) {
    case 5: return "error3";
    case 11: return "error4";
    case 64: return "error2";
    case 67: return "error1";
    default: return {};
    }
}

void MidiOutPort::reportStartupOpenFailure(int result)
{
    if (result == result::kNoError) {
        return;
    }
    messages_.showMessage(startupOpenFailureMessage(result));
}

void MidiOutPort::switchMidiOutDevice()
{
    pump_.processPendingEvents();
    service_.sendShortMessage(handle_, kAllSoundOffChannel10);
    service_.close(handle_);
    selectedDeviceId_ = static_cast<int>(deviceIdTable_.at(list_.selectedIndex()));
    chosenName_ = selectedDeviceName();
    lastOpenResult_ = openMidiOutWithRetries(static_cast<unsigned>(selectedDeviceId_));
    if (lastOpenResult_ == result::kNoError) {
        return;
    }
    messages_.showMessage("ＭＩＤＩデバイスが開けません");
    if (const std::string detail = switchFailureDetail(lastOpenResult_); !detail.empty()) {
        messages_.showMessage(detail);
    }
}

void MidiOutPort::sendShortMessage(std::uint32_t word)
{
    service_.sendShortMessage(handle_, word);
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
