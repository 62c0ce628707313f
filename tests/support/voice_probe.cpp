// Sends one voice selection through the tool's MIDI output service to the
// device of that name, as the window does, for tests that run it under
// another libjack (pw-jack):
//
//   voice_probe DEVICE PROGRAM CHANNEL
//
// The exit status names the step that failed: 10 the device is not listed,
// 11 the open, 12 the send, 13 the close.
#include "midi/midi_out_service.h"
#include "support/jack_capture.h"

#include <cstdint>
#include <cstdlib>

int main(int argc, char* argv[])
{
    using namespace tavrelle;
    if (argc != 4) {
        return 2;
    }
    midi::reachPipeWireJack(argv);
    const int program = std::atoi(argv[2]);
    const int channel = std::atoi(argv[3]) - 1;
    auto service = midi::createSystemMidiOutService();
    const auto id = testing::findDevice(*service, argv[1]);
    if (!id) {
        return 10;
    }
    midi::MidiOutHandle handle = 0;
    if (service->open(handle, *id) != midi::result::kNoError) {
        return 11;
    }
    // Bank Select LSB 0, MSB 0 and the program, as short-message words.
    const auto status = static_cast<std::uint32_t>(channel);
    const std::uint32_t selection[] = {0x20B0 | status, 0xB0 | status,
                                       static_cast<std::uint32_t>(program - 1) << 8 | 0xC0 | status};
    if (service->sendShortMessages(handle, selection) != midi::result::kNoError) {
        return 12;
    }
    return service->close(handle) == midi::result::kNoError ? 0 : 13;
}
