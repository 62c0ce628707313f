// The system's MIDI output service against a real JACK server and FluidSynth,
// which the jack_services fixture starts (scripts/test-services.sh).
#include "alsa_output.h"
#include "deadlines.h"
#include "jack_session.h"

#include "midi/midi_out_port.h"
#include "midi/midi_out_service.h"
#include "midi/voice_selection.h"
#include "support/fake_alsa_sequencer.h"
#include "support/fake_midi_out_service.h"
#include "support/fluidsynth_shell.h"
#include "support/jack_capture.h"
#include "support/jack_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace tavrelle::testing {
namespace {

using midi::MidiOutHandle;
using namespace std::chrono_literals;
using midi::backend::kCloseDeadline;
using midi::backend::kListingDeadline;
namespace result = midi::result;

constexpr const char* kFluidSynthPort = "fsynth:midi_00";

std::string uniqueName(const std::string& stem)
{
    return stem + "-" + std::to_string(getpid());
}

int fluidSynthShellPort()
{
    const char* port = std::getenv("TAVRELLE_FLUIDSYNTH_SHELL_PORT");
    return port != nullptr ? std::atoi(port) : 0;
}

// The output port with the list, messages and waits of a window that is not
// there.
struct PortRig {
    std::unique_ptr<midi::MidiOutService> service = midi::createSystemMidiOutService();
    VectorDeviceList list;
    CapturingPresenter notifier;
    FakeEventPump pump;
    midi::MidiOutPort port{*service, list, notifier, pump};
    midi::VoiceSelection selection{port};
    std::atomic<bool> devicesChanged{false};

    PortRig()
    {
        service->setDevicesChangedCallback([this] { devicesChanged = true; });
    }
    ~PortRig() { service->setDevicesChangedCallback({}); }

    // As the window follows the service's reports: until `done` or `limit`,
    // each report refreshes the list, and a device opened by it is sent the
    // selection.
    template <typename Done>
    bool follow(Done done, std::chrono::milliseconds limit)
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done() && std::chrono::steady_clock::now() < deadline) {
            if (devicesChanged.exchange(false) && port.refreshDeviceList()) {
                selection.sendVoiceSelection();
            }
            std::this_thread::sleep_for(10ms);
        }
        return done();
    }

    // Lists the devices and opens `from`, ready for a switch to `to`: the
    // list position of `to`, or -1 when either is not listed or the open failed.
    int openForSwitch(const std::string& from, const std::string& to)
    {
        port.listMidiOutDevices();
        const int fromPosition = positionOf(from);
        const int toPosition = positionOf(to);
        if (fromPosition < 0 || toPosition < 0 ||
            port.openMidiOutWithRetries(port.deviceIdTable().at(fromPosition)) != result::kNoError) {
            return -1;
        }
        return toPosition;
    }

    int positionOf(const std::string& name) const
    {
        for (std::size_t i = 0; i < list.items.size(); ++i) {
            if (list.items[i] == name) {
                return static_cast<int>(i);
            }
        }
        return -1;
    }

    void select(int program, int bank, int channel)
    {
        while (selection.programNumber() != program) {
            selection.stepProgramNumber(midi::StepDirection::Up);
        }
        while (selection.bankNumber() != bank) {
            selection.stepBankNumber(midi::StepDirection::Up);
        }
        while (selection.channel() + 1 != channel) {
            selection.stepChannel(midi::StepDirection::Up);
        }
    }
};

// Runs only against the fixture's private server, never a user's session.
class midi_integration_test : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* server = std::getenv("JACK_DEFAULT_SERVER");
        ASSERT_TRUE(server != nullptr && *server != '\0')
            << "JACK_DEFAULT_SERVER must name the private server of the jack_services fixture";
    }
};

TEST_F(midi_integration_test, voice_selection_arrives_in_order_with_exact_bytes_before_close_returns)
{
    JackCapture capture(uniqueName("capture"), {"in"});
    PortRig rig;
    rig.port.listMidiOutDevices();
    const int position = rig.positionOf(capture.fullName(0));
    ASSERT_GE(position, 0);
    ASSERT_EQ(rig.port.openMidiOutWithRetries(rig.port.deviceIdTable().at(position)), result::kNoError);
    EXPECT_NE(rig.port.handle(), 0u);

    rig.select(10, 5, 3);
    rig.selection.sendVoiceSelection();
    rig.port.closeMidiOut();

    // No waiting here: close itself must deliver what was sent.
    EXPECT_EQ(capture.received(0),
              (std::vector<MidiBytes>{{0xB2, 0x20, 0x00}, {0xB2, 0x00, 0x05}, {0xC2, 0x09}}));
}

TEST_F(midi_integration_test, fluidsynth_takes_the_preset_chosen_on_the_channel)
{
    const int shellPort = fluidSynthShellPort();
    ASSERT_GT(shellPort, 0) << "TAVRELLE_FLUIDSYNTH_SHELL_PORT is not set";
    PortRig rig;
    rig.port.listMidiOutDevices();
    const int position = rig.positionOf(kFluidSynthPort);
    ASSERT_GE(position, 0) << kFluidSynthPort << " is not in the device list";
    ASSERT_EQ(rig.port.openMidiOutWithRetries(rig.port.deviceIdTable().at(position)), result::kNoError);

    const auto presetOnChannel5Becomes = [&](int program) {
        const auto deadline = std::chrono::steady_clock::now() + 3s;
        std::optional<ChannelPreset> preset;
        do {
            const auto answer = askFluidSynth(shellPort, "channels -verbose");
            preset = answer ? presetOnChannel(*answer, 4) : std::nullopt;
            if (preset && preset->bank == 0 && preset->program == program) {
                return preset;
            }
            std::this_thread::sleep_for(20ms);
        } while (std::chrono::steady_clock::now() < deadline);
        return preset;
    };

    // Program 1 first, so the check below cannot pass on what an earlier run
    // left behind.
    rig.select(1, 0, 5);
    rig.selection.sendVoiceSelection();
    ASSERT_EQ(presetOnChannel5Becomes(0)->program, 0);

    rig.select(41, 0, 5);
    rig.selection.sendVoiceSelection();
    const auto preset = presetOnChannel5Becomes(40);
    ASSERT_TRUE(preset.has_value());
    EXPECT_EQ(preset->bank, 0);
    EXPECT_EQ(preset->program, 40);
    EXPECT_EQ(preset->name, "Violin");
    rig.port.closeMidiOut();
}

TEST_F(midi_integration_test, all_sound_off_reaches_the_old_port_on_a_device_switch)
{
    JackCapture capture(uniqueName("switch"), {"old", "new"});
    PortRig rig;
    const int newPosition = rig.openForSwitch(capture.fullName(0), capture.fullName(1));
    ASSERT_GE(newPosition, 0) << "the capture ports are not both listed, or the first did not open";

    rig.list.selectIndex(newPosition);
    rig.port.switchMidiOutDevice();
    ASSERT_EQ(rig.port.lastOpenResult(), result::kNoError);
    rig.select(1, 0, 1);
    rig.selection.sendVoiceSelection();
    rig.port.closeMidiOut();

    EXPECT_EQ(capture.received(0), (std::vector<MidiBytes>{{0xB9, 0x78, 0x00}}));
    EXPECT_EQ(capture.received(1),
              (std::vector<MidiBytes>{{0xB0, 0x20, 0x00}, {0xB0, 0x00, 0x00}, {0xC0, 0x00}}));
    EXPECT_TRUE(rig.notifier.shown.empty());
}

TEST_F(midi_integration_test, port_gone_after_enumeration_fails_with_bad_device_and_opens_nothing)
{
    JackCapture capture(uniqueName("vanish"), {"stays", "goes"});
    auto service = midi::createSystemMidiOutService();
    const auto stays = findDevice(*service, capture.fullName(0));
    const auto goes = findDevice(*service, capture.fullName(1));
    ASSERT_TRUE(stays && goes);
    const unsigned count = service->deviceCount();

    capture.unregisterPort(1);
    JackCapture latecomer(uniqueName("latecomer"), {"in"});
    const auto connectionsBefore = allJackConnections(capture.client());

    MidiOutHandle handle = 77;
    EXPECT_EQ(service->open(handle, *goes), result::kBadDeviceId);
    EXPECT_EQ(handle, 0u);
    EXPECT_EQ(allJackConnections(capture.client()), connectionsBefore);
    EXPECT_EQ(service->sendShortMessage(handle, 0x0040C0), result::kInvalidHandle);
    EXPECT_TRUE(capture.received(0).empty());
    EXPECT_TRUE(latecomer.received(0).empty());

    // The list stays as first enumerated: the latecomer is not offered, and
    // the port that went keeps its place.
    EXPECT_EQ(service->deviceCount(), count);
    EXPECT_FALSE(findDevice(*service, latecomer.fullName(0)));
    EXPECT_EQ(findDevice(*service, capture.fullName(1)), goes);

    ASSERT_EQ(service->open(handle, *stays), result::kNoError);
    EXPECT_EQ(service->sendShortMessage(handle, 0x0040C0), result::kNoError);
    EXPECT_EQ(service->close(handle), result::kNoError);
    EXPECT_EQ(capture.received(0), (std::vector<MidiBytes>{{0xC0, 0x40}}));
}

TEST_F(midi_integration_test, without_any_midi_system_there_are_no_devices_and_nothing_is_printed)
{
    const std::string absent = uniqueName("tavrelle-absent");
    ASSERT_FALSE(jackServerAnswers(absent));
    char outPath[] = "/tmp/tavrelle-probe-out-XXXXXX";
    char errPath[] = "/tmp/tavrelle-probe-err-XXXXXX";
    const int out = mkstemp(outPath);
    const int err = mkstemp(errPath);
    ASSERT_GE(out, 0);
    ASSERT_GE(err, 0);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out, 1);
    posix_spawn_file_actions_adddup2(&actions, err, 2);
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (!std::string(*entry).starts_with("JACK_DEFAULT_SERVER=")) {
            environment.emplace_back(*entry);
        }
    }
    environment.push_back("JACK_DEFAULT_SERVER=" + absent);
    std::vector<char*> envp;
    for (auto& entry : environment) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    std::string program = TAVRELLE_SILENCE_PROBE;
    char* argv[] = {program.data(), nullptr};
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ASSERT_EQ(spawned, 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);

    const auto readAll = [](int fd) {
        std::string text;
        char buffer[4096];
        lseek(fd, 0, SEEK_SET);
        for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;) {
            text.append(buffer, static_cast<std::size_t>(got));
        }
        close(fd);
        return text;
    };
    const std::string printed = readAll(out);
    const std::string complained = readAll(err);
    unlink(outPath);
    unlink(errPath);

    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "10: devices listed, 11: a name, 12: an open that did not fail with 2, "
                                         "13: a server answered";
    EXPECT_EQ(printed, "");
    EXPECT_EQ(complained, "");
    EXPECT_FALSE(jackServerAnswers(absent));
    EXPECT_FALSE(jackdRunningFor(absent));
}

// A JACK server of the test's own, to be stopped, killed or run with long
// periods. The name is fixed, so that the next run takes over the slot a kill
// leaves in JACK's table of servers.
class midi_private_server_test : public midi_integration_test {
protected:
    // The base class refuses to run without the fixture's server name.
    const std::string serverName =
        std::string(std::getenv("JACK_DEFAULT_SERVER") ? std::getenv("JACK_DEFAULT_SERVER") : "") + "-private";
    ServerNameOverride override{serverName};
    JackServerProcess server{serverName};
};

// The private server with one capture port listed by a fresh service.
// The service's own client brings news of its own a moment after a listing.
// As the window does, each report is followed by a listing, which readies
// the next one; what comes after is told apart once a second has passed
// without news. The reports so far.
int settleReports(midi::MidiOutService& service, const std::atomic<int>& reports)
{
    int reported = -1;
    for (const auto settle = std::chrono::steady_clock::now() + 30s;
         reports != reported && std::chrono::steady_clock::now() < settle;) {
        reported = reports;
        service.rescanDevices();
        service.deviceCount();
        std::this_thread::sleep_for(1s);
    }
    return reported;
}

class midi_restart_test : public midi_private_server_test {
protected:
    std::unique_ptr<JackCapture> capture;
    std::string portName;
    std::unique_ptr<midi::MidiOutService> service;
    std::optional<unsigned> id;

    void SetUp() override
    {
        midi_integration_test::SetUp();
        ASSERT_TRUE(server.start()) << "jackd did not start for " << serverName;
        capture = std::make_unique<JackCapture>("restart", std::vector<std::string>{"in"});
        portName = capture->fullName(0);
        service = midi::createSystemMidiOutService();
        id = findDevice(*service, portName);
        ASSERT_TRUE(id);
    }
};

TEST_F(midi_restart_test, server_death_is_survived_and_a_restarted_server_serves_new_opens)
{
    MidiOutHandle handle = 0;
    ASSERT_EQ(service->open(handle, *id), result::kNoError);
    ASSERT_EQ(service->sendShortMessage(handle, 0x0001C0), result::kNoError);
    ASSERT_TRUE(capture->waitForMessages(0, 1, 2s));

    server.kill();
    // The service learns of the death from libjack's own thread; until then
    // messages are still queued.
    int sent = result::kNoError;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (sent == result::kNoError && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
        sent = service->sendShortMessage(handle, 0x0002C0);
    }
    EXPECT_EQ(sent, result::kNoDriver);

    // The dead client is let go without a word to libjack; an open then
    // fails and starts no server.
    EXPECT_EQ(service->close(handle), result::kNoDriver);
    EXPECT_EQ(service->sendShortMessage(handle, 0x0002C0), result::kInvalidHandle);
    MidiOutHandle failed = 9;
    EXPECT_EQ(service->open(failed, *id), result::kNoDriver);
    EXPECT_EQ(failed, 0u);
    EXPECT_FALSE(jackServerAnswers(serverName));

    ASSERT_TRUE(capture->waitUntilServerGone(10s));
    capture.reset();
    ASSERT_TRUE(server.start()) << "jackd did not restart for " << serverName;
    JackCapture again("restart", {"in"});
    ASSERT_EQ(again.fullName(0), portName);
    ASSERT_EQ(service->open(handle, *id), result::kNoError);
    EXPECT_EQ(service->sendShortMessage(handle, 0x0003C0), result::kNoError);
    EXPECT_EQ(service->close(handle), result::kNoError);
    EXPECT_EQ(again.received(0), (std::vector<MidiBytes>{{0xC0, 0x03}}));
}

TEST_F(midi_restart_test, server_death_between_listing_and_the_first_open_is_survived)
{
    // Listing keeps its client for the first open; that client dies here.
    // Its libjack tells the service on a thread of its own, which may come
    // after another client's: the open follows the service's report, as the
    // window's would.
    // Shared, as the service outlives this body.
    auto reports = std::make_shared<std::atomic<int>>(0);
    service->setDevicesChangedCallback([reports] { ++*reports; });
    const int reported = settleReports(*service, *reports);
    server.kill();
    ASSERT_TRUE(capture->waitUntilServerGone(10s));
    capture.reset();
    const auto limit = std::chrono::steady_clock::now() + 10s;
    while (*reports == reported && std::chrono::steady_clock::now() < limit) {
        std::this_thread::sleep_for(5ms);
    }
    ASSERT_GT(*reports, reported) << "no report of the server's death";

    MidiOutHandle handle = 9;
    EXPECT_EQ(service->open(handle, *id), result::kNoDriver);
    EXPECT_EQ(handle, 0u);
    EXPECT_FALSE(jackServerAnswers(serverName));

    ASSERT_TRUE(server.start()) << "jackd did not restart for " << serverName;
    JackCapture again("restart", {"in"});
    ASSERT_EQ(service->open(handle, *id), result::kNoError);
    EXPECT_EQ(service->sendShortMessage(handle, 0x0005C0), result::kNoError);
    EXPECT_EQ(service->close(handle), result::kNoError);
    EXPECT_EQ(again.received(0), (std::vector<MidiBytes>{{0xC0, 0x05}}));
}

template <typename Call>
std::chrono::milliseconds timeOf(Call call)
{
    const auto start = std::chrono::steady_clock::now();
    call();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
}

TEST_F(midi_private_server_test, stalled_server_fails_each_step_in_time_and_nothing_breaks_when_it_resumes)
{
    ASSERT_TRUE(server.start()) << "jackd did not start for " << serverName;
    auto capture = std::make_unique<JackCapture>("stall", std::vector<std::string>{"in"});
    auto service = midi::createSystemMidiOutService();
    const auto id = findDevice(*service, capture->fullName(0));
    ASSERT_TRUE(id);
    MidiOutHandle handle = 0;
    ASSERT_EQ(service->open(handle, *id), result::kNoError);

    server.pause();
    // Sends only queue, whatever the server does.
    const std::uint32_t selection[] = {0x0020B0, 0x0000B0, 0x0007C0};
    // Bounds here sit well below the deadlines they tell apart, and well above
    // what a busy two-core machine needs for a call that does not wait.
    EXPECT_LT(timeOf([&] { EXPECT_EQ(service->sendShortMessages(handle, selection), result::kNoError); }), 500ms);
    // Delivery waits for cycles that never come, and the disconnect for the
    // server: the close gives up at its deadline.
    EXPECT_LT(timeOf([&] { EXPECT_EQ(service->close(handle), result::kNoDriver); }), kCloseDeadline + 500ms);

    // With that call still stuck, an open and a re-read give up at once; the
    // re-read keeps the list it had.
    MidiOutHandle second = 9;
    EXPECT_LT(timeOf([&] { EXPECT_EQ(service->open(second, *id), result::kNoDriver); }), 500ms);
    EXPECT_EQ(second, 0u);
    EXPECT_LT(timeOf([&] { service->rescanDevices(); }), 200ms);
    EXPECT_EQ(findDevice(*service, capture->fullName(0)), id);
    EXPECT_LT(timeOf([&] { service.reset(); }), 1s);

    // A new service's listing gives up at its deadline.
    EXPECT_LT(timeOf([&] {
                  auto fresh = midi::createSystemMidiOutService();
                  EXPECT_EQ(fresh->deviceCount(), 0u);
                  fresh.reset();
              }),
              kListingDeadline + 500ms);

    server.resume();
    // The stuck calls come back; the server serves the next service as ever.
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    int opened = result::kNoDriver;
    while (opened != result::kNoError && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(50ms);
        service = midi::createSystemMidiOutService();
        if (const auto again = findDevice(*service, capture->fullName(0))) {
            opened = service->open(handle, *again);
        }
    }
    ASSERT_EQ(opened, result::kNoError);
    EXPECT_EQ(service->sendShortMessage(handle, 0x0009C0), result::kNoError);
    EXPECT_EQ(service->close(handle), result::kNoError);
    EXPECT_EQ(capture->received(0).back(), (MidiBytes{0xC0, 0x09}));
}

// A session whose server died lets its client go without a word to libjack,
// even when the close is the first call after the death: closing that client
// crashes inside libjack once another client has been tried.
TEST_F(midi_private_server_test, a_close_after_the_server_died_leaves_the_dead_client_alone)
{
    ASSERT_TRUE(server.start()) << "jackd did not start for " << serverName;
    midi::backend::JackSession session;
    ASSERT_EQ(session.activate(), result::kNoError);
    server.kill();
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (session.running() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
    }
    ASSERT_FALSE(session.running());
    midi::backend::JackSession other;
    EXPECT_EQ(other.start(), result::kNoDriver);
    session.close();
    EXPECT_TRUE(session.absent());
}

// What was queued for a connection that was never made (its connect
// failed, or the server stalled) never reaches the next device.
// A window takes its callback back before it dies, while the service may be
// calling it on libjack's thread: the take-back waits for that call, and
// nothing is called after it.
TEST_F(midi_integration_test, a_callback_taken_back_has_finished_and_is_never_called_again)
{
    auto service = midi::createSystemMidiOutService();
    std::atomic<int> calls{0};
    std::atomic<bool> inside{false};
    service->setDevicesChangedCallback([&] {
        inside = true;
        std::this_thread::sleep_for(300ms);
        ++calls;
        inside = false;
    });
    service->rescanDevices();
    service->deviceCount();
    const int before = calls;
    JackCapture arriving(uniqueName("arriving"), {"in"});
    const auto limit = std::chrono::steady_clock::now() + 10s;
    while (!inside && calls == before && std::chrono::steady_clock::now() < limit) {
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_TRUE(inside || calls > before) << "no report of the new port";
    service->setDevicesChangedCallback({});
    EXPECT_FALSE(inside);
    const int taken = calls;
    service->rescanDevices();
    service->deviceCount();
    JackCapture later(uniqueName("later"), {"in"});
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(calls, taken);
}

// A rename is news like a port that comes or goes: the window lists again.
TEST_F(midi_integration_test, a_renamed_port_is_reported_and_listed_under_its_new_name)
{
    JackCapture capture(uniqueName("renamed"), {"in"});
    auto service = midi::createSystemMidiOutService();
    std::atomic<int> reports{0};
    service->setDevicesChangedCallback([&] { ++reports; });
    service->rescanDevices();
    ASSERT_TRUE(findDevice(*service, capture.fullName(0)));
    const std::string before = capture.fullName(0);
    const int reported = settleReports(*service, reports);
    ASSERT_TRUE(capture.renamePort(0, "moved"));
    const auto limit = std::chrono::steady_clock::now() + 60s;
    while (reports == reported && std::chrono::steady_clock::now() < limit) {
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_GT(reports, reported) << "no report of the rename";
    service->rescanDevices();
    EXPECT_TRUE(findDevice(*service, capture.fullName(0)));
    EXPECT_FALSE(findDevice(*service, before));
    service->setDevicesChangedCallback({});
}

TEST_F(midi_integration_test, a_new_target_gets_nothing_queued_for_the_one_before)
{
    JackCapture capture(uniqueName("targets"), {"before", "after"});
    midi::backend::JackSession session;
    std::mutex mutex;
    std::condition_variable newsCame;
    int news = 0;
    session.tellConnectionNews([&] {
        std::lock_guard lock(mutex);
        ++news;
        newsCame.notify_all();
    });
    ASSERT_EQ(session.prepare(capture.fullName(0)), result::kNoError);
    const midi::ShortMessageBytes stale[] = {midi::shortMessageBytes(0x0001C0)};
    ASSERT_EQ(session.send(stale), result::kNoError);

    ASSERT_EQ(session.prepare(capture.fullName(1)), result::kNoError);
    ASSERT_EQ(session.connect(), result::kNoError);
    // The connection is seen only through the checks its news asks for.
    std::unique_lock lock(mutex);
    int checked = 0;
    while (session.awaitingConnection() && newsCame.wait_for(lock, 10s, [&] { return news > checked; })) {
        checked = news;
        session.checkConnection();
    }
    lock.unlock();
    ASSERT_FALSE(session.awaitingConnection()) << "no news of the connection in 10 s";
    const midi::ShortMessageBytes fresh[] = {midi::shortMessageBytes(0x0002C0)};
    ASSERT_EQ(session.send(fresh), result::kNoError);
    EXPECT_EQ(session.drain([] {}), result::kNoError);
    session.disconnect();
    session.close();
    EXPECT_EQ(capture.received(1), (std::vector<MidiBytes>{{0xC0, 0x02}}));
    EXPECT_TRUE(capture.received(0).empty());
}

// The ALSA sequencer answers at once: a stalled JACK server, whose calls the
// service gives up on, holds up neither its listing nor its sends, and the
// listing that gives up on JACK keeps the JACK ports it had.
TEST_F(midi_private_server_test, stalled_jack_server_never_holds_up_alsa)
{
    ASSERT_TRUE(server.start()) << "jackd did not start for " << serverName;
    JackCapture capture("stall", {"in"});
    auto fake = std::make_unique<FakeSequencer>();
    fake->ports = {"Synth:In 128:0"};
    FakeSequencer& sequencer = *fake;
    auto held = std::make_shared<std::unique_ptr<midi::backend::AlsaSequencer>>(std::move(fake));
    auto service = midi::backend::createSystemMidiOutService([held](auto& connected) {
        connected = std::move(*held);
        return connected ? result::kNoError : result::kNoDriver;
    });
    const auto jackId = findDevice(*service, capture.fullName(0));
    ASSERT_TRUE(jackId);

    server.pause();
    sequencer.ports = {"Keys:In 129:0", "Synth:In 128:0"};
    EXPECT_LT(timeOf([&] { service->rescanDevices(); }), kListingDeadline + 500ms);
    EXPECT_TRUE(findDevice(*service, capture.fullName(0)));
    const auto alsaId = findDevice(*service, "Synth:In");
    ASSERT_TRUE(alsaId);
    MidiOutHandle handle = 0;
    EXPECT_LT(timeOf([&] {
                  EXPECT_EQ(service->open(handle, *alsaId), result::kNoError);
                  EXPECT_EQ(service->sendShortMessage(handle, 0x0009C0), result::kNoError);
                  EXPECT_EQ(service->close(handle), result::kNoError);
              }),
              200ms);
    EXPECT_EQ(sequencer.sent, (std::vector<MidiBytes>{{0xC0, 0x09}}));
    server.resume();
}

// A switch while the server stalls: the old port gets its All Sound Off
// after what it was sent, and the new port, which could not be opened then,
// is opened and sent the selection when the server runs again.
TEST_F(midi_private_server_test, switch_during_a_stall_completes_when_the_server_resumes)
{
    ASSERT_TRUE(server.start()) << "jackd did not start for " << serverName;
    JackCapture capture("stalled", {"old", "new"});
    PortRig rig;
    const int newPosition = rig.openForSwitch(capture.fullName(0), capture.fullName(1));
    ASSERT_GE(newPosition, 0) << "the capture ports are not both listed, or the first did not open";
    rig.port.setDeviceCount(static_cast<int>(rig.service->deviceCount()));
    rig.port.restoreDeviceSelection(rig.positionOf(capture.fullName(0)), capture.fullName(0));
    rig.select(3, 0, 1);
    rig.selection.sendVoiceSelection();
    ASSERT_TRUE(capture.waitForMessages(0, 3, 5s));

    server.pause();
    rig.list.selectIndex(newPosition);
    rig.port.switchMidiOutDevice();
    EXPECT_NE(rig.port.lastOpenResult(), result::kNoError);
    server.resume();
    EXPECT_TRUE(rig.follow([&] { return capture.received(1).size() >= 3; }, 10s));
    EXPECT_EQ(capture.received(0), (std::vector<MidiBytes>{{0xB0, 0x20, 0x00}, {0xB0, 0x00, 0x00}, {0xC0, 0x02},
                                                           {0xB9, 0x78, 0x00}}));
    EXPECT_EQ(capture.received(1),
              (std::vector<MidiBytes>{{0xB0, 0x20, 0x00}, {0xB0, 0x00, 0x00}, {0xC0, 0x02}}));
}

TEST_F(midi_private_server_test, switch_at_long_periods_delivers_all_sound_off_and_the_selection)
{
    ASSERT_TRUE(server.start(8192)) << "jackd did not start for " << serverName;
    JackCapture capture("long", {"old", "new"});
    PortRig rig;
    const int newPosition = rig.openForSwitch(capture.fullName(0), capture.fullName(1));
    ASSERT_GE(newPosition, 0) << "the capture ports are not both listed, or the first did not open";
    rig.select(3, 0, 1);
    rig.selection.sendVoiceSelection();
    // A user picks the other port about a second later, and closes soon after.
    std::this_thread::sleep_for(1s);
    rig.list.selectIndex(newPosition);
    rig.port.switchMidiOutDevice();
    ASSERT_EQ(rig.port.lastOpenResult(), result::kNoError);
    rig.select(4, 0, 1);
    rig.selection.sendVoiceSelection();
    rig.port.closeMidiOut();

    EXPECT_EQ(capture.received(0), (std::vector<MidiBytes>{{0xB0, 0x20, 0x00}, {0xB0, 0x00, 0x00}, {0xC0, 0x02},
                                                           {0xB9, 0x78, 0x00}}));
    EXPECT_EQ(capture.received(1),
              (std::vector<MidiBytes>{{0xB0, 0x20, 0x00}, {0xB0, 0x00, 0x00}, {0xC0, 0x03}}));
}

// A client whose process callback overruns its cycle while lagging, as any
// client may on a busy machine. While it does, the server holds back graph
// changes, new connections included.
class LateClient {
public:
    explicit LateClient(const std::string& name)
        : client_(jack_client_open(name.c_str(), JackNoStartServer, nullptr))
    {
        if (client_ != nullptr) {
            jack_set_process_callback(client_, &LateClient::process, this);
            period_ = std::chrono::microseconds(std::int64_t{1'000'000} * jack_get_buffer_size(client_) /
                                                jack_get_sample_rate(client_));
            jack_activate(client_);
        }
    }
    ~LateClient()
    {
        if (client_ != nullptr) {
            jack_client_close(client_);
        }
    }
    bool joined() const { return client_ != nullptr; }
    void lag(bool on) { lagging_.store(on, std::memory_order_release); }

private:
    static int process(jack_nframes_t, void* arg)
    {
        auto& self = *static_cast<LateClient*>(arg);
        if (self.lagging_.load(std::memory_order_acquire)) {
            std::this_thread::sleep_for(3 * self.period_);
        }
        return 0;
    }

    jack_client_t* client_;
    std::chrono::microseconds period_{0};
    std::atomic<bool> lagging_{false};
};

TEST_F(midi_integration_test, selection_waits_for_a_connection_that_a_late_client_holds_back)
{
    JackCapture capture(uniqueName("held-back"), {"in"});
    LateClient late(uniqueName("late"));
    ASSERT_TRUE(late.joined());
    PortRig rig;
    rig.port.listMidiOutDevices();
    const int position = rig.positionOf(capture.fullName(0));
    ASSERT_GE(position, 0);
    late.lag(true);
    ASSERT_EQ(rig.port.openMidiOutWithRetries(rig.port.deviceIdTable().at(position)), result::kNoError);
    rig.select(6, 0, 1);
    rig.selection.sendVoiceSelection();
    const bool arrived = capture.waitForMessages(0, 3, 3s);
    late.lag(false);
    rig.port.closeMidiOut();

    EXPECT_TRUE(arrived);
    EXPECT_EQ(capture.received(0), (std::vector<MidiBytes>{{0xB0, 0x20, 0x00}, {0xB0, 0x00, 0x00}, {0xC0, 0x05}}));
}

}  // namespace
}  // namespace tavrelle::testing
