// PipeWire serves JACK clients through its own libjack, which `pw-jack` puts
// first in the library path; without it the program loads JACK 2's libjack
// and finds no server.
#include "pipewire_jack.h"
#include "unix_socket.h"

#include "midi/midi_out_service.h"

#include <jack/jack.h>

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace tavrelle::midi {

namespace {

bool socketAnswers(const std::string& path)
{
    return backend::unixSocketAnswers(path).value_or(false);
}

std::string environment(const char* name, const char* fallback = "")
{
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

// JACK 2's server socket, as its libjack looks for it.
bool jackServerAnswers()
{
    return socketAnswers("/dev/shm/jack_" + environment("JACK_DEFAULT_SERVER", "default") + "_" +
                         std::to_string(getuid()) + "_0");
}

bool pipeWireAnswers()
{
    const std::string remote = environment("PIPEWIRE_REMOTE", "pipewire-0");
    if (remote.starts_with('/')) {
        return socketAnswers(remote);
    }
    const std::string folder = environment("PIPEWIRE_RUNTIME_DIR", environment("XDG_RUNTIME_DIR").c_str());
    return !folder.empty() && socketAnswers(folder + "/" + remote);
}

std::string loadedJackLibrary()
{
    Dl_info loaded{};
    const bool known = dladdr(reinterpret_cast<void*>(&jack_client_open), &loaded) != 0 && loaded.dli_fname != nullptr;
    return known ? loaded.dli_fname : "";
}

// PipeWire's libjack sits in a folder of its own beside the system's.
std::string pipeWireJackFolder(const std::string& loadedLibrary)
{
    return loadedLibrary.substr(0, loadedLibrary.rfind('/')) + "/pipewire-0.3/jack";
}

}  // namespace

bool backend::pipeWireJackLoaded()
{
    static const bool loaded = loadedJackLibrary().find("/pipewire-") != std::string::npos;
    return loaded;
}

bool backend::jackServerReachable()
{
    return pipeWireJackLoaded() ? pipeWireAnswers() : jackServerAnswers();
}

std::optional<std::string> backend::pipeWireLibraryPath(const JackLibraryFacts& facts)
{
    const std::string folder = pipeWireJackFolder(facts.loadedLibrary);
    if (facts.loadedLibrary.empty() || facts.loadedLibrary.find("/pipewire-") != std::string::npos ||
        facts.libraryPath.starts_with(folder) || !facts.pipeWireJackInstalled || facts.jackServerAnswers ||
        !facts.pipeWireAnswers || !facts.startedDirectly) {
        return std::nullopt;
    }
    return facts.libraryPath.empty() ? folder : folder + ":" + facts.libraryPath;
}

void reachPipeWireJack(char* argv[])
{
    backend::JackLibraryFacts facts;
    facts.loadedLibrary = loadedJackLibrary();
    facts.libraryPath = environment("LD_LIBRARY_PATH");
    const std::string folder = pipeWireJackFolder(facts.loadedLibrary);
    facts.pipeWireJackInstalled = access((folder + "/libjack.so.0").c_str(), R_OK) == 0;
    facts.jackServerAnswers = jackServerAnswers();
    facts.pipeWireAnswers = pipeWireAnswers();
    // Started as "ld.so PROGRAM": the loader restarted alone would run nothing.
    std::error_code ignored;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ignored);
    facts.startedDirectly = !self.filename().string().starts_with("ld-");
    if (const auto path = backend::pipeWireLibraryPath(facts)) {
        setenv("LD_LIBRARY_PATH", path->c_str(), 1);
        // By its own path, not /proc/self/exe: the process keeps its name.
        execv(self.c_str(), argv);
        // Not restarted: go on with the library path it had (empty = unset).
        setenv("LD_LIBRARY_PATH", facts.libraryPath.c_str(), 1);
    }
}

}  // namespace tavrelle::midi
