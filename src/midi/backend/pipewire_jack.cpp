// PipeWire's JACK graph without a wrapper. PipeWire serves JACK clients
// through a libjack of its own, which `pw-jack` puts first in the library
// path; without it the program loads JACK 2's libjack, finds no server, and
// lists no JACK ports. Where no JACK server answers but PipeWire does, the
// program starts itself again as `pw-jack` would have started it.
#include "midi/midi_out_service.h"

#include <jack/jack.h>

#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace tavrelle::midi {

namespace {

// Whether something accepts connections on the local socket at `path`.
bool socketAnswers(const std::string& path)
{
    sockaddr_un address{};
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        return false;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    const bool answered = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return answered;
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

bool pipeWireJackLoaded()
{
    Dl_info loaded{};
    return dladdr(reinterpret_cast<void*>(&jack_client_open), &loaded) != 0 && loaded.dli_fname != nullptr &&
           std::strstr(loaded.dli_fname, "/pipewire-") != nullptr;
}

}  // namespace

bool jackServerReachable()
{
    return pipeWireJackLoaded() ? pipeWireAnswers() : jackServerAnswers();
}

void reachPipeWireJack(char* argv[])
{
    Dl_info loaded{};
    if (dladdr(reinterpret_cast<void*>(&jack_client_open), &loaded) == 0 || loaded.dli_fname == nullptr) {
        return;
    }
    const std::string library = loaded.dli_fname;
    // PipeWire's libjack sits in a folder of its own beside the system's.
    const std::string folder = library.substr(0, library.rfind('/')) + "/pipewire-0.3/jack";
    const std::string path = environment("LD_LIBRARY_PATH");
    if (library.find("/pipewire-") != std::string::npos || path.starts_with(folder) ||
        access((folder + "/libjack.so.0").c_str(), R_OK) != 0 || jackServerAnswers() || !pipeWireAnswers()) {
        return;
    }
    setenv("LD_LIBRARY_PATH", (path.empty() ? folder : folder + ":" + path).c_str(), 1);
    execv("/proc/self/exe", argv);
    // Nothing was started again: the program goes on without PipeWire's
    // JACK ports, and the path is as it was.
    if (path.empty()) {
        unsetenv("LD_LIBRARY_PATH");
    } else {
        setenv("LD_LIBRARY_PATH", path.c_str(), 1);
    }
}

}  // namespace tavrelle::midi
