#pragma once

#include <optional>
#include <string>

namespace tavrelle::midi::backend {

struct JackLibraryFacts {
    std::string loadedLibrary;  // the libjack loaded, a full path; empty when unknown
    std::string libraryPath;  // LD_LIBRARY_PATH
    bool pipeWireJackInstalled = false;  // beside the loaded libjack
    bool jackServerAnswers = false;
    bool pipeWireAnswers = false;
    bool startedDirectly = true;  // as itself, not as "ld.so PROGRAM"
};

// The library path to start the program again with, so that it loads
// PipeWire's libjack where that reaches a graph it would not reach otherwise.
std::optional<std::string> pipeWireLibraryPath(const JackLibraryFacts& facts);

// Whether the server that the loaded libjack would reach answers, by a look
// at its socket.
bool jackServerReachable();

bool pipeWireJackLoaded();

}  // namespace tavrelle::midi::backend
