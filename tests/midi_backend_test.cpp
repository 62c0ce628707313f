// The backends of the system's MIDI output service without a MIDI system: the
// naming and ordering rules over names as the ALSA client and libjack give them, the
// ALSA output over a stand-in sequencer, and the JACK output's queue.
#include "alsa_output.h"
#include "midi_thread.h"
#include "pipewire_jack.h"
#include "port_list.h"
#include "selection_queue.h"
#include "support/fake_alsa_sequencer.h"

#include "midi/midi_out_service.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <deque>
#include <thread>

#include <unistd.h>
#include <memory>

namespace tavrelle::midi::backend {
namespace {

using testing::FakeSequencer;

using MidiBytes = std::vector<unsigned char>;
using namespace std::chrono_literals;

std::vector<std::string> namesOf(const std::vector<PortEntry>& list)
{
    std::vector<std::string> names;
    for (const auto& entry : list) {
        names.push_back(entry.name);
    }
    return names;
}

TEST(midi_backend_test, alsa_names_lose_the_port_numbers)
{
    EXPECT_EQ(stripAlsaPortNumbers("Midi Through:Midi Through Port-0 14:0"), "Midi Through:Midi Through Port-0");
    EXPECT_EQ(stripAlsaPortNumbers("FLUID Synth (1234):Synth input port (1234:0) 128:0"),
              "FLUID Synth (1234):Synth input port (1234:0)");
    EXPECT_EQ(stripAlsaPortNumbers("SC-8850:SC-8850 Part A 20:1"), "SC-8850:SC-8850 Part A");
}

TEST(midi_backend_test, alsa_names_without_appended_numbers_stay_whole)
{
    EXPECT_EQ(stripAlsaPortNumbers("Module:Port"), "Module:Port");
    EXPECT_EQ(stripAlsaPortNumbers("Module:Port 2"), "Module:Port 2");
    EXPECT_EQ(stripAlsaPortNumbers("Module:Port 20:"), "Module:Port 20:");
    EXPECT_EQ(stripAlsaPortNumbers("Module:Port :1"), "Module:Port :1");
    EXPECT_EQ(stripAlsaPortNumbers("Module:Port 2x:1"), "Module:Port 2x:1");
    EXPECT_EQ(stripAlsaPortNumbers(""), "");
}

TEST(midi_backend_test, only_the_kernel_loopback_client_counts_as_midi_through)
{
    EXPECT_TRUE(isAlsaMidiThrough("Midi Through:Midi Through Port-0 14:0"));
    EXPECT_FALSE(isAlsaMidiThrough("Synth:Midi Through 20:0"));
    EXPECT_FALSE(isAlsaMidiThrough("Midi Throughput:Port 20:0"));
}

TEST(midi_backend_test, list_puts_alsa_then_jack_then_midi_through)
{
    const auto list = combinedPortList(
        {"Midi Through:Midi Through Port-0 14:0", "SC-8850:Part A 20:0", "Midi Through:Midi Through Port-1 14:1",
         "USB Keys:USB Keys MIDI 1 24:0"},
        {"fsynth:midi_00", "a2j:Out 1"});
    EXPECT_EQ(namesOf(list), (std::vector<std::string>{"SC-8850:Part A", "USB Keys:USB Keys MIDI 1", "fsynth:midi_00",
                                                       "a2j:Out 1", "Midi Through:Midi Through Port-0",
                                                       "Midi Through:Midi Through Port-1"}));
    EXPECT_EQ(list[0], (PortEntry{Backend::Alsa, "SC-8850:Part A", "SC-8850:Part A 20:0"}));
    EXPECT_EQ(list[2], (PortEntry{Backend::Jack, "fsynth:midi_00", "fsynth:midi_00"}));
    EXPECT_EQ(list[4].backend, Backend::Alsa);
    EXPECT_EQ(list[4].systemName, "Midi Through:Midi Through Port-0 14:0");
}

TEST(midi_backend_test, only_namesakes_keep_their_numbers)
{
    const auto list = combinedPortList({"Synth:In 128:0", "Other:In 130:0", "Synth:In 129:0"}, {});
    EXPECT_EQ(namesOf(list), (std::vector<std::string>{"Synth:In 128:0", "Other:In", "Synth:In 129:0"}));
}

TEST(midi_backend_test, alsa_port_named_like_a_jack_port_keeps_its_numbers)
{
    const auto list = combinedPortList({"fsynth:midi_00 130:0"}, {"fsynth:midi_00"});
    EXPECT_EQ(namesOf(list), (std::vector<std::string>{"fsynth:midi_00 130:0", "fsynth:midi_00"}));
}

TEST(midi_backend_test, no_ports_give_an_empty_list)
{
    EXPECT_TRUE(combinedPortList({}, {}).empty());
    EXPECT_EQ(namesOf(combinedPortList({}, {"fsynth:midi_00"})), (std::vector<std::string>{"fsynth:midi_00"}));
}

TEST(midi_backend_test, alsa_port_is_found_where_it_moved)
{
    const PortEntry synth{Backend::Alsa, "Synth:In", "Synth:In 128:0"};
    EXPECT_EQ(findAlsaPort({"Keys:Out 24:0", "Synth:In 128:0"}, synth), 1u);
    // The synth was restarted and came back as another client.
    EXPECT_EQ(findAlsaPort({"Synth:In 131:0", "Keys:Out 24:0"}, synth), 0u);
}

TEST(midi_backend_test, gone_or_ambiguous_alsa_port_is_not_found)
{
    const PortEntry synth{Backend::Alsa, "Synth:In", "Synth:In 128:0"};
    EXPECT_EQ(findAlsaPort({}, synth), std::nullopt);
    EXPECT_EQ(findAlsaPort({"Keys:Out 24:0", "Synth:Input 128:0"}, synth), std::nullopt);
    EXPECT_EQ(findAlsaPort({"Synth:In 131:0", "Synth:In 132:0"}, synth), std::nullopt);
}

TEST(midi_backend_test, alsa_port_told_apart_by_numbers_needs_those_numbers)
{
    const PortEntry second{Backend::Alsa, "Synth:In 129:0", "Synth:In 129:0"};
    EXPECT_EQ(findAlsaPort({"Synth:In 128:0", "Synth:In 129:0"}, second), 1u);
    EXPECT_EQ(findAlsaPort({"Synth:In 128:0"}, second), std::nullopt);
}

// The ALSA client over a fake the test keeps its eyes on.
struct AlsaRig {
    FakeSequencer* sequencer = nullptr;
    std::unique_ptr<AlsaClient> client;

    int open(std::unique_ptr<FakeSequencer> fake, const PortEntry& entry)
    {
        sequencer = fake.get();
        auto held = std::make_shared<std::unique_ptr<AlsaSequencer>>(std::move(fake));
        client = std::make_unique<AlsaClient>([held](std::unique_ptr<AlsaSequencer>& sequencer) {
            sequencer = std::move(*held);
            return result::kNoError;
        });
        return client->open(entry);
    }
};

const PortEntry kSynth{Backend::Alsa, "Synth:In", "Synth:In 128:0"};

TEST(midi_backend_test, alsa_opens_the_port_listed_under_the_identifier_where_it_is_now)
{
    auto fake = std::make_unique<FakeSequencer>();
    fake->ports = {"Keys:Out 24:0", "Synth:In 131:0"};
    FakeSequencer& sequencer = *fake;
    const auto closed = fake->closed;
    AlsaRig rig;
    ASSERT_EQ(rig.open(std::move(fake), kSynth), result::kNoError);
    EXPECT_EQ(sequencer.opened, 1u);

    const ShortMessageBytes selection[] = {shortMessageBytes(0x0020B0), shortMessageBytes(0x0500B0),
                                           shortMessageBytes(0x09C0)};
    EXPECT_EQ(rig.client->send(selection), result::kNoError);
    EXPECT_EQ(sequencer.sent, (std::vector<std::vector<unsigned char>>{{0xB0, 0x20, 0x00}, {0xB0, 0x00, 0x05},
                                                                       {0xC0, 0x09}}));
    EXPECT_EQ(rig.client->close(), result::kNoError);
    EXPECT_TRUE(*closed);
}

TEST(midi_backend_test, alsa_port_gone_before_the_open_opens_nothing)
{
    auto fake = std::make_unique<FakeSequencer>();
    fake->ports = {"Keys:Out 24:0"};
    AlsaRig rig;
    EXPECT_EQ(rig.open(std::move(fake), kSynth), result::kBadDeviceId);
    EXPECT_FALSE(rig.sequencer->opened);
}

TEST(midi_backend_test, alsa_failures_become_result_codes)
{
    const std::pair<AlsaSequencer::Failure, int> cases[] = {
        {AlsaSequencer::Failure::portGone, result::kBadDeviceId},
        {AlsaSequencer::Failure::noMemory, result::kNoMemory},
        {AlsaSequencer::Failure::other, result::kError},
    };
    for (const auto& [failure, code] : cases) {
        auto refusing = std::make_unique<FakeSequencer>();
        refusing->ports = {"Synth:In 128:0"};
        refusing->openFailure = failure;
        AlsaRig failed;
        EXPECT_EQ(failed.open(std::move(refusing), kSynth), code);

        auto fake = std::make_unique<FakeSequencer>();
        fake->ports = {"Synth:In 128:0"};
        FakeSequencer& sequencer = *fake;
        AlsaRig rig;
        ASSERT_EQ(rig.open(std::move(fake), kSynth), result::kNoError);
        sequencer.sendFailure = failure;
        const ShortMessageBytes message[] = {shortMessageBytes(0x09C0)};
        EXPECT_EQ(rig.client->send(message), code);
    }
}

// The queue as the process callback sees it: what one cycle hands over.
std::vector<MidiBytes> deliverAll(SelectionQueue& queue, std::size_t room = SIZE_MAX)
{
    std::vector<MidiBytes> out;
    queue.deliver([&](const unsigned char* bytes, std::size_t size) {
        if (out.size() == room) {
            return false;
        }
        out.emplace_back(bytes, bytes + size);
        return true;
    });
    return out;
}

std::vector<ShortMessageBytes> selectionFor(int program)
{
    return {shortMessageBytes(0x0020B0), shortMessageBytes(0x0000B0),
            shortMessageBytes(0x00C0 | static_cast<std::uint32_t>(program) << 8)};
}

TEST(midi_backend_test, full_queue_keeps_whole_selections_and_the_newest)
{
    SelectionQueue queue(8);
    constexpr int kSent = 100;  // far more than fit while no cycle runs
    for (int program = 0; program < kSent; ++program) {
        ASSERT_TRUE(queue.push(selectionFor(program)));
    }
    EXPECT_FALSE(queue.empty());
    const auto delivered = deliverAll(queue);
    ASSERT_FALSE(delivered.empty());
    ASSERT_EQ(delivered.size() % 3, 0u);
    const int kept = static_cast<int>(delivered.size() / 3);
    EXPECT_EQ(kept, 8);
    // The newest selections, in order, each whole.
    for (int i = 0; i < kept; ++i) {
        const auto program = static_cast<unsigned char>(kSent - kept + i);
        EXPECT_EQ(delivered[3 * i], (MidiBytes{0xB0, 0x20, 0x00}));
        EXPECT_EQ(delivered[3 * i + 1], (MidiBytes{0xB0, 0x00, 0x00}));
        EXPECT_EQ(delivered[3 * i + 2], (MidiBytes{0xC0, program}));
    }
    EXPECT_TRUE(queue.empty());
}

TEST(midi_backend_test, selection_cut_short_by_a_full_cycle_stays_whole_when_the_queue_overflows)
{
    SelectionQueue queue(2);
    ASSERT_TRUE(queue.push(selectionFor(1)));
    // The cycle's buffer took one message of the first selection only.
    EXPECT_EQ(deliverAll(queue, 1), (std::vector<MidiBytes>{{0xB0, 0x20, 0x00}}));
    for (int program = 2; program < 20; ++program) {
        ASSERT_TRUE(queue.push(selectionFor(program)));
    }
    const auto delivered = deliverAll(queue);
    ASSERT_GE(delivered.size(), 5u);
    // The rest of the first, then whole newest ones ending on the last sent.
    EXPECT_EQ(delivered[0], (MidiBytes{0xB0, 0x00, 0x00}));
    EXPECT_EQ(delivered[1], (MidiBytes{0xC0, 0x01}));
    EXPECT_EQ((delivered.size() - 2) % 3, 0u);
    EXPECT_EQ(delivered.back(), (MidiBytes{0xC0, 19}));
    EXPECT_TRUE(queue.empty());
}

TEST(midi_backend_test, queue_refuses_groups_it_cannot_carry_whole)
{
    SelectionQueue queue(4);
    EXPECT_FALSE(queue.push({}));
    const std::vector<ShortMessageBytes> five(5, shortMessageBytes(0x09C0));
    EXPECT_FALSE(queue.push(five));
    EXPECT_TRUE(queue.empty());
    EXPECT_TRUE(deliverAll(queue).empty());
}

// A receiver later in the graph reads a cycle's messages only after it: a
// close may answer once the carrying cycle and the next have ended.
TEST(midi_backend_test, queue_counts_as_delivered_only_after_the_cycle_after_the_carrying_one)
{
    SelectionQueue queue(4);
    ASSERT_TRUE(queue.push(selectionFor(3)));
    const auto write = [](const unsigned char*, std::size_t) { return true; };
    queue.runCycle(256, write);
    EXPECT_FALSE(queue.delivered());  // held shut until opened
    queue.openAfter(0);
    queue.runCycle(256, write);
    EXPECT_TRUE(queue.empty());
    EXPECT_FALSE(queue.delivered());
    queue.runCycle(256, write);
    EXPECT_TRUE(queue.delivered());
}

// Seen from the sending thread while the process callback runs, as a close
// sees it: never delivered before the cycle after the one that carried it.
TEST(midi_backend_test, queue_seen_while_cycles_run_is_never_delivered_early)
{
    SelectionQueue queue(4);
    queue.openAfter(0);
    std::atomic<std::uint64_t> lastWritten{0};
    std::atomic<bool> stop{false};
    std::thread process([&] {
        while (!stop.load(std::memory_order_relaxed)) {
            const std::uint64_t cycle = queue.cycles();
            bool wrote = false;
            queue.runCycle(64, [&](const unsigned char*, std::size_t) {
                wrote = true;
                return true;
            });
            if (wrote) {
                lastWritten.store(cycle, std::memory_order_release);
            }
        }
    });
    unsigned early = 0;
    unsigned groups = 0;
    bool stuck = false;
    const auto end = std::chrono::steady_clock::now() + 1s;
    while (!stuck && std::chrono::steady_clock::now() < end) {
        queue.push(selectionFor(1));
        const auto limit = std::chrono::steady_clock::now() + 10s;
        while (!queue.delivered() && !stuck) {
            stuck = std::chrono::steady_clock::now() > limit;
        }
        ++groups;
        early += queue.cycles() < lastWritten.load(std::memory_order_acquire) + 2 ? 1 : 0;
    }
    stop = true;
    process.join();
    EXPECT_FALSE(stuck) << "a group was not delivered within 10 s";
    EXPECT_EQ(early, 0u) << "of " << groups << " groups";
}

// A connection whose news never comes: the queue opens once the server has
// run the frames given, counted from when they were given, and holding it
// (a new target) ends that.
TEST(midi_backend_test, queue_opens_by_itself_after_the_frames_it_was_given)
{
    SelectionQueue queue(4);
    const auto write = [](const unsigned char*, std::size_t) { return true; };
    queue.runCycle(1000, write);
    ASSERT_TRUE(queue.push(selectionFor(3)));
    queue.openAtLatestAfterFrames(512);
    EXPECT_FALSE(queue.held());
    queue.runCycle(256, write);
    queue.runCycle(255, write);
    queue.runCycle(1, write);  // began at 511
    EXPECT_FALSE(queue.empty());
    queue.runCycle(256, write);
    EXPECT_TRUE(queue.empty());

    queue.openAtLatestAfterFrames(256);
    queue.hold();
    ASSERT_TRUE(queue.push(selectionFor(4)));
    queue.runCycle(4096, write);
    queue.runCycle(4096, write);
    EXPECT_FALSE(queue.empty());
}

// A libjack call that wakes up to a server that died writes to its socket;
// on the MIDI thread, and on the threads libjack starts from it, that write
// fails instead of ending the program with SIGPIPE.
TEST(midi_backend_test, writes_to_a_dead_peer_fail_on_the_midi_thread_and_the_threads_it_starts)
{
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    close(ends[0]);
    MidiThread thread;
    const auto errorOfWrite = [fd = ends[1]] {
        const char byte = 0;
        return write(fd, &byte, 1) < 0 ? errno : 0;
    };
    const auto direct = thread.call<int>(2000ms, [&](auto& reply) { reply.set_value(errorOfWrite()); });
    const auto started = thread.call<int>(2000ms, [&](auto& reply) {
        int error = 0;
        std::thread([&] { error = errorOfWrite(); }).join();
        reply.set_value(error);
    });
    close(ends[1]);
    EXPECT_EQ(direct, EPIPE);
    EXPECT_EQ(started, EPIPE);
}

// JACK 2's server through the libjack the loader finds first; PipeWire
// through its own unless that one is PipeWire's already; nothing the
// answering server's libjack cannot reach.
TEST(midi_backend_test, libjack_is_chosen_by_the_server_that_answers)
{
    using enum JackLibraryChoice;
    const auto choice = [](bool firstFound, bool firstIsPipeWire, bool pipeWireInstalled, bool jackAnswers,
                           bool pipeWireAnswers) {
        return chooseJackLibrary({firstFound, firstIsPipeWire, pipeWireInstalled, jackAnswers, pipeWireAnswers});
    };
    EXPECT_EQ(choice(true, false, true, true, true), loaderFirst);
    EXPECT_EQ(choice(true, false, true, false, true), pipeWire);
    EXPECT_EQ(choice(true, false, false, false, true), none);
    EXPECT_EQ(choice(true, false, true, false, false), none);
    EXPECT_EQ(choice(false, false, true, true, true), pipeWire);
    EXPECT_EQ(choice(false, false, true, true, false), none);
    // pw-jack's or the system's PipeWire libjack reaches PipeWire alone.
    EXPECT_EQ(choice(true, true, false, false, true), loaderFirst);
    EXPECT_EQ(choice(true, true, false, true, false), none);
}

}  // namespace
}  // namespace tavrelle::midi::backend
