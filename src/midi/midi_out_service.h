// The one door to the system's MIDI output service.
//
// Everything the tool needs from the platform is five operations: how many
// output devices there are, the name of one, open, send a short message word,
// close. Results use the classic MIDI output result codes so that the tool's
// message tables apply unchanged:
//
//   0  success
//   1  anything else that went wrong
//   2  device identifier out of range, or the port enumerated under that
//      identifier is gone
//   4  a port is open already
//   5  the handle is not (or no longer) an open port
//   6  the backend's service cannot be reached (no ALSA sequencer, no JACK
//      server)
//   7  memory could not be allocated
//  11  invalid parameter (a message word that is not a short message)
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
inline constexpr int kError = 1;
inline constexpr int kBadDeviceId = 2;
inline constexpr int kAllocated = 4;
inline constexpr int kInvalidHandle = 5;
inline constexpr int kNoDriver = 6;
inline constexpr int kNoMemory = 7;
inline constexpr int kInvalidParam = 11;
}  // namespace result

// An opaque token for an open port. 0 never names an open port; a failed open
// stores 0, so sends and closes through it fail quietly with kInvalidHandle.
using MidiOutHandle = std::uintptr_t;

class MidiOutService {
public:
    virtual ~MidiOutService() = default;

    // Number of output devices; identifiers are 0 .. count - 1.
    virtual unsigned deviceCount() = 0;
    // Writes the device's user-facing name; kNoError, or a result code when
    // the name cannot be read (the device is then skipped by the caller).
    virtual int deviceName(unsigned deviceId, std::string& name) = 0;
    // Opens a device. `handle` receives the new handle, or 0 on failure.
    virtual int open(MidiOutHandle& handle, unsigned deviceId) = 0;
    // Sends one short message word: status in bits 0-7, data 1 in bits 8-15,
    // data 2 in bits 16-23.
    virtual int sendShortMessage(MidiOutHandle handle, std::uint32_t word) = 0;
    // Sends several words that belong together (one voice selection, at most
    // four words) whole or not at all: the first failing result, or kNoError.
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
    // Reads the system's ports again: deviceCount and deviceName describe
    // the list as it is now, by the same rules as the first listing. Open
    // handles stay open. A system that does not answer in time leaves its
    // part of the list as it was.
    virtual void rescanDevices() {}
    // `changed` is called, on any thread, when the system's ports may have
    // changed, the device behind the open handle may have left, or a system
    // that did not answer may answer again; the receiver then rescans on its
    // own thread. Replaces the callback set before; empty for none.
    virtual void setDevicesChangedCallback(std::function<void()> changed) { (void)changed; }
    // Whether the device behind an open handle left the system since it was
    // opened, back or not: what is sent through the handle reaches nothing.
    virtual bool deviceLeft(MidiOutHandle handle)
    {
        (void)handle;
        return false;
    }
};

// The service over the machine's real MIDI system (ALSA sequencer and JACK).
// It never starts a JACK server and never prints. It starts listing the
// devices at once, on its own MIDI thread, so the first question about them
// is answered sooner.
std::unique_ptr<MidiOutService> createSystemMidiOutService();

// Before any other thread exists: where no JACK server answers but PipeWire
// does, and PipeWire's libjack is installed, starts the program again over
// that library, as `pw-jack` would, so that the JACK ports of PipeWire's graph
// are listed; otherwise returns and changes nothing.
void reachPipeWireJack(char* argv[]);

}  // namespace tavrelle::midi
