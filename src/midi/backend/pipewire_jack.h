// Reaching PipeWire's JACK graph: what decides it, as a plain function.
#pragma once

#include <optional>
#include <string>

namespace tavrelle::midi::backend {

// What the decision to start the program again over PipeWire's libjack
// looks at.
struct JackLibraryFacts {
    std::string loadedLibrary;  // the libjack loaded, a full path; empty when unknown
    std::string libraryPath;  // LD_LIBRARY_PATH
    bool pipeWireJackInstalled = false;  // beside the loaded libjack
    bool jackServerAnswers = false;
    bool pipeWireAnswers = false;
    bool startedDirectly = true;  // as itself, not as "ld.so PROGRAM"
};

// The library path to start the program again with, so that it loads
// PipeWire's libjack: only where no JACK server answers but PipeWire does,
// its libjack is installed and not loaded already nor first in the path,
// and the program was started directly. Nothing otherwise.
std::optional<std::string> pipeWireLibraryPath(const JackLibraryFacts& facts);

// Whether the server that the loaded libjack would reach answers, by a look
// at its socket.
bool jackServerReachable();

}  // namespace tavrelle::midi::backend
