// JACK MIDI input ports, driven with libjack directly: RtMidi's JACK backend
// crashes tearing down a client whose server has died.
#pragma once

#include "midi/system_output.h"

#include <memory>
#include <string>
#include <vector>

namespace tavrelle::midi::system {

// One client of the JACK server, with everything libjack's threads may touch.
struct JackLink;
struct JackLinkDisposer {
    void operator()(JackLink* link) const;
};
// A client left open after listing the ports, for the output opened next to
// take over: each new client costs round trips to the server that take a
// dozen milliseconds or more, which start-up would otherwise pay twice.
using JackClient = std::unique_ptr<JackLink, JackLinkDisposer>;

// Full names of the JACK ports that take MIDI in, in the server's order;
// empty when no server runs. Never starts a server, never prints. With
// `keep`, the client that listed them is handed over instead of closed.
std::vector<std::string> jackMidiInputPortNames(JackClient* keep = nullptr);

// Connects an output port to `portName`, on the client of `spare` when it
// holds one whose server still runs, else on a new client; the spare is used
// up either way. A result code; `output` holds the open port on success.
int openJackOutput(const std::string& portName, std::unique_ptr<SystemOutput>& output, JackClient spare = nullptr);

}  // namespace tavrelle::midi::system
