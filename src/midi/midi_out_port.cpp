#include "midi/midi_out_port.h"

namespace tavrelle::midi {

MidiOutPort::MidiOutPort(MidiOutService& service, DeviceListView& list, UserNotifier& notifier, EventPump& pump)
    : service_(service), list_(list), notifier_(notifier), pump_(pump)
{
}

void MidiOutPort::listMidiOutDevices()
{
    list_.clear();
    deviceIdTable = DeviceIdTable{};
    const unsigned count = service_.deviceCount();
    for (unsigned deviceId = 0; deviceId < count; ++deviceId) {
        if (deviceIdTable.used == DeviceIdTable::kCapacity) {
            break;
        }
        std::string name;
        if (service_.deviceName(deviceId, name) != result::kNoError) {
            continue;
        }
        deviceIdTable.ids[deviceIdTable.used++] = deviceId;
        list_.append(name);
    }
}

void MidiOutPort::restoreDeviceSelection(int savedPosition, const std::string& savedName)
{
    // The saved value is the device identifier of the last run, applied here
    // as a list position; the name check below catches the difference.
    list_.selectIndex(savedPosition >= 0 && savedPosition < list_.count() ? savedPosition : -1);
    const int selected = list_.selectedIndex();
    SelectedDeviceId = selected >= 0 ? static_cast<int>(deviceIdTable.at(selected)) : 0;
    if (DeviceCount < SelectedDeviceId) {
        list_.selectIndex(0);
        SelectedDeviceId = static_cast<int>(deviceIdTable.at(0));
    }
    if (savedName != list_.selectedText()) {
        list_.selectIndex(0);
        SelectedDeviceId = static_cast<int>(deviceIdTable.at(0));
    }
    if (DeviceCount < SelectedDeviceId) {
        SelectedDeviceId = 0;
    }
}

int MidiOutPort::openMidiOutWithRetries(unsigned deviceId)
{
    int result = service_.open(handle, deviceId);
    for (int retry = 1; retry < kOpenAttempts && result != result::kNoError; ++retry) {
        service_.close(handle);
        pump_.sleepMilliseconds(kRetrySleepMilliseconds);
        result = service_.open(handle, deviceId);
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
    notifier_.showMessage(startupOpenFailureMessage(result));
}

void MidiOutPort::switchMidiOutDevice()
{
    pump_.processPendingEvents();
    service_.sendShortMessage(handle, kAllSoundOffChannel10);
    service_.close(handle);
    SelectedDeviceId = static_cast<int>(deviceIdTable.at(list_.selectedIndex()));
    LastOpenResult = openMidiOutWithRetries(static_cast<unsigned>(SelectedDeviceId));
    if (LastOpenResult == result::kNoError) {
        return;
    }
    notifier_.showMessage("ＭＩＤＩデバイスが開けません");
    if (const std::string detail = switchFailureDetail(LastOpenResult); !detail.empty()) {
        notifier_.showMessage(detail);
    }
}

void MidiOutPort::sendShortMessage(std::uint32_t word)
{
    service_.sendShortMessage(handle, word);
}

void MidiOutPort::closeMidiOut()
{
    service_.close(handle);
}

}  // namespace tavrelle::midi
