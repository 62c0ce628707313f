// ALSA sequencer output ports, reached through RtMidi.
#pragma once

#include "midi/system_output.h"
#include "midi/system_port_list.h"

#include <memory>
#include <string>
#include <vector>

namespace tavrelle::midi::system {

// RtMidi's names of the ALSA ports that accept MIDI, in RtMidi's order; empty
// when there is no sequencer. Silent in every case.
std::vector<std::string> alsaOutputPortNames();

// Opens the port enumerated as `entry` wherever it is now. A result code;
// `output` holds the open port on success.
int openAlsaOutput(const PortEntry& entry, std::unique_ptr<SystemOutput>& output);

}  // namespace tavrelle::midi::system
