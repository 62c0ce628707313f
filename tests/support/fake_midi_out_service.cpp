#include "support/fake_midi_out_service.h"

#include "midi/short_message.h"

#include <algorithm>
#include <numeric>

namespace tavrelle::testing {

namespace result = midi::result;

unsigned FakeMidiOutService::deviceCount()
{
    ++deviceCountQueries;
    return static_cast<unsigned>(devices.size());
}

int FakeMidiOutService::deviceName(unsigned deviceId, std::string& name)
{
    if (deviceId >= devices.size()) {
        return result::kBadDeviceId;
    }
    if (failingNameQueries.count(deviceId) != 0) {
        return result::kError;
    }
    name = devices[deviceId];
    return result::kNoError;
}

int FakeMidiOutService::open(MidiOutHandle& handle, unsigned deviceId)
{
    int outcome = result::kNoError;
    if (deviceId >= devices.size()) {
        outcome = result::kBadDeviceId;
    } else if (auto it = openResults.find(deviceId); it != openResults.end() && !it->second.empty()) {
        outcome = it->second.front();
        it->second.pop_front();
    }
    // A failed open leaves the handle as it was, as WinMM may.
    if (outcome == result::kNoError) {
        handle = nextHandle_++;
        open_[handle] = deviceId;
        everOpened_[handle] = deviceId;
        openedNames_[handle] = devices[deviceId];
    }
    calls.push_back({ServiceCall::Kind::Open, handle, deviceId, 0, outcome});
    return outcome;
}

int FakeMidiOutService::sendShortMessage(MidiOutHandle handle, std::uint32_t word)
{
    int outcome = result::kNoError;
    if (open_.count(handle) == 0) {
        outcome = result::kInvalidHandle;
    } else if (shows == GoneShows::FailedSends && left.contains(handle)) {
        outcome = result::kNoDriver;
    } else if (midi::shortMessageBytes(word).size == 0) {
        outcome = result::kInvalidParam;
    }
    calls.push_back({ServiceCall::Kind::Send, handle, 0, word, outcome});
    return outcome;
}

int FakeMidiOutService::close(MidiOutHandle handle)
{
    const int outcome = open_.erase(handle) == 1 ? result::kNoError : result::kInvalidHandle;
    calls.push_back({ServiceCall::Kind::Close, handle, 0, 0, outcome});
    return outcome;
}

void FakeMidiOutService::rescanDevices()
{
    ++rescans;
    if (portsOnNextRescan) {
        devices = std::move(*portsOnNextRescan);
        portsOnNextRescan.reset();
    }
    // A handle whose port is no longer listed has lost its device for good,
    // whatever comes back under that name.
    for (const auto& [handle, name] : openedNames_) {
        if (open_.contains(handle) && std::find(devices.begin(), devices.end(), name) == devices.end()) {
            left.insert(handle);
        }
    }
}

std::string FakeMidiOutService::deviceNameOf(MidiOutHandle handle) const
{
    const auto it = openedNames_.find(handle);
    return it == openedNames_.end() ? std::string{} : it->second;
}

std::vector<std::uint32_t> FakeMidiOutService::deliveredWords() const
{
    std::vector<std::uint32_t> words;
    for (const auto& call : calls) {
        if (call.kind == ServiceCall::Kind::Send && call.result == result::kNoError) {
            words.push_back(call.word);
        }
    }
    return words;
}

std::vector<std::uint32_t> FakeMidiOutService::sentWords() const
{
    std::vector<std::uint32_t> words;
    for (const auto& call : calls) {
        if (call.kind == ServiceCall::Kind::Send) {
            words.push_back(call.word);
        }
    }
    return words;
}

int FakeMidiOutService::deviceOf(MidiOutHandle handle) const
{
    const auto it = everOpened_.find(handle);
    return it == everOpened_.end() ? -1 : static_cast<int>(it->second);
}

std::vector<ServiceCall> FakeMidiOutService::callsOf(ServiceCall::Kind kind) const
{
    std::vector<ServiceCall> picked;
    for (const auto& call : calls) {
        if (call.kind == kind) {
            picked.push_back(call);
        }
    }
    return picked;
}

std::set<MidiOutHandle> FakeMidiOutService::openHandles() const
{
    std::set<MidiOutHandle> handles;
    for (const auto& [handle, device] : open_) {
        handles.insert(handle);
    }
    return handles;
}

int FakeEventPump::totalSleepMilliseconds() const
{
    return std::accumulate(sleeps.begin(), sleeps.end(), 0);
}

}  // namespace tavrelle::testing
