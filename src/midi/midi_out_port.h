// The one MIDI output port: the device list, opening with retries, switching,
// sending and closing.
#pragma once

#include "midi/midi_out_service.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace tavrelle::midi {

// The device list as the window shows it (a drop-down list).
class DeviceListView {
public:
    virtual ~DeviceListView() = default;
    virtual void clear() = 0;
    virtual void append(const std::string& name) = 0;
    virtual int count() const = 0;
    // -1 when nothing is selected.
    virtual int selectedIndex() const = 0;
    // A selection made by the program: it never counts as the user's change.
    // An index outside the list leaves nothing selected.
    virtual void selectIndex(int index) = 0;
    // The text of the selected entry, empty when nothing is selected.
    virtual std::string selectedText() const = 0;
};

// Shows one modal message with an "OK" button and returns when it is dismissed.
class UserNotifier {
public:
    virtual ~UserNotifier() = default;
    virtual void showMessage(const std::string& text) = 0;
};

// Waiting on the user-interface thread.
class EventPump {
public:
    virtual ~EventPump() = default;
    virtual void sleepMilliseconds(int milliseconds) = 0;
    // Lets window events that are already queued run.
    virtual void processPendingEvents() = 0;
};

// List positions to device identifiers. The table has 129 places; devices
// beyond them are left out of the list, so list and table stay in step.
struct DeviceIdTable {
    static constexpr std::size_t kCapacity = 129;
    std::array<unsigned, kCapacity> ids{};
    std::size_t used = 0;

    // The identifier at a list position; 0 for a position never filled.
    unsigned at(int position) const
    {
        return position >= 0 && static_cast<std::size_t>(position) < kCapacity ? ids[static_cast<std::size_t>(position)] : 0;
    }
};

class MidiOutPort {
public:
    static constexpr int kOpenAttempts = 6;
    static constexpr int kRetrySleepMilliseconds = 500;
    static constexpr std::uint32_t kAllSoundOffChannel10 = 0x78B9;

    MidiOutPort(MidiOutService& service, DeviceListView& list, UserNotifier& notifier, EventPump& pump);

    // Fills the device list and the table; devices whose names cannot be read
    // are skipped.
    void listMidiOutDevices();
    // Chooses the list entry at start-up from the saved position and name and
    // sets SelectedDeviceId.
    void restoreDeviceSelection(int savedPosition, const std::string& savedName);
    // Up to six attempts with 500 ms sleeps between; the last attempt's result.
    int openMidiOutWithRetries(unsigned deviceId);
    // The start-up message for a failed open; nothing for 0.
    void reportStartupOpenFailure(int result);
    // The user picked another entry: silence the old device, close it, open
    // the new one with retries and report a failure.
    void switchMidiOutDevice();
    void sendShortMessage(std::uint32_t word);
    void closeMidiOut();

    // The message ReportStartupOpenFailure shows for a non-zero result.
    static std::string startupOpenFailureMessage(int result);
    // The second message a failed switch shows, or empty for none.
    static std::string switchFailureDetail(int result);

    MidiOutHandle handle = 0;
    int SelectedDeviceId = 0;
    int DeviceCount = 0;
    int LastOpenResult = 0;
    DeviceIdTable deviceIdTable;

    MidiOutService& service() { return service_; }

private:
    MidiOutService& service_;
    DeviceListView& list_;
    UserNotifier& notifier_;
    EventPump& pump_;
};

}  // namespace tavrelle::midi
