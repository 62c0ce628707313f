#include "window/command_line.h"

#include "midi/backend/unix_socket.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace tavrelle::window {

namespace {

constexpr const char* kProgram = "tavrelle";

std::string usage()
{
    return std::string("Usage: ") + kProgram + " [--help | --version]\n"
           "Pick the voice a MIDI sound module plays: a window for the output device,\n"
           "program (1-128), bank (0-127) and channel (1-16); it sends Bank Select and\n"
           "Program Change. Keys, mouse and settings file: man tavrelle.\n"
           "\n"
           "  -h, --help     show this help and exit\n"
           "  -v, --version  show the name and version and exit\n";
}

bool nonEmpty(const char* value)
{
    return value != nullptr && *value != '\0';
}

// A variable that names a display nobody serves would otherwise end in Qt's
// abort; a path that cannot be probed is left to the platform.
bool accepts(const std::string& path, bool abstract)
{
    return midi::backend::unixSocketAnswers(path, abstract).value_or(true);
}

// An X display on this machine (":N", ":N.S", "unix:N"); displays on other
// hosts or behind other transports are left to the platform plugin.
bool xDisplayReachable(std::string_view display)
{
    if (display.starts_with("unix:")) {
        display.remove_prefix(4);
    }
    if (!display.starts_with(":")) {
        return true;
    }
    display.remove_prefix(1);
    const std::string number(display.substr(0, display.find('.')));
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) {
        return true;
    }
    const std::string path = "/tmp/.X11-unix/X" + number;
    return accepts(path, true) || accepts(path, false);
}

bool waylandDisplayReachable(const char* display, const char* runtimeFolder)
{
    std::string path(display);
    if (!path.starts_with("/")) {
        if (!nonEmpty(runtimeFolder)) {
            return false;
        }
        path = std::string(runtimeFolder) + "/" + path;
    }
    return accepts(path, false);
}

bool needsDisplay(const char* platform)
{
    if (!nonEmpty(platform)) {
        return true;
    }
    // Qt takes the first of a ";"-separated list that starts.
    const std::string_view first = std::string_view(platform).substr(0, std::string_view(platform).find(';'));
    return first.starts_with("xcb") || first.starts_with("wayland");
}

}  // namespace

std::optional<int> handleCommandLine(int argc, const char* const* argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            std::fputs(usage().c_str(), stdout);
            return 0;
        }
        if (argument == "--version" || argument == "-v") {
            std::printf("%s %s\n", kProgram, TAVRELLE_VERSION);
            return 0;
        }
    }
    if (argc > 1) {
        std::fprintf(stderr, "%s: unknown argument '%s' (try %s --help)\n", kProgram, argv[1], kProgram);
        return 2;
    }

    if (!needsDisplay(std::getenv("QT_QPA_PLATFORM"))) {
        return std::nullopt;
    }
    const char* x = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if ((nonEmpty(wayland) && waylandDisplayReachable(wayland, std::getenv("XDG_RUNTIME_DIR"))) ||
        (nonEmpty(x) && xDisplayReachable(x))) {
        return std::nullopt;
    }
    if (!nonEmpty(x) && !nonEmpty(wayland)) {
        std::fprintf(stderr, "%s: no display could be opened: neither DISPLAY nor WAYLAND_DISPLAY is set\n", kProgram);
    } else {
        std::fprintf(stderr, "%s: no display could be opened (DISPLAY=%s, WAYLAND_DISPLAY=%s)\n", kProgram,
                     x ? x : "", wayland ? wayland : "");
    }
    return 1;
}

}  // namespace tavrelle::window
