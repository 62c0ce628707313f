// Questions to FluidSynth's command shell on a loopback TCP port.
#pragma once

#include <optional>
#include <string>

namespace tavrelle::testing {

struct ChannelPreset {
    int bank = -1;
    int program = -1;
    std::string name;
};

// Sends one command and returns its whole answer; nothing when the shell
// cannot be reached or does not finish answering within two seconds.
std::optional<std::string> askFluidSynth(int shellPort, const std::string& command);

// The preset a "channels -verbose" answer reports for a channel (0..15), from
// lines like "chan 3, sfont 1, bank 0, preset 40, Violin".
std::optional<ChannelPreset> presetOnChannel(const std::string& channelsAnswer, int channel);

}  // namespace tavrelle::testing
