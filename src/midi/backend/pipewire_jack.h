// Which JACK server answers, JACK 2's or PipeWire's, and whose libjack
// reaches it: asked afresh at each client's open, so that whichever appears
// while the program runs is reached.
#pragma once

#include "jack_library.h"

namespace tavrelle::midi::backend {

struct JackLibraryFacts {
    bool firstFound = false;  // a libjack the loader finds ("libjack.so.0")
    bool firstIsPipeWire = false;  // that one is PipeWire's (pw-jack, or the system's)
    bool pipeWireInstalled = false;  // PipeWire's, in its folder beside the system's libraries
    bool jackServerAnswers = false;  // JACK 2's server socket
    bool pipeWireAnswers = false;
};

enum class JackLibraryChoice { none, loaderFirst, pipeWire };

// The libjack the loader finds first where its server answers, so that a
// user's pw-jack or LD_LIBRARY_PATH stands; else PipeWire's where PipeWire
// answers; none where no server answers that way.
JackLibraryChoice chooseJackLibrary(const JackLibraryFacts& facts);

// The libjack to open a client through. Where no server answers, the one
// the loader finds first, which may still reach one the sockets miss (a
// promiscuous or JACK 1 server); nullptr where there is none.
const JackLibrary* jackLibraryToOpen();

// Whether some JACK server this process can reach answers, by a look at
// the sockets.
bool jackServerReachable();

// The libjack the loader finds first is PipeWire's.
bool pipeWireJackLoaded();

}  // namespace tavrelle::midi::backend
