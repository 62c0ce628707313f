#include "pipewire_jack.h"
#include "unix_socket.h"

#include <alsa/asoundlib.h>
#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace tavrelle::midi::backend {

namespace {

bool socketAnswers(const std::string& path)
{
    return unixSocketAnswers(path).value_or(false);
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

// Asked before PipeWire's is loaded (choiceNow): both are named
// libjack.so.0, and the loader would answer the name with the one loaded.
const JackLibrary* loaderFirst()
{
    static const JackLibrary* const library = loadJackLibrary("libjack.so.0");
    return library;
}

// PipeWire's libjack sits in a folder of its own beside the system's
// libraries, where alsa-lib, always linked, comes from.
std::string pipeWireLibraryFile()
{
    Dl_info alsa{};
    if (dladdr(reinterpret_cast<void*>(&snd_seq_open), &alsa) == 0 || alsa.dli_fname == nullptr) {
        return {};
    }
    const std::string path = alsa.dli_fname;
    return path.substr(0, path.rfind('/') + 1) + "pipewire-0.3/jack/libjack.so.0";
}

bool pipeWireInstalled()
{
    static const bool installed = [] {
        const std::string file = pipeWireLibraryFile();
        return !file.empty() && access(file.c_str(), R_OK) == 0;
    }();
    return installed;
}

const JackLibrary* pipeWire()
{
    static const JackLibrary* const library = loadJackLibrary(pipeWireLibraryFile());
    return library;
}

JackLibraryChoice choiceNow()
{
    const JackLibrary* first = loaderFirst();
    return chooseJackLibrary({first != nullptr, first != nullptr && first->pipeWire, pipeWireInstalled(),
                              jackServerAnswers(), pipeWireAnswers()});
}

}  // namespace

JackLibraryChoice chooseJackLibrary(const JackLibraryFacts& facts)
{
    if (facts.firstFound && (facts.firstIsPipeWire ? facts.pipeWireAnswers : facts.jackServerAnswers)) {
        return JackLibraryChoice::loaderFirst;
    }
    if (facts.pipeWireAnswers && facts.pipeWireInstalled) {
        return JackLibraryChoice::pipeWire;
    }
    return JackLibraryChoice::none;
}

const JackLibrary* jackLibraryToOpen()
{
    return choiceNow() == JackLibraryChoice::pipeWire ? pipeWire() : loaderFirst();
}

bool jackServerReachable()
{
    return choiceNow() != JackLibraryChoice::none;
}

bool pipeWireJackLoaded()
{
    const JackLibrary* first = loaderFirst();
    return first != nullptr && first->pipeWire;
}

}  // namespace tavrelle::midi::backend
