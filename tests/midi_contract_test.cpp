// What every MIDI output service keeps to, held against the test fake the
// port's tests run on and against each real service a test can reach: JACK 2
// on a private server of the suite's own, PipeWire's JACK graph
// (contract_pipewire_test.sh runs the suite there under PipeWire's libjack),
// the kernel's ALSA sequencer (alsa_guest_test.sh runs it in its guest), and
// in the Windows build WinMM (under Wine, tests/windows/contract_test.sh).
// A world drives the system as its devices and the machine would; a case
// that a world cannot show is skipped saying why.
#include "midi/midi_out_service.h"
#include "support/fake_midi_out_service.h"
#include "support/find_device.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include "deadlines.h"
#include "support/jack_capture.h"
#include "support/jack_server.h"

#include <alsa/asoundlib.h>
#include <dlfcn.h>
#include <unistd.h>
#endif

namespace tavrelle::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace result = midi::result;

// Bank Select LSB and MSB 0 and program 6 on channel 2, as short-message words.
const std::vector<std::uint32_t> kSelection{0x0020B1, 0x0000B1, 0x0005C1};

template <typename Done>
bool eventually(Done done, std::chrono::milliseconds limit)
{
    const auto deadline = Clock::now() + limit;
    while (!done() && Clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
    }
    return done();
}

class World {
public:
    virtual ~World() = default;
    virtual midi::MidiOutService& service() = 0;
    // A service made afresh, as at start-up.
    virtual void restartService() = 0;
    // The device named `stem` appears, or returns as a new instance; the
    // name the service lists it under.
    virtual std::string add(const std::string& stem) = 0;
    virtual void remove(const std::string& stem) = 0;
    // What the device's latest instance received, as words.
    virtual std::vector<std::uint32_t> received(const std::string& stem) = 0;
    // The whole MIDI system goes or starts; why not, where this world cannot.
    virtual std::optional<std::string> stopSystem() = 0;
    virtual std::optional<std::string> startSystem() = 0;
    // A service made afresh while the system is absent.
    virtual std::optional<std::string> restartServiceWithoutSystem()
    {
        if (auto why = stopSystem()) {
            return why;
        }
        restartService();
        return std::nullopt;
    }
    // Why devices cannot appear and leave here while the service runs.
    virtual std::optional<std::string> cannotChangeDevices() { return std::nullopt; }
    // How long the service waits before it looks again for an absent system.
    virtual std::chrono::milliseconds absentRetry() { return 0ms; }
};

// The fake as the port's tests drive it: the world tells it what the system
// would tell a real service.
class FakeWorld final : public World {
public:
    midi::MidiOutService& service() override { return *fake_; }
    void restartService() override
    {
        auto fresh = std::make_unique<FakeMidiOutService>();
        fresh->devices = fake_->portsOnNextRescan.value_or(fake_->devices);
        fresh->announceChange = std::move(fake_->announceChange);
        fake_ = std::move(fresh);
    }
    std::string add(const std::string& stem) override
    {
        ports_.push_back(stem);
        since_[stem] = fake_->calls.size();
        changed();
        return stem;
    }
    void remove(const std::string& stem) override
    {
        std::erase(ports_, stem);
        for (const MidiOutHandle handle : fake_->openHandles()) {
            if (fake_->deviceNameOf(handle) == stem) {
                fake_->left.insert(handle);
            }
        }
        changed();
    }
    std::vector<std::uint32_t> received(const std::string& stem) override
    {
        std::vector<std::uint32_t> words;
        std::set<MidiOutHandle> heard;
        for (std::size_t i = since_[stem]; i < fake_->calls.size(); ++i) {
            const ServiceCall& call = fake_->calls[i];
            if (call.kind == ServiceCall::Kind::Open && fake_->deviceNameOf(call.handle) == stem) {
                heard.insert(call.handle);
            } else if (call.kind == ServiceCall::Kind::Send && call.result == result::kNoError &&
                       heard.contains(call.handle)) {
                words.push_back(call.word);
            }
        }
        return words;
    }
    std::optional<std::string> stopSystem() override
    {
        for (const std::string& stem : std::vector(ports_)) {
            remove(stem);
        }
        return std::nullopt;
    }
    std::optional<std::string> startSystem() override
    {
        changed();
        return std::nullopt;
    }

private:
    void changed()
    {
        fake_->portsOnNextRescan = ports_;
        if (fake_->announceChange) {
            fake_->announceChange();
        }
    }

    std::unique_ptr<FakeMidiOutService> fake_ = std::make_unique<FakeMidiOutService>();
    std::vector<std::string> ports_;
    // Where in the fake's calls each device's latest instance appeared.
    std::map<std::string, std::size_t> since_;
};

#ifndef _WIN32
// Where the suite cannot stop and start the system itself, the script that
// runs it can: TAVRELLE_CONTRACT_SYSTEM is a command that takes "stop" or
// "start" and ends once the system has stopped or answers.
void switchSystem(const std::string& how)
{
    const char* command = std::getenv("TAVRELLE_CONTRACT_SYSTEM");
    if (command == nullptr) {
        throw std::runtime_error("TAVRELLE_CONTRACT_SYSTEM names no command to " + how + " the system");
    }
    if (std::system((std::string(command) + " " + how).c_str()) != 0) {
        throw std::runtime_error("the system did not " + how + " (" + command + ")");
    }
}

// The libjack this process loaded, as pw-jack chooses it by the library path.
bool pipeWireJackLoaded()
{
    Dl_info loaded{};
    return dladdr(reinterpret_cast<void*>(&jack_client_open), &loaded) != 0 && loaded.dli_fname != nullptr &&
           std::string(loaded.dli_fname).find("/pipewire-") != std::string::npos;
}

// The service over JACK: a private JACK 2 server of the suite's own, which it
// kills and starts, or PipeWire's graph, which the running script stops and
// starts. Devices are capture clients of the test's own.
class JackWorld final : public World {
public:
    explicit JackWorld(bool ownServer)
    {
        if (ownServer) {
            const char* fixture = std::getenv("JACK_DEFAULT_SERVER");
            const std::string name = std::string(fixture != nullptr ? fixture : "tavrelle-ctest") + "-contract";
            override_.emplace(name);
            server_ = std::make_unique<JackServerProcess>(name);
            started_ = server_->start();
        }
        restartService();
    }
    ~JackWorld() override
    {
        service_.reset();
        devices_.clear();
    }

    bool started() const { return started_; }
    midi::MidiOutService& service() override { return *service_; }
    void restartService() override
    {
        service_.reset();
        service_ = midi::createSystemMidiOutService();
    }
    std::string add(const std::string& stem) override
    {
        devices_[stem].reset();
        devices_[stem] = std::make_unique<JackCapture>(clientName(stem), std::vector<std::string>{"in"});
        return devices_[stem]->fullName(0);
    }
    void remove(const std::string& stem) override { devices_.erase(stem); }
    std::vector<std::uint32_t> received(const std::string& stem) override
    {
        std::vector<std::uint32_t> words;
        const auto device = devices_.find(stem);
        if (device == devices_.end()) {
            return words;
        }
        for (const MidiBytes& bytes : device->second->received(0)) {
            std::uint32_t word = 0;
            for (std::size_t i = 0; i < bytes.size() && i < 3; ++i) {
                word |= std::uint32_t{bytes[i]} << (8 * i);
            }
            words.push_back(word);
        }
        return words;
    }
    std::optional<std::string> stopSystem() override
    {
        if (server_) {
            server_->kill();
        } else {
            switchSystem("stop");
        }
        for (auto& [stem, device] : devices_) {
            EXPECT_TRUE(device->waitUntilServerGone(10s)) << stem << " was not told that its server went";
        }
        devices_.clear();
        return std::nullopt;
    }
    std::optional<std::string> startSystem() override
    {
        if (!server_) {
            switchSystem("start");
            return std::nullopt;
        }
        return server_->start() ? std::nullopt : std::optional<std::string>("jackd did not start again");
    }
    std::chrono::milliseconds absentRetry() override { return midi::backend::kAbsentRetry; }

private:
    static std::string clientName(const std::string& stem) { return stem + "-" + std::to_string(getpid()); }

    std::optional<ServerNameOverride> override_;
    std::unique_ptr<JackServerProcess> server_;
    bool started_ = true;
    std::unique_ptr<midi::MidiOutService> service_;
    std::map<std::string, std::unique_ptr<JackCapture>> devices_;
};

// A sequencer client of the test's own with one writable MIDI port, as a
// module's driver or a software synthesizer offers; what reaches it is read
// back as short-message words.
class AlsaDevice {
public:
    explicit AlsaDevice(const std::string& clientName)
    {
        if (snd_seq_open(&seq_, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK) < 0) {
            throw std::runtime_error("no ALSA sequencer for the device " + clientName);
        }
        snd_seq_set_client_name(seq_, clientName.c_str());
        if (snd_seq_create_simple_port(seq_, "in", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
                                       SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION) < 0 ||
            snd_midi_event_new(16, &decoder_) < 0) {
            snd_seq_close(seq_);
            throw std::runtime_error("cannot make the port of the device " + clientName);
        }
        snd_midi_event_no_status(decoder_, 1);
        name_ = clientName + ":in";
    }
    ~AlsaDevice()
    {
        snd_midi_event_free(decoder_);
        snd_seq_close(seq_);
    }
    AlsaDevice(const AlsaDevice&) = delete;
    AlsaDevice& operator=(const AlsaDevice&) = delete;

    const std::string& name() const { return name_; }
    std::vector<std::uint32_t> received()
    {
        snd_seq_event_t* event = nullptr;
        for (int read = 0; (read = snd_seq_event_input(seq_, &event)) >= 0 || read == -ENOSPC;) {
            unsigned char bytes[3] = {};
            if (read < 0) {
                words_.push_back(0);  // events were lost: no list of words can match
                continue;
            }
            const long size = snd_midi_event_decode(decoder_, bytes, sizeof bytes, event);
            std::uint32_t word = 0;
            for (long i = 0; i < size; ++i) {
                word |= std::uint32_t{bytes[i]} << (8 * i);
            }
            if (size > 0) {
                words_.push_back(word);
            }
        }
        return words_;
    }

private:
    snd_seq_t* seq_ = nullptr;
    snd_midi_event_t* decoder_ = nullptr;
    std::string name_;
    std::vector<std::uint32_t> words_;
};

// The service over the kernel's sequencer. The system can go only while no
// client holds the sequencer open: the kernel keeps its module loaded until
// then, so it goes and starts only with no service running.
class AlsaWorld final : public World {
public:
    AlsaWorld() { restartService(); }
    ~AlsaWorld() override
    {
        service_.reset();
        devices_.clear();
    }

    midi::MidiOutService& service() override { return *service_; }
    void restartService() override
    {
        service_.reset();
        service_ = midi::createSystemMidiOutService();
    }
    std::string add(const std::string& stem) override
    {
        devices_[stem].reset();
        devices_[stem] = std::make_unique<AlsaDevice>(stem + "-" + std::to_string(getpid()));
        return devices_[stem]->name();
    }
    void remove(const std::string& stem) override { devices_.erase(stem); }
    std::vector<std::uint32_t> received(const std::string& stem) override
    {
        const auto device = devices_.find(stem);
        return device == devices_.end() ? std::vector<std::uint32_t>{} : device->second->received();
    }
    std::optional<std::string> stopSystem() override
    {
        return "the kernel keeps its sequencer while the service holds it open";
    }
    std::optional<std::string> startSystem() override
    {
        switchSystem("start");
        return std::nullopt;
    }
    std::optional<std::string> restartServiceWithoutSystem() override
    {
        service_.reset();
        devices_.clear();
        switchSystem("stop");
        restartService();
        return std::nullopt;
    }
    std::chrono::milliseconds absentRetry() override { return midi::backend::kAbsentRetry; }

private:
    std::unique_ptr<midi::MidiOutService> service_;
    std::map<std::string, std::unique_ptr<AlsaDevice>> devices_;
};
#else
// The service over WinMM, whose devices are the machine's drivers': the test
// makes none and cannot stop WinMM. Under Wine they are the kernel
// sequencer's ports, as winealsa found them.
class WinmmWorld final : public World {
public:
    WinmmWorld() { restartService(); }

    midi::MidiOutService& service() override { return *service_; }
    void restartService() override
    {
        service_.reset();
        service_ = midi::createSystemMidiOutService();
    }
    std::string add(const std::string&) override { throw std::logic_error("the test makes no WinMM device"); }
    void remove(const std::string&) override { throw std::logic_error("the test makes no WinMM device"); }
    std::vector<std::uint32_t> received(const std::string&) override
    {
        throw std::logic_error("the test makes no WinMM device");
    }
    std::optional<std::string> stopSystem() override
    {
        if (!underWine()) {
            return "the test cannot stop WinMM";
        }
        return "Wine's winealsa keeps the ports it listed at start-up, whatever becomes of the sequencer";
    }
    std::optional<std::string> startSystem() override { return stopSystem(); }
    std::optional<std::string> restartServiceWithoutSystem() override
    {
        if (!underWine()) {
            return stopSystem();
        }
        return "Wine's winealsa looks for the sequencer once per process, when winmm first loads it: a "
               "sequencer that appears after start-up is never found";
    }
    std::optional<std::string> cannotChangeDevices() override
    {
        if (!underWine()) {
            return "WinMM gives a program no way to make or remove a MIDI output";
        }
        std::string why = "Wine's winealsa lists the sequencer's ports once per process, when winmm first loads "
                          "it: a device that appears or leaves while the service runs is never listed nor "
                          "unlisted, and a send to a port whose client has gone still answers MMSYSERR_NOERROR";
        if (service_->deviceCount() == 0) {
            why += GetFileAttributesW(L"Z:\\dev\\snd\\seq") == INVALID_FILE_ATTRIBUTES
                       ? "; and here it lists no MIDI output at all: this machine has no /dev/snd/seq"
                       : "; and here it lists no MIDI output at all: the sequencer has no port it takes";
        }
        return why;
    }

private:
    static bool underWine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

    std::unique_ptr<midi::MidiOutService> service_;
};
#endif

// Follows the service's reports as the port does: each report lists the
// devices again, and the device followed, when listed, is opened afresh and
// sent the selection once its handle is gone.
class Follower {
public:
    Follower(World& world, std::string name) : world_(world), name_(std::move(name)) { listen(); }
    ~Follower() { world_.service().setDevicesChangedCallback({}); }

    void listen()
    {
        world_.service().setDevicesChangedCallback([reports = reports_] { ++*reports; });
    }
    unsigned reports() const { return *reports_; }
    MidiOutHandle handle() const { return handle_; }
    unsigned sent() const { return sent_; }

    // The first open, once the device has reached the service's list.
    void openAndSendOnceListed()
    {
        auto& service = world_.service();
        eventually(
            [&] {
                service.rescanDevices();
                return findDevice(service, name_).has_value();
            },
            10s);
        openAndSend();
    }
    void openAndSend()
    {
        auto& service = world_.service();
        service.rescanDevices();
        if (const auto id = findDevice(service, name_); id && service.open(handle_, *id) == result::kNoError &&
                                                        service.sendShortMessages(handle_, kSelection) == result::kNoError) {
            ++sent_;
        }
    }
    // Follows the reports for `span`.
    void follow(std::chrono::milliseconds span)
    {
        const auto end = Clock::now() + span;
        do {
            if (*reports_ != seen_) {
                seen_ = *reports_;
                step();
            }
            std::this_thread::sleep_for(2ms);
        } while (Clock::now() < end);
    }
    // Follows the reports until `done`, for `limit` at most.
    template <typename Done>
    bool followUntil(Done done, std::chrono::milliseconds limit)
    {
        const auto deadline = Clock::now() + limit;
        while (!done() && Clock::now() < deadline) {
            follow(5ms);
        }
        return done();
    }

private:
    void step()
    {
        auto& service = world_.service();
        service.rescanDevices();
        const auto id = findDevice(service, name_);
        if (!id || (handle_ != 0 && !service.deviceLeft(handle_))) {
            return;
        }
        service.close(handle_);
        handle_ = 0;
        if (service.open(handle_, *id) == result::kNoError &&
            service.sendShortMessages(handle_, kSelection) == result::kNoError) {
            ++sent_;
        }
    }

    World& world_;
    std::string name_;
    std::shared_ptr<std::atomic<unsigned>> reports_ = std::make_shared<std::atomic<unsigned>>(0);
    unsigned seen_ = 0;
    MidiOutHandle handle_ = 0;
    unsigned sent_ = 0;
};

enum class Service { Fake, Jack, PipeWire, Alsa, Winmm };

// Each service is run where it is reachable: the fake and JACK 2 in the
// quick checks and the suite's own run, PipeWire and ALSA by the scripts
// that start them, WinMM by the Windows build's test under Wine.
class midi_contract_test : public ::testing::TestWithParam<Service> {
protected:
    void SetUp() override
    {
        switch (GetParam()) {
        case Service::Fake:
            world_ = std::make_unique<FakeWorld>();
            break;
#ifdef _WIN32
        case Service::Winmm:
            world_ = std::make_unique<WinmmWorld>();
            break;
        default:
            FAIL() << "not a service of the Windows build";
#else
        case Service::Jack: {
            ASSERT_FALSE(pipeWireJackLoaded()) << "JACK 2's cases run under PipeWire's libjack";
            auto jack = std::make_unique<JackWorld>(true);
            ASSERT_TRUE(jack->started()) << "the suite's private jackd did not start";
            world_ = std::move(jack);
            break;
        }
        case Service::PipeWire:
            ASSERT_TRUE(pipeWireJackLoaded()) << "run by contract_pipewire_test.sh, under PipeWire's libjack";
            world_ = std::make_unique<JackWorld>(false);
            break;
        case Service::Alsa:
            ASSERT_EQ(access("/dev/snd/seq", R_OK | W_OK), 0) << "run in the ALSA guest by alsa_guest_test.sh";
            world_ = std::make_unique<AlsaWorld>();
            break;
        case Service::Winmm:
            FAIL() << "WinMM is the Windows build's";
#endif
        }
    }
    World& world() { return *world_; }

private:
    std::unique_ptr<World> world_;
};

// What needs no device, so that it shows on an empty system too: identifiers
// past the list and handle 0 are refused, before and after a rescan, and a
// callback taken back is not called again.
TEST_P(midi_contract_test, ids_past_the_list_and_handle_0_are_refused)
{
    auto& service = world().service();
    auto reports = std::make_shared<std::atomic<unsigned>>(0);
    service.setDevicesChangedCallback([reports] { ++*reports; });
    for (int rescans = 0; rescans < 2; ++rescans) {
        const unsigned count = service.deviceCount();
        MidiOutHandle none = 0;
        EXPECT_EQ(service.open(none, count), result::kBadDeviceId);
        std::string name;
        EXPECT_EQ(service.deviceName(count, name), result::kBadDeviceId);
        EXPECT_EQ(service.sendShortMessage(0, 0x0001C1), result::kInvalidHandle);
        EXPECT_EQ(service.sendShortMessages(0, kSelection), result::kInvalidHandle);
        EXPECT_EQ(service.close(0), result::kInvalidHandle);
        EXPECT_FALSE(service.deviceLeft(0));
        service.rescanDevices();
    }
    service.setDevicesChangedCallback({});
    const unsigned taken = *reports;
    service.rescanDevices();
    EXPECT_EQ(service.sendShortMessage(0, 0x0001C1), result::kInvalidHandle);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(*reports, taken);
}

TEST_P(midi_contract_test, lists_opens_sends_in_order_and_closes)
{
    if (const auto why = world().cannotChangeDevices()) {
        GTEST_SKIP() << *why;
    }
    const std::string used = world().add("used");
    const std::string other = world().add("other");
    auto& service = world().service();
    // Another client's port reaches the service's list a moment later on
    // PipeWire, as its news does.
    const auto listedUntil = [&](auto done) {
        return eventually(
            [&] {
                service.rescanDevices();
                return done();
            },
            10s);
    };
    ASSERT_TRUE(listedUntil([&] { return findDevice(service, used) && findDevice(service, other); }));
    const auto id = findDevice(service, used);
    MidiOutHandle handle = 0;
    ASSERT_EQ(service.open(handle, *id), result::kNoError);
    EXPECT_NE(handle, 0u);
    EXPECT_FALSE(service.deviceLeft(handle));
    EXPECT_EQ(service.sendShortMessages(handle, kSelection), result::kNoError);
    EXPECT_EQ(service.sendShortMessage(handle, 0x000000), result::kInvalidParam);
    EXPECT_EQ(service.sendShortMessage(handle, 0x0000F0), result::kInvalidParam);
    // Other ports coming and going leave the open one open, and identifiers
    // follow the new list.
    world().remove("other");
    const std::string newcomer = world().add("newcomer");
    ASSERT_TRUE(listedUntil([&] { return !findDevice(service, other) && findDevice(service, newcomer); }));
    const auto newcomerId = findDevice(service, newcomer);
    EXPECT_EQ(service.sendShortMessage(handle, 0x7B78B1), result::kNoError);
    EXPECT_EQ(service.close(handle), result::kNoError);
    EXPECT_EQ(service.sendShortMessage(handle, 0x0001C1), result::kInvalidHandle);
    EXPECT_EQ(service.close(handle), result::kInvalidHandle);

    const std::vector<std::uint32_t> expected{0x0020B1, 0x0000B1, 0x0005C1, 0x7B78B1};
    EXPECT_EQ(world().received("used"), expected);
    // A new open gets a new handle; the old one stays dead.
    const MidiOutHandle first = handle;
    ASSERT_EQ(service.open(handle, *newcomerId), result::kNoError);
    EXPECT_NE(handle, first);
    EXPECT_EQ(service.sendShortMessage(first, 0x0001C1), result::kInvalidHandle);
    EXPECT_EQ(service.sendShortMessage(handle, 0x0012C0), result::kNoError);
    EXPECT_EQ(service.close(handle), result::kNoError);
    EXPECT_EQ(world().received("newcomer"), std::vector<std::uint32_t>{0x0012C0});
}

// However soon the device returns, the handle of its earlier instance is
// gone for good, and a report says so: the follower's new open reaches the
// new instance. Gaps of 0.5 to 1 s meet JACK 2 between reporting the
// disconnection and removing the port.
TEST_P(midi_contract_test, device_that_leaves_and_returns_is_opened_again_and_sent_the_selection)
{
    if (const auto why = world().cannotChangeDevices()) {
        GTEST_SKIP() << *why;
    }
    const std::string listed = world().add("module");
    Follower follower(world(), listed);
    follower.openAndSendOnceListed();
    ASSERT_EQ(follower.sent(), 1u);
    ASSERT_TRUE(eventually([&] { return world().received("module") == kSelection; }, 5s));

    unsigned returns = 0;
    for (const auto gap : {0ms, 200ms, 600ms, 1000ms}) {
        const MidiOutHandle before = follower.handle();
        world().remove("module");
        follower.follow(gap);
        world().add("module");
        ++returns;
        EXPECT_TRUE(follower.followUntil([&] { return world().received("module") == kSelection; }, 10s))
            << "back after " << gap.count() << " ms";
        auto& service = world().service();
        EXPECT_TRUE(service.deviceLeft(before) || service.sendShortMessage(before, 0x0001C1) != result::kNoError);
    }
    EXPECT_EQ(follower.sent(), returns + 1);
}

// A device that restarts under its name faster than the follower can open
// it ends up opened and sent the selection once it stays.
TEST_P(midi_contract_test, device_restarting_in_a_loop_is_reached_once_it_stays)
{
    if (const auto why = world().cannotChangeDevices()) {
        GTEST_SKIP() << *why;
    }
    const std::string listed = world().add("looping");
    Follower follower(world(), listed);
    follower.openAndSendOnceListed();
    for (const auto period : {10ms, 50ms}) {
        for (int restart = 0; restart < 10; ++restart) {
            world().remove("looping");
            follower.follow(period / 2);
            world().add("looping");
            follower.follow(period / 2);
        }
        EXPECT_TRUE(follower.followUntil([&] { return world().received("looping") == kSelection; }, 10s))
            << "restarting every " << period.count() << " ms";
    }
}

// The system going is reported and fails the handle; once it is back the
// device in use is opened there and sent the selection.
TEST_P(midi_contract_test, system_that_goes_and_comes_back_serves_the_device_again)
{
    if (const auto why = world().cannotChangeDevices()) {
        GTEST_SKIP() << *why;
    }
    const std::string listed = world().add("survivor");
    Follower follower(world(), listed);
    follower.openAndSendOnceListed();
    ASSERT_EQ(follower.sent(), 1u);
    // The news of the connection is told and listed first: a burst is told
    // once, until the receiver lists again.
    follower.follow(500ms);
    const unsigned reports = follower.reports();
    if (const auto why = world().stopSystem()) {
        GTEST_SKIP() << *why;
    }
    ASSERT_TRUE(eventually([&] { return follower.reports() > reports; }, 10s));
    auto& service = world().service();
    const MidiOutHandle handle = follower.handle();
    EXPECT_TRUE(eventually(
        [&] { return service.deviceLeft(handle) || service.sendShortMessage(handle, 0x0001C1) != result::kNoError; },
        10s));

    ASSERT_EQ(world().startSystem(), std::nullopt);
    world().add("survivor");
    EXPECT_TRUE(follower.followUntil([&] { return world().received("survivor") == kSelection; }, 15s));
}

// A system absent at start-up and started after the service's first look
// for it is found by a later look and reported.
TEST_P(midi_contract_test, system_that_appears_after_start_up_is_reported)
{
    if (const auto why = world().restartServiceWithoutSystem()) {
        GTEST_SKIP() << *why;
    }
    auto& service = world().service();
    EXPECT_EQ(service.deviceCount(), 0u);
    std::atomic<unsigned> reports{0};
    service.setDevicesChangedCallback([&] { ++reports; });
    service.rescanDevices();
    reports = 0;
    const auto retry = world().absentRetry();
    if (retry > 0ms) {
        std::this_thread::sleep_for(retry + 1s);
    }
    ASSERT_EQ(world().startSystem(), std::nullopt);
    EXPECT_TRUE(eventually([&] { return reports > 0; }, retry + 5s));
    const std::string listed = world().add("later");
    service.rescanDevices();
    EXPECT_TRUE(findDevice(service, listed));
    service.setDevicesChangedCallback({});
}

#ifdef _WIN32
const auto kServices = ::testing::Values(Service::Fake, Service::Winmm);
#else
const auto kServices = ::testing::Values(Service::Fake, Service::Jack, Service::PipeWire, Service::Alsa);
#endif
INSTANTIATE_TEST_SUITE_P(services, midi_contract_test, kServices, [](const auto& info) -> std::string {
    switch (info.param) {
    case Service::Fake: return "fake";
    case Service::Jack: return "jack";
    case Service::PipeWire: return "pipewire";
    case Service::Alsa: return "alsa";
    case Service::Winmm: break;
    }
    return "winmm";
});

}  // namespace
}  // namespace tavrelle::testing
