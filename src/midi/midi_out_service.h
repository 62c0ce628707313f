// The one door to the system's MIDI output service: how many output devices
// there are, the name of one, open, send a short message word, close. Results
// are the classic MIDI output result codes, so the tool's message tables apply
// unchanged.
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

// An opaque token for an open port. 0 never names an open port. What a
// failed open leaves in the handle is the service's own (WinMM keeps what
// WinMM wrote); callers do not read it as "open" or "not open".
using MidiOutHandle = std::uintptr_t;

// What every service keeps to, and all the port relies on:
// - A handle whose device is gone (it left the system, even briefly, its
//   connection was lost, a connect failed after the open had answered, or
//   its driver or handle went stale) stays gone for good, whatever returns
//   under the same name: deviceLeft() says so, or its sends fail with a
//   code other than kNoError and kInvalidParam, or both.
// - The service calls the devices-changed callback when it learns that the
//   ports may have changed or that such a handle's device is gone.
class MidiOutService {
public:
    virtual ~MidiOutService() = default;

    // Identifiers are 0 .. deviceCount() - 1.
    virtual unsigned deviceCount() = 0;
    // A result code; a device whose name cannot be read is skipped by the
    // caller.
    virtual int deviceName(unsigned deviceId, std::string& name) = 0;
    virtual int open(MidiOutHandle& handle, unsigned deviceId) = 0;
    // Status in bits 0-7, data 1 in bits 8-15, data 2 in bits 16-23.
    virtual int sendShortMessage(MidiOutHandle handle, std::uint32_t word) = 0;
    // Words that belong together (one voice selection, at most four): the
    // first failing result, or kNoError. A failure may come after earlier
    // words went out.
    virtual int sendShortMessages(MidiOutHandle handle, std::span<const std::uint32_t> words)
    {
        for (const std::uint32_t word : words) {
            if (const int failed = sendShortMessage(handle, word); failed != result::kNoError) {
                return failed;
            }
        }
        return result::kNoError;
    }
    // Closes the port after everything sent through it has been delivered,
    // or once the system stopped answering.
    virtual int close(MidiOutHandle handle) = 0;
    // Reads the system's ports again, by the same rules as the first listing;
    // open handles stay open. A system that does not answer in time leaves
    // its part of the list as it was.
    virtual void rescanDevices() {}
    // `changed` is called, on any thread, as the contract above says, and
    // when a system that did not answer may answer again; the receiver then
    // rescans on its own thread. Replaces the callback set before; empty for
    // none. Once this returns, the callback set before is not running and
    // is never called again, so it must not wait for the caller's thread.
    virtual void setDevicesChangedCallback(std::function<void()>) {}
    // Whether the device behind an open handle is gone (see above).
    virtual bool deviceLeft(MidiOutHandle) { return false; }
};

// The service over the machine's real MIDI system: WinMM on Windows; else the
// ALSA sequencer and JACK, never starting a JACK server nor printing, and
// listing the devices at once on its own MIDI thread.
std::unique_ptr<MidiOutService> createSystemMidiOutService();

// Before any other thread exists: where no JACK server answers but PipeWire
// does, and PipeWire's libjack is installed, starts the program again over
// that library, as `pw-jack` would, so that the JACK ports of PipeWire's graph
// are listed; otherwise returns and changes nothing.
void reachPipeWireJack(char* argv[]);

}  // namespace tavrelle::midi
