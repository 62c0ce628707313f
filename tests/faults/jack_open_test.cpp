// The first messages on a freshly opened JACK port, against the private server
// of the jack_services fixture, while another client makes every cycle long:
// the voice selection sent right after start-up or a device switch must not
// fall into a cycle that began before the connection was made.
#include "midi/midi_out_service.h"
#include "support/jack_capture.h"

#include <gtest/gtest.h>

#include <jack/jack.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace tavrelle::testing {
namespace {

using namespace std::chrono_literals;
namespace result = midi::result;

// A client whose process callback keeps the CPU for most of each cycle, so
// that the clients after it run late in the cycle.
class BusyClient {
public:
    BusyClient()
    {
        jack_status_t status{};
        client_ = jack_client_open("busy", JackNoStartServer, &status);
        if (client_ == nullptr) {
            return;
        }
        const double period = static_cast<double>(jack_get_buffer_size(client_)) / jack_get_sample_rate(client_);
        busy_ = std::chrono::microseconds(static_cast<long>(period * 1e6 * 2 / 3));
        jack_set_process_callback(client_, &process, this);
        active_ = jack_activate(client_) == 0;
    }
    ~BusyClient()
    {
        if (client_ != nullptr) {
            jack_client_close(client_);
        }
    }
    bool active() const { return active_; }

private:
    static int process(jack_nframes_t, void* arg)
    {
        const auto until = std::chrono::steady_clock::now() + static_cast<BusyClient*>(arg)->busy_;
        while (std::chrono::steady_clock::now() < until) {
        }
        return 0;
    }

    jack_client_t* client_ = nullptr;
    std::chrono::microseconds busy_{0};
    bool active_ = false;
};

TEST(faults_jack_open_test, the_selection_sent_right_after_an_open_arrives_whole_every_time)
{
    const char* server = std::getenv("JACK_DEFAULT_SERVER");
    ASSERT_TRUE(server != nullptr && *server != '\0') << "needs the private server of the jack_services fixture";
    BusyClient busy;
    ASSERT_TRUE(busy.active());
    JackCapture capture("first-words", {"in"});
    auto service = midi::createSystemMidiOutService();
    const auto id = findDevice(*service, capture.fullName(0));
    ASSERT_TRUE(id);

    constexpr int kOpens = 20;
    std::vector<MidiBytes> expected;
    for (int program = 1; program <= kOpens; ++program) {
        midi::MidiOutHandle handle = 0;
        ASSERT_EQ(service->open(handle, *id), result::kNoError);
        // Bank Select LSB 0, MSB 0 and the program, on channel 1.
        const auto programChange = static_cast<std::uint32_t>((program - 1) << 8 | 0xC0);
        for (const std::uint32_t word : {0x0020B0u, 0x0000B0u, programChange}) {
            EXPECT_EQ(service->sendShortMessage(handle, word), result::kNoError);
        }
        EXPECT_EQ(service->close(handle), result::kNoError);
        expected.insert(expected.end(), {{0xB0, 0x20, 0x00}, {0xB0, 0x00, 0x00},
                                         {0xC0, static_cast<unsigned char>(program - 1)}});
        capture.received(0);  // drains the capture's queue as it goes
    }
    capture.waitForMessages(0, expected.size(), 2s);
    EXPECT_EQ(capture.received(0), expected);
}

}  // namespace
}  // namespace tavrelle::testing
