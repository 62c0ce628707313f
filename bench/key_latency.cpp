// The delay from a key release to the last byte of the selection it sends,
// as seen at a JACK capture port: presses and releases Up in the window given
// on the command line through the X server's XTEST extension, and times each
// release against the moment the capture port's process callback saw the
// Program Change. The tool's output port is connected to the capture port
// here, beside the connection the tool made itself.
//
//   key_latency WINDOW-ID [RELEASES]
#include "support/jack_capture.h"

#include <sys/uio.h>
#include <xcb/xcb.h>
#include <xcb/xcbext.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::uint32_t kUpKeysym = 0xFF52;
constexpr std::uint8_t kKeyPress = 2;
constexpr std::uint8_t kKeyRelease = 3;
constexpr const char* kToolPort = "tavrelle:out";

[[noreturn]] void die(const std::string& what)
{
    std::fprintf(stderr, "key_latency: %s\n", what.c_str());
    std::exit(1);
}

// XTEST's FakeInput request (its minor opcode is 2), laid out as the X
// protocol defines it; the header's first four bytes are filled in by xcb.
struct FakeInputRequest {
    std::uint8_t majorOpcode;
    std::uint8_t minorOpcode;
    std::uint16_t length;
    std::uint8_t type;
    std::uint8_t detail;
    std::uint16_t pad0;
    std::uint32_t time;
    std::uint32_t root;
    std::uint32_t pad1[2];
    std::int16_t rootX;
    std::int16_t rootY;
    std::uint8_t pad2[7];
    std::uint8_t deviceId;
};
static_assert(sizeof(FakeInputRequest) == 36);

xcb_extension_t xtest{"XTEST", 0};

void fakeKey(xcb_connection_t* x, std::uint8_t type, std::uint8_t keycode)
{
    xcb_protocol_request_t request{1, &xtest, 2, 1};
    FakeInputRequest body{};
    body.type = type;
    body.detail = keycode;
    iovec parts[3];  // xcb_send_request writes the two before the first
    parts[2].iov_base = &body;
    parts[2].iov_len = sizeof body;
    xcb_send_request(x, 0, parts + 2, &request);
    xcb_flush(x);
}

std::uint8_t keycodeOf(xcb_connection_t* x, std::uint32_t keysym)
{
    const xcb_setup_t* setup = xcb_get_setup(x);
    const std::uint8_t first = setup->min_keycode;
    const int count = setup->max_keycode - first + 1;
    auto* reply = xcb_get_keyboard_mapping_reply(x, xcb_get_keyboard_mapping(x, first, static_cast<std::uint8_t>(count)), nullptr);
    if (reply == nullptr) {
        die("cannot read the keyboard mapping");
    }
    const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(reply);
    std::uint8_t found = 0;
    for (int i = 0; i < count * reply->keysyms_per_keycode && found == 0; ++i) {
        if (syms[i] == keysym) {
            found = static_cast<std::uint8_t>(first + i / reply->keysyms_per_keycode);
        }
    }
    std::free(reply);
    if (found == 0) {
        die("no key produces Up");
    }
    return found;
}

double percentile(const std::vector<double>& sorted, double share)
{
    // Nearest rank.
    const auto rank = static_cast<std::size_t>(std::ceil(share * static_cast<double>(sorted.size())));
    return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

}  // namespace

int main(int argc, char* argv[])
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: key_latency WINDOW-ID [RELEASES]\n");
        return 2;
    }
    const auto window = static_cast<xcb_window_t>(std::strtoul(argv[1], nullptr, 0));
    const int releases = argc > 2 ? std::max(1, std::atoi(argv[2])) : 200;

    xcb_connection_t* x = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(x)) {
        die("cannot connect to the X server");
    }
    const xcb_query_extension_reply_t* extension = xcb_get_extension_data(x, &xtest);
    if (extension == nullptr || !extension->present) {
        die("the X server has no XTEST extension");
    }
    xcb_set_input_focus(x, XCB_INPUT_FOCUS_POINTER_ROOT, window, XCB_CURRENT_TIME);
    const std::uint8_t up = keycodeOf(x, kUpKeysym);

    tavrelle::testing::JackCapture capture("key-latency");
    if (!capture.connectFrom(kToolPort)) {
        die(std::string("cannot connect ") + kToolPort + " to the capture port");
    }

    std::mt19937 random(12345);
    std::uniform_int_distribution<int> heldMs(15, 40);
    std::uniform_int_distribution<int> restMs(10, 30);
    std::vector<double> delays;
    for (int i = 0; i < releases; ++i) {
        fakeKey(x, kKeyPress, up);
        // Random hold times spread the releases over the phase of the JACK
        // cycle, so that the figures cover every moment a user could hit.
        std::this_thread::sleep_for(std::chrono::milliseconds(heldMs(random)));
        const std::uint64_t expected = capture.count() + 3;
        const std::int64_t released = tavrelle::testing::monotonicNanoseconds();
        fakeKey(x, kKeyRelease, up);
        if (!capture.waitForCount(expected, std::chrono::seconds(2))) {
            die("release " + std::to_string(i + 1) + " sent nothing to the capture port");
        }
        // A later, unexpected message would move the arrival time: settle.
        std::this_thread::sleep_for(std::chrono::milliseconds(restMs(random)));
        if (capture.count() != expected) {
            die("release " + std::to_string(i + 1) + " sent other than three messages");
        }
        delays.push_back(static_cast<double>(capture.lastArrival() - released) / 1e6);
    }
    xcb_disconnect(x);

    std::sort(delays.begin(), delays.end());
    const double period = capture.periodMilliseconds();
    std::printf("key release to last byte at the capture port, %d releases, milliseconds\n", releases);
    std::printf("  median %.3f  p99 %.3f  min %.3f  max %.3f\n", percentile(delays, 0.5), percentile(delays, 0.99),
                delays.front(), delays.back());
    std::printf("  JACK period %.3f; aim: p99 at most one period plus 1 ms = %.3f\n", period, period + 1.0);
    return 0;
}
