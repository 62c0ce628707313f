// Results are the classic MIDI output result codes, so the tool's message
// tables apply unchanged.
#pragma once

#include <cstdint>
#include <cstddef>
#include <functional>
#include <memory>
#include <span>
#include <string>

namespace tavrelle::midi {

namespace result {
inline constexpr int kNoError = 0;
inline constexpr int kError = 1;  // anything else that went wrong
// Identifier out of range, or the port listed under it is gone.
inline constexpr int kBadDeviceId = 2;
inline constexpr int kAllocated = 4;      // a port is open already
inline constexpr int kInvalidHandle = 5;  // not, or no longer, an open port
// The service cannot be reached: no ALSA sequencer, no JACK server.
inline constexpr int kNoDriver = 6;
inline constexpr int kNoMemory = 7;
inline constexpr int kInvalidParam = 11;  // a word that is not a short message
}  // namespace result

// 0 never names an open port. What a failed open leaves in the handle is
// the service's own (WinMM keeps what WinMM wrote); callers do not read it.
using MidiOutHandle = std::uintptr_t;

// What every service keeps to, and the port relies on:
// - A handle whose device is gone (it left, even briefly, its connection was
//   lost, a connect failed after the open answered, or its driver or handle
//   went stale) stays gone for good, whatever returns under the same name:
//   deviceLeft() says so, or its sends fail with other than kNoError and
//   kInvalidParam, or both.
// - The devices-changed callback is called when the ports may have changed
//   or such a handle's device is gone.
class MidiOutService {
public:
    virtual ~MidiOutService() = default;

    // Identifiers are 0 .. deviceCount() - 1.
    virtual unsigned deviceCount() = 0;
    // A device whose name cannot be read is skipped by the caller.
    virtual int deviceName(unsigned deviceId, std::string& name) = 0;
    virtual int open(MidiOutHandle& handle, unsigned deviceId) = 0;
    // Status in bits 0-7, data 1 in bits 8-15, data 2 in bits 16-23.
    virtual int sendShortMessage(MidiOutHandle handle, std::uint32_t word) = 0;
    // Words that belong together (one voice selection, at most four): the
    // first failing result; earlier words may have gone out by then.
    virtual int sendShortMessages(MidiOutHandle handle, std::span<const std::uint32_t> words)
    {
        for (const std::uint32_t word : words) {
            if (const int failed = sendShortMessage(handle, word); failed != result::kNoError) {
                return failed;
            }
        }
        return result::kNoError;
    }
    // Closes after everything sent has been delivered, or once the system
    // stopped answering.
    virtual int close(MidiOutHandle handle) = 0;
    // Same rules as the first listing; open handles stay open. A system that
    // does not answer in time leaves its ports in the list as they were.
    virtual void rescanDevices() {}
    // `changed` is called, on any thread, as the contract above says, and when
    // a system that did not answer may answer again; the receiver rescans on
    // its own thread. Replaces the previous callback (empty for none); once
    // this returns, that one is not running and is never called again, so it
    // must not wait for the caller's thread.
    virtual void setDevicesChangedCallback(std::function<void()>) {}
    // Whether the device behind an open handle is gone (see above).
    virtual bool deviceLeft(MidiOutHandle) { return false; }
};

// WinMM on Windows; else the ALSA sequencer and JACK, never starting a JACK
// server nor printing, listing the devices at once on its own MIDI thread.
std::unique_ptr<MidiOutService> createSystemMidiOutService();

}  // namespace tavrelle::midi
