// JACK MIDI input ports, driven with libjack directly: RtMidi's JACK backend
// crashes tearing down a client whose server has died.
#pragma once

#include "midi/system_output.h"

#include <memory>
#include <string>
#include <vector>

namespace tavrelle::midi::system {

// Full names of the JACK ports that take MIDI in, in the server's order;
// empty when no server runs. Never starts a server, never prints.
std::vector<std::string> jackMidiInputPortNames();

// Connects a new client's output port to `portName`. A result code; `output`
// holds the open port on success.
int openJackOutput(const std::string& portName, std::unique_ptr<SystemOutput>& output);

}  // namespace tavrelle::midi::system
