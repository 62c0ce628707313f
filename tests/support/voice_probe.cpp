// Sends voice selections through the tool's MIDI output service to the
// device of that name, as the window does, for tests that run it on
// PipeWire's JACK graph. It links no libjack of its own, as the tool:
//
//   voice_probe DEVICE PROGRAM CHANNEL
//   voice_probe DEVICE
//
// The first form sends one selection; the exit status names the step that
// failed: 10 the device is not listed, 11 the open, 12 the send, 13 the
// close. The second keeps the service running and reads "PROGRAM CHANNEL"
// lines from its input, answering each with "sent" or the failing step; a
// send that fails lists the devices again and opens the device afresh once,
// so that a MIDI system that restarted meanwhile is reached again.
#include "midi/midi_out_service.h"

#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>

namespace {

using namespace tavrelle;

int openDevice(midi::MidiOutService& service, const std::string& name, midi::MidiOutHandle& handle)
{
    std::optional<unsigned> id;
    const unsigned count = service.deviceCount();
    for (unsigned device = 0; device < count && !id; ++device) {
        std::string listed;
        if (service.deviceName(device, listed) == midi::result::kNoError && listed == name) {
            id = device;
        }
    }
    if (!id) {
        return 10;
    }
    return service.open(handle, *id) == midi::result::kNoError ? 0 : 11;
}

int sendSelection(midi::MidiOutService& service, midi::MidiOutHandle handle, int program, int channel)
{
    // Bank Select LSB 0, MSB 0 and the program, as short-message words.
    const auto status = static_cast<std::uint32_t>(channel - 1);
    const std::uint32_t selection[] = {0x20B0 | status, 0xB0 | status,
                                       static_cast<std::uint32_t>(program - 1) << 8 | 0xC0 | status};
    return service.sendShortMessages(handle, selection) == midi::result::kNoError ? 0 : 12;
}

}  // namespace

int main(int argc, char* argv[])
{
    if (argc != 2 && argc != 4) {
        return 2;
    }
    auto service = midi::createSystemMidiOutService();
    midi::MidiOutHandle handle = 0;
    if (argc == 4) {
        if (const int failed = openDevice(*service, argv[1], handle); failed != 0) {
            return failed;
        }
        if (const int failed = sendSelection(*service, handle, std::atoi(argv[2]), std::atoi(argv[3])); failed != 0) {
            return failed;
        }
        return service->close(handle) == midi::result::kNoError ? 0 : 13;
    }
    int program = 0;
    int channel = 0;
    while (std::cin >> program >> channel) {
        int failed = handle != 0 ? sendSelection(*service, handle, program, channel) : 12;
        if (failed != 0) {
            service->close(handle);
            service->rescanDevices();
            failed = openDevice(*service, argv[1], handle);
            if (failed == 0) {
                failed = sendSelection(*service, handle, program, channel);
            }
        }
        std::cout << (failed == 0 ? std::string("sent") : "failed " + std::to_string(failed)) << std::endl;
    }
    service->close(handle);
    return 0;
}
