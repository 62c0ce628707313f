// Scriptable stand-ins for the MIDI output service and the user-facing
// services of the port, recording every call in order.
#pragma once

#include "midi/midi_out_port.h"
#include "midi/midi_out_service.h"

#include <cstdint>
#include <deque>
#include <map>
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
    std::vector<std::string> devices;
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

    // Words that reached an open handle, in order.
    std::vector<std::uint32_t> deliveredWords() const;
    // Every word passed to a send, delivered or not.
    std::vector<std::uint32_t> sentWords() const;
    // Device identifier a handle was opened on; -1 for an unknown handle.
    int deviceOf(MidiOutHandle handle) const;
    std::vector<ServiceCall> callsOf(ServiceCall::Kind kind) const;
    std::set<MidiOutHandle> openHandles() const;

private:
    std::map<MidiOutHandle, unsigned> open_;
    std::map<MidiOutHandle, unsigned> everOpened_;
    MidiOutHandle nextHandle_ = 0x100;
};

class RecordingNotifier final : public midi::UserNotifier {
public:
    std::vector<std::string> messages;
    void showMessage(const std::string& text) override { messages.push_back(text); }
};

class FakeEventPump final : public midi::EventPump {
public:
    std::vector<int> sleeps;
    int pendingEventRuns = 0;
    void sleepMilliseconds(int milliseconds) override { sleeps.push_back(milliseconds); }
    void processPendingEvents() override { ++pendingEventRuns; }
    int totalSleepMilliseconds() const;
};

class VectorDeviceList final : public midi::DeviceListView {
public:
    std::vector<std::string> items;
    int selected = -1;
    void clear() override { items.clear(); selected = -1; }
    void append(const std::string& name) override { items.push_back(name); }
    int count() const override { return static_cast<int>(items.size()); }
    int selectedIndex() const override { return selected; }
    void selectIndex(int index) override { selected = index >= 0 && index < count() ? index : -1; }
    std::string selectedText() const override { return selected >= 0 ? items[static_cast<std::size_t>(selected)] : std::string{}; }
};

}  // namespace tavrelle::testing
