// Starts a program and times it from launch to the moment its top-level
// window is mapped, as the X server reports it; reads the program's memory
// one second later, closes the window as a window manager would and times
// the close request to the process's exit.
//
//   launch_probe [--boxes] [--stop-before-close PID] OUTPUT-FILE PROGRAM TITLE
//
// The main window is the program's first top-level window to map that
// carries TITLE. Any other window of the program fails the run at once,
// unless --boxes is given: then each is taken for a message box, timed (the
// first one), and dismissed with a close request, as its title-bar button
// would. --stop-before-close stops process PID (SIGSTOP) just before the
// close request and lets it go on (SIGCONT) once the program has exited.
// Prints one line: map_us=... box_us=... boxes=... close_us=... rss_kib=...
// anon_kib=... file_kib=... shmem_kib=... pss_kib=... uss_kib=... exit=...
// (box_us is -1 when no box showed). The program's output goes to
// OUTPUT-FILE.
//
// The launch is timed here rather than with xdotool or xev: those poll or
// start up themselves, which blurs a figure of a few tens of milliseconds.
// This client listens on the root window before the program starts, so no
// window of the program can be created unseen; the exit is seen through a
// process descriptor, not by polling.
#include <xcb/xcb.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

std::int64_t nowMicroseconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000 + now.tv_nsec / 1000;
}

[[noreturn]] void die(const char* what)
{
    std::fprintf(stderr, "launch_probe: %s\n", what);
    std::exit(1);
}

xcb_atom_t atom(xcb_connection_t* x, const char* name)
{
    auto* reply = xcb_intern_atom_reply(x, xcb_intern_atom(x, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr);
    if (reply == nullptr) {
        die("cannot intern an atom");
    }
    const xcb_atom_t value = reply->atom;
    std::free(reply);
    return value;
}

// The _NET_WM_PID of a window, or 0.
std::uint32_t windowPid(xcb_connection_t* x, xcb_window_t window, xcb_atom_t pidAtom)
{
    auto* reply = xcb_get_property_reply(x, xcb_get_property(x, 0, window, pidAtom, XCB_ATOM_CARDINAL, 0, 1), nullptr);
    std::uint32_t pid = 0;
    if (reply != nullptr && reply->format == 32 && xcb_get_property_value_length(reply) == 4) {
        std::memcpy(&pid, xcb_get_property_value(reply), 4);
    }
    std::free(reply);
    return pid;
}

std::string windowTitle(xcb_connection_t* x, xcb_window_t window, xcb_atom_t nameAtom, xcb_atom_t utf8Atom)
{
    auto* reply = xcb_get_property_reply(x, xcb_get_property(x, 0, window, nameAtom, utf8Atom, 0, 256), nullptr);
    std::string title;
    if (reply != nullptr && reply->format == 8) {
        title.assign(static_cast<const char*>(xcb_get_property_value(reply)),
                     static_cast<std::size_t>(xcb_get_property_value_length(reply)));
    }
    std::free(reply);
    return title;
}

bool isMapped(xcb_connection_t* x, xcb_window_t window)
{
    auto* reply = xcb_get_window_attributes_reply(x, xcb_get_window_attributes(x, window), nullptr);
    const bool mapped = reply != nullptr && reply->map_state != XCB_MAP_STATE_UNMAPPED;
    std::free(reply);
    return mapped;
}

// A "Name:   123 kB" field of one of the process's files in /proc.
long procField(pid_t pid, const char* file, const std::string& field)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/" + file);
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field + ":", 0) == 0) {
            return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
        }
    }
    return -1;
}

void sendClose(xcb_connection_t* x, xcb_window_t window, xcb_atom_t protocolsAtom, xcb_atom_t deleteAtom)
{
    xcb_client_message_event_t close{};
    close.response_type = XCB_CLIENT_MESSAGE;
    close.format = 32;
    close.window = window;
    close.type = protocolsAtom;
    close.data.data32[0] = deleteAtom;
    close.data.data32[1] = XCB_CURRENT_TIME;
    xcb_send_event(x, 0, window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&close));
    xcb_flush(x);
}

bool hasExited(int pidfd)
{
    pollfd ended{pidfd, POLLIN, 0};
    return poll(&ended, 1, 0) == 1;
}

}  // namespace

int main(int argc, char* argv[])
{
    bool boxes = false;
    pid_t stopBeforeClose = 0;
    int first = 1;
    for (; first < argc && argv[first][0] == '-'; ++first) {
        if (std::strcmp(argv[first], "--boxes") == 0) {
            boxes = true;
        } else if (std::strcmp(argv[first], "--stop-before-close") == 0 && first + 1 < argc) {
            stopBeforeClose = static_cast<pid_t>(std::atoi(argv[++first]));
        } else {
            break;
        }
    }
    if (argc - first != 3 || (stopBeforeClose <= 0 && std::strcmp(argv[first - 1], "--stop-before-close") == 0)) {
        std::fprintf(stderr, "usage: launch_probe [--boxes] [--stop-before-close PID] OUTPUT-FILE PROGRAM TITLE\n");
        return 2;
    }
    const char* outputFile = argv[first];
    char* program = argv[first + 1];
    const std::string expectedTitle = argv[first + 2];
    xcb_connection_t* x = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(x)) {
        die("cannot connect to the X server");
    }
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(x)).data->root;
    const std::uint32_t rootMask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(x, root, XCB_CW_EVENT_MASK, &rootMask);
    const xcb_atom_t pidAtom = atom(x, "_NET_WM_PID");
    const xcb_atom_t protocolsAtom = atom(x, "WM_PROTOCOLS");
    const xcb_atom_t deleteAtom = atom(x, "WM_DELETE_WINDOW");
    const xcb_atom_t nameAtom = atom(x, "_NET_WM_NAME");
    const xcb_atom_t utf8Atom = atom(x, "UTF8_STRING");

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outputFile, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    char* childArgv[] = {program, nullptr};

    // The launch moment goes to the program too, for a program that times
    // its own steps from it.
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        environment.emplace_back(*entry);
    }
    const std::int64_t launched = nowMicroseconds();
    environment.push_back("LAUNCH_PROBE_SPAWNED_US=" + std::to_string(launched));
    std::vector<char*> childEnvironment;
    for (std::string& entry : environment) {
        childEnvironment.push_back(entry.data());
    }
    childEnvironment.push_back(nullptr);
    pid_t child = 0;
    if (posix_spawn(&child, program, &actions, nullptr, childArgv, childEnvironment.data()) != 0) {
        die("cannot start the program");
    }
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
    if (pidfd < 0) {
        kill(child, SIGKILL);
        die("cannot watch the program's exit");
    }
    const auto fail = [&](const std::string& what) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        if (stopBeforeClose > 0) {
            kill(stopBeforeClose, SIGCONT);
        }
        die(what.c_str());
    };

    // Every top-level window created after the launch is watched; one that
    // maps and carries the program's process id is the main window or, by
    // its title, a message box.
    std::set<xcb_window_t> watched;
    xcb_window_t mainWindow = XCB_WINDOW_NONE;
    std::int64_t mapped = 0;
    std::int64_t firstBox = -1;
    int boxCount = 0;
    const auto mappedWindow = [&](xcb_window_t window, std::int64_t seen) {
        if (windowPid(x, window, pidAtom) != static_cast<std::uint32_t>(child)) {
            return;
        }
        const std::string title = windowTitle(x, window, nameAtom, utf8Atom);
        if (title == expectedTitle) {
            mainWindow = window;
            mapped = seen;
        } else if (!boxes) {
            fail("the program's first window is \"" + title + "\", not \"" + expectedTitle + "\"");
        } else {
            if (boxCount++ == 0) {
                firstBox = seen;
            }
            sendClose(x, window, protocolsAtom, deleteAtom);
        }
    };
    const std::int64_t deadline = launched + 30'000'000;
    while (mainWindow == XCB_WINDOW_NONE) {
        xcb_generic_event_t* event = xcb_poll_for_event(x);
        if (event == nullptr) {
            if (xcb_connection_has_error(x) || nowMicroseconds() > deadline) {
                fail("the program's window did not map");
            }
            if (hasExited(pidfd)) {
                fail("the program exited before its window mapped");
            }
            pollfd readable{xcb_get_file_descriptor(x), POLLIN, 0};
            poll(&readable, 1, 100);
            continue;
        }
        const std::int64_t seen = nowMicroseconds();
        switch (event->response_type & 0x7F) {
        case XCB_CREATE_NOTIFY: {
            auto* created = reinterpret_cast<xcb_create_notify_event_t*>(event);
            if (created->parent == root && !created->override_redirect) {
                watched.insert(created->window);
                const std::uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
                xcb_change_window_attributes(x, created->window, XCB_CW_EVENT_MASK, &mask);
                // Mapped before the selection took effect: the figure is then
                // the moment this client learnt of it, a little late.
                if (isMapped(x, created->window)) {
                    mappedWindow(created->window, seen);
                }
            }
            break;
        }
        case XCB_MAP_NOTIFY: {
            auto* map = reinterpret_cast<xcb_map_notify_event_t*>(event);
            if (watched.count(map->window) != 0) {
                mappedWindow(map->window, seen);
            }
            break;
        }
        default:
            break;
        }
        std::free(event);
    }

    std::this_thread::sleep_for(std::chrono::seconds(1));
    const long rss = procField(child, "status", "VmRSS");
    const long anon = procField(child, "status", "RssAnon");
    const long file = procField(child, "status", "RssFile");
    const long shmem = procField(child, "status", "RssShmem");
    // Proportional and private (unique) set sizes: shared pages counted by
    // share, or not at all.
    const long pss = procField(child, "smaps_rollup", "Pss");
    const long uss = procField(child, "smaps_rollup", "Private_Clean") + procField(child, "smaps_rollup", "Private_Dirty");

    if (stopBeforeClose > 0 && kill(stopBeforeClose, SIGSTOP) != 0) {
        fail("cannot stop process " + std::to_string(stopBeforeClose));
    }
    sendClose(x, mainWindow, protocolsAtom, deleteAtom);
    const std::int64_t closeSent = nowMicroseconds();
    pollfd ended{pidfd, POLLIN, 0};
    const bool exited = poll(&ended, 1, 10'000) == 1;
    const std::int64_t exitSeen = nowMicroseconds();
    if (stopBeforeClose > 0) {
        kill(stopBeforeClose, SIGCONT);
    }
    int status = 0;
    if (!exited) {
        kill(child, SIGKILL);
    }
    waitpid(child, &status, 0);
    const int exitCode = exited && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::printf("map_us=%lld box_us=%lld boxes=%d close_us=%lld rss_kib=%ld anon_kib=%ld file_kib=%ld shmem_kib=%ld "
                "pss_kib=%ld uss_kib=%ld exit=%d\n",
                static_cast<long long>(mapped - launched), static_cast<long long>(firstBox < 0 ? -1 : firstBox - launched),
                boxCount, static_cast<long long>(exited ? exitSeen - closeSent : -1), rss, anon, file, shmem, pss, uss,
                exitCode);
    xcb_disconnect(x);
    return exitCode == 0 ? 0 : 1;
}
