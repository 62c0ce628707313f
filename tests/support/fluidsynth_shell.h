// Questions to the test services' FluidSynth through its standard-input
// shell: commands go into the FIFO fluidsynth.in of the services' folder
// (scripts/services.sh), answers come out of fluidsynth.out beside it. The
// shell listens on no network interface.
#pragma once

#include <optional>
#include <string>

namespace tavrelle::testing {

struct ChannelPreset {
    int bank = -1;
    int program = -1;
    std::string name;
};

// Sends one command and returns its whole answer; nothing when the shell is
// not running or does not finish answering within two seconds. `shell` is
// the fixture's shell number (TAVRELLE_FLUIDSYNTH_SHELL_PORT), which must be
// positive; the folder is the one the build gave the fixture.
std::optional<std::string> askFluidSynth(int shell, const std::string& command);

// The preset a "channels -verbose" answer reports for a channel (0..15), from
// lines like "chan 3, sfont 1, bank 0, preset 40, Violin".
std::optional<ChannelPreset> presetOnChannel(const std::string& channelsAnswer, int channel);

}  // namespace tavrelle::testing
