// Starts a program and times it from launch to the moment its top-level
// window is mapped, as the X server reports it; then reads the program's
// memory one second later and closes the window as a window manager would.
//
//   launch_probe OUTPUT-FILE PROGRAM TITLE
//
// The main window is the program's first top-level window to map; it must
// carry TITLE, so that a message box shown instead fails the run at once.
// Prints one line: map_us=... rss_kib=... anon_kib=... file_kib=...
// shmem_kib=... pss_kib=... uss_kib=... exit=... The program's own output
// goes to OUTPUT-FILE.
//
// The launch is timed here rather than with xdotool or xev: those poll or
// start up themselves, which blurs a figure of a few tens of milliseconds.
// This client listens on the root window before the program starts, so no
// window of the program can be created unseen.
#include <xcb/xcb.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <set>
#include <string>
#include <thread>

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

}  // namespace

int main(int argc, char* argv[])
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: launch_probe OUTPUT-FILE PROGRAM TITLE\n");
        return 2;
    }
    const std::string expectedTitle = argv[3];
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
    posix_spawn_file_actions_addopen(&actions, 1, argv[1], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    char* childArgv[] = {argv[2], nullptr};

    const std::int64_t launched = nowMicroseconds();
    pid_t child = 0;
    if (posix_spawn(&child, argv[2], &actions, nullptr, childArgv, environ) != 0) {
        die("cannot start the program");
    }

    // Every top-level window created after the launch is watched; the one
    // that maps and carries the program's process id is its main window.
    std::set<xcb_window_t> watched;
    xcb_window_t mainWindow = XCB_WINDOW_NONE;
    std::int64_t mapped = 0;
    const std::int64_t deadline = launched + 20'000'000;
    while (mainWindow == XCB_WINDOW_NONE) {
        xcb_generic_event_t* event = xcb_poll_for_event(x);
        if (event == nullptr) {
            if (xcb_connection_has_error(x) || nowMicroseconds() > deadline) {
                kill(child, SIGKILL);
                waitpid(child, nullptr, 0);
                die("the program's window did not map");
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
                if (isMapped(x, created->window) && windowPid(x, created->window, pidAtom) == static_cast<std::uint32_t>(child)) {
                    mainWindow = created->window;
                    mapped = seen;
                }
            }
            break;
        }
        case XCB_MAP_NOTIFY: {
            auto* map = reinterpret_cast<xcb_map_notify_event_t*>(event);
            if (watched.count(map->window) != 0 && windowPid(x, map->window, pidAtom) == static_cast<std::uint32_t>(child)) {
                mainWindow = map->window;
                mapped = seen;
            }
            break;
        }
        default:
            break;
        }
        std::free(event);
    }

    if (const std::string title = windowTitle(x, mainWindow, nameAtom, utf8Atom); title != expectedTitle) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        die(("the program's first window is \"" + title + "\", not \"" + expectedTitle + "\"").c_str());
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

    xcb_client_message_event_t close{};
    close.response_type = XCB_CLIENT_MESSAGE;
    close.format = 32;
    close.window = mainWindow;
    close.type = protocolsAtom;
    close.data.data32[0] = deleteAtom;
    close.data.data32[1] = XCB_CURRENT_TIME;
    xcb_send_event(x, 0, mainWindow, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&close));
    xcb_flush(x);

    int status = 0;
    pid_t ended = 0;
    for (int i = 0; i < 500 && ended == 0; ++i) {
        ended = waitpid(child, &status, WNOHANG);
        if (ended == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    int exitCode = -1;
    if (ended == 0) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
    } else if (WIFEXITED(status)) {
        exitCode = WEXITSTATUS(status);
    }
    std::printf("map_us=%lld rss_kib=%ld anon_kib=%ld file_kib=%ld shmem_kib=%ld pss_kib=%ld uss_kib=%ld exit=%d\n",
                static_cast<long long>(mapped - launched), rss, anon, file, shmem, pss, uss, exitCode);
    xcb_disconnect(x);
    return exitCode == 0 ? 0 : 1;
}
