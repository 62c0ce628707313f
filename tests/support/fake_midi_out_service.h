// Scriptable stand-ins for the MIDI output service and the user-facing
// services of the port, recording every call in order.
#pragma once

#include "midi/midi_out_port.h"
#include "midi/midi_out_service.h"
#include "midi/voice_selection.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tavrelle::testing {

using midi::MidiOutHandle;

// One call that reached the service, in the order it happened.
struct ServiceCall {
    enum class Kind { Open, Send, Close } kind;
    MidiOutHandle handle = 0;   // handle given (Send, Close) or received (Open)
    unsigned deviceId = 0;      // Open only
    std::uint32_t word = 0;     // Send only
    int result = 0;

    bool operator==(const ServiceCall&) const = default;
};

class FakeMidiOutService final : public midi::MidiOutService {
public:
    // The ports as the service lists them now.
    std::vector<std::string> devices;
    // The ports the system has now; the service lists them after its next
    // rescanDevices().
    std::optional<std::vector<std::string>> portsOnNextRescan;
    unsigned rescans = 0;
    // Open handles whose device left the system (and may be back). Each is
    // shown as the service in `shows` would: Linux's services answer
    // deviceLeft(), WinMM fails the handle's sends.
    std::set<MidiOutHandle> left;
    enum class GoneShows { DeviceLeft, FailedSends } shows = GoneShows::DeviceLeft;
    std::set<unsigned> failingNameQueries;
    // Results of successive open attempts, per device; an empty queue opens.
    std::map<unsigned, std::deque<int>> openResults;
    std::vector<ServiceCall> calls;
    unsigned deviceCountQueries = 0;

    unsigned deviceCount() override;
    int deviceName(unsigned deviceId, std::string& name) override;
    int open(MidiOutHandle& handle, unsigned deviceId) override;
    int sendShortMessage(MidiOutHandle handle, std::uint32_t word) override;
    int close(MidiOutHandle handle) override;
    void rescanDevices() override;
    bool deviceLeft(MidiOutHandle handle) override
    {
        return shows == GoneShows::DeviceLeft && left.contains(handle);
    }
    void setDevicesChangedCallback(std::function<void()> changed) override { announceChange = std::move(changed); }
    // What the service calls when the system's ports change, as the window
    // set it.
    std::function<void()> announceChange;

    // Words that reached an open handle, in order.
    std::vector<std::uint32_t> deliveredWords() const;
    // Every word passed to a send, delivered or not.
    std::vector<std::uint32_t> sentWords() const;
    // Device identifier a handle was opened on; -1 for an unknown handle.
    int deviceOf(MidiOutHandle handle) const;
    // The name of the device a handle was opened on; empty for an unknown handle.
    std::string deviceNameOf(MidiOutHandle handle) const;
    std::vector<ServiceCall> callsOf(ServiceCall::Kind kind) const;
    std::set<MidiOutHandle> openHandles() const;

private:
    std::map<MidiOutHandle, unsigned> open_;
    std::map<MidiOutHandle, unsigned> everOpened_;
    std::map<MidiOutHandle, std::string> openedNames_;
    MidiOutHandle nextHandle_ = 0x100;
};

// Captures both kinds of boxes in one ordered list ("M:" message, "E:" error).
class CapturingPresenter final : public midi::MessagePresenter {
public:
    std::vector<std::string> shown;
    // Runs as each box would show, e.g. to look at the window at that moment.
    std::function<void()> onShow;
    void showMessage(const std::string& text) override { record("M:" + text); }
    void showError(const std::string& text) override { record("E:" + text); }

private:
    void record(std::string entry)
    {
        shown.push_back(std::move(entry));
        if (onShow) {
            onShow();
        }
    }
};

class FakeEventPump final : public midi::EventPump {
public:
    std::vector<int> sleeps;
    int pendingEventRuns = 0;
    void sleepMilliseconds(int milliseconds) override { sleeps.push_back(milliseconds); }
    void processPendingEvents() override { ++pendingEventRuns; }
    int totalSleepMilliseconds() const;
};

// The numbers a window would show.
class ShownVoice final : public midi::VoiceDisplay {
public:
    int program = 0;
    int bank = -1;
    int channel = 0;
    void showVoiceSelection(int programNumber, int bankNumber, int channelNumber) override
    {
        program = programNumber;
        bank = bankNumber;
        channel = channelNumber;
    }
};

class VectorDeviceList final : public midi::DeviceListView {
public:
    std::vector<std::string> items;
    int selected = -1;
    void showDevices(const std::vector<std::string>& names) override { items = names; selected = -1; }
    int selectedIndex() const override { return selected; }
    void selectIndex(int index) override { selected = index >= 0 && index < static_cast<int>(items.size()) ? index : -1; }
    std::string away;
    void showAwayDevice(const std::string& name) override { away = name; }
};

}  // namespace tavrelle::testing
