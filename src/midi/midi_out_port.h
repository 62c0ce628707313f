#pragma once

#include "midi/midi_out_service.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tavrelle::midi {

// The port keeps the names; the view holds which entry is selected.
class DeviceListView {
public:
    virtual ~DeviceListView() = default;
    // Replaces every entry; nothing is selected afterwards.
    virtual void showDevices(const std::vector<std::string>& names) = 0;
    // -1 when nothing is selected.
    virtual int selectedIndex() const = 0;
    // Never counts as the user's change; -1 leaves nothing selected.
    virtual void selectIndex(int index) = 0;
    // Shown greyed in the list's field while nothing is selected.
    virtual void showAwayDevice(const std::string& name) = 0;
};

// Both boxes are modal: each call returns once the user dismissed it.
class MessagePresenter {
public:
    virtual ~MessagePresenter() = default;
    virtual void showMessage(const std::string& text) = 0;
    // Stop icon; `text` is the failure's message as raised.
    virtual void showError(const std::string& text) = 0;
};

class EventPump {
public:
    virtual ~EventPump() = default;
    virtual void sleepMilliseconds(int milliseconds) = 0;
    virtual void processPendingEvents() = 0;
};

// Grows with the list, so list and table positions stay in step.
class DeviceIdTable {
public:
    // 0 for a position never filled.
    unsigned at(int position) const
    {
        return position >= 0 && static_cast<std::size_t>(position) < ids_.size() ? ids_[static_cast<std::size_t>(position)] : 0;
    }
    std::size_t size() const { return ids_.size(); }
    void append(unsigned deviceId) { ids_.push_back(deviceId); }

private:
    std::vector<unsigned> ids_;
};

// The position of the device a saved name names: the first entry that
// carries it, else the only entry whose name is the saved one once Windows'
// numbering ("2- UM-ONE", "2 - UM-ONE", "UM-ONE (2)") is dropped from both;
// -1 for none, and for two such entries.
int savedDevicePosition(const std::vector<std::string>& names, const std::string& savedName);

class MidiOutPort {
public:
    static constexpr std::uint32_t kAllSoundOffChannel10 = 0x78B9;

    MidiOutPort(MidiOutService& service, DeviceListView& list, MessagePresenter& messages, EventPump& pump);

    void listMidiOutDevices();
    // The saved position when it carries the saved name, else the saved
    // device's entry (savedDevicePosition), else the first one.
    void restoreDeviceSelection(int savedPosition, const std::string& savedName);
    // Up to six attempts with 500 ms sleeps between; the last attempt's result.
    int openMidiOutWithRetries(unsigned deviceId);
    void reportStartupOpenFailure(int result);
    void switchMidiOutDevice();
    // The chosen device stays selected and open while listed, and is opened
    // afresh when listed after being gone (missing from a listing, a failed
    // open or send, deviceLeft()), as is the saved device appearing while the
    // user picked none. True when a device was opened; false at once if busy().
    bool refreshDeviceList();
    // What is open may reach nothing, and nothing shows it (Windows after a
    // resume from sleep): the next refresh opens the chosen device afresh.
    void deviceMayBeGone() { reached_ = false; }
    // An operation that may wait and let window events run is under way.
    bool busy() const { return busy_; }
    // Words that belong together; a failure marks the device gone.
    void sendShortMessages(std::span<const std::uint32_t> words);
    void closeMidiOut();

    MidiOutHandle handle() const { return handle_; }
    int selectedDeviceId() const { return selectedDeviceId_; }
    void setDeviceCount(int count) { deviceCount_ = count; }
    int lastOpenResult() const { return lastOpenResult_; }
    const DeviceIdTable& deviceIdTable() const { return ids_; }
    const std::vector<std::string>& deviceNames() const { return names_; }
    std::string selectedDeviceName() const;
    // Chosen at start-up or by the user since, listed or not; the one saved.
    const std::string& chosenDeviceName() const { return chosenName_; }
    bool switchedByUser() const { return switchedByUser_; }
    // The device in use, or the saved one awaited while nothing is chosen,
    // when it is not listed; empty otherwise.
    std::string awayDeviceName() const;

private:
    void select(int position);
    int open(unsigned deviceId);

    MidiOutService& service_;
    DeviceListView& list_;
    MessagePresenter& messages_;
    EventPump& pump_;
    MidiOutHandle handle_ = 0;
    int selectedDeviceId_ = 0;
    int deviceCount_ = 0;
    int lastOpenResult_ = 0;
    std::vector<std::string> names_;
    DeviceIdTable ids_;
    std::string chosenName_;
    bool switchedByUser_ = false;
    std::string savedName_;
    // The chosen device is open and not known to be gone.
    bool reached_ = false;
    bool busy_ = false;
};

}  // namespace tavrelle::midi
