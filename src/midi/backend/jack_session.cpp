#include "jack_session.h"

#include "selection_queue.h"

#include "midi/midi_out_service.h"

#include <jack/jack.h>
#include <jack/midiport.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

namespace tavrelle::midi::backend {

namespace {

using namespace std::chrono_literals;

constexpr const char* kClientName = "tavrelle";
constexpr const char* kPortName = "out";

// Deadlines of the calls that wait for the server: a healthy one answers an
// open or a listing in tens of milliseconds, a stalled one never. Graph
// changes (registration, activation, connection) and closing wait for
// cycles, so theirs grow with the period. A start-up against a stalled server
// shows its first message within 6 s (the listing waits kClientOpen +
// kListPorts at most) and its window within 6 s of the last message box (the
// open attempts fail at once while that call is still stuck).
constexpr Milliseconds kClientOpen = 1000ms;
constexpr Milliseconds kListPorts = 250ms;
constexpr Milliseconds kPortSteps = 1000ms;
constexpr int kPortStepsPeriods = 8;
constexpr Milliseconds kClientClose = 250ms;
constexpr int kClientClosePeriods = 3;

// A disconnect waits for delivery at most this many periods, within these
// bounds, and stops waiting for a server that has run no cycle for two
// periods and the margin.
constexpr int kDrainPeriods = 6;
constexpr Milliseconds kDrainFloor = 100ms;
constexpr Milliseconds kDrainCeiling = 2000ms;
constexpr Milliseconds kStallMargin = 50ms;

// A new connection joins the running graph only at the start of a cycle that
// follows a finished one, so a client that is late anywhere on the server
// holds it back, and what the process callback writes before is lost. Queued
// messages wait until the graph is seen to carry the connection, and then
// kConnectCycles more (a server may report a link a little ahead of its
// data); the look is repeated every period within these bounds, and given up
// after kWatchLimit, so that a server that never reports the connection does
// not keep every message back for good.
constexpr std::uint64_t kConnectCycles = 2;
constexpr Milliseconds kWatchPauseFloor = 1ms;
constexpr Milliseconds kWatchPauseCeiling = 20ms;
constexpr Milliseconds kWatchLimit = 2000ms;
// Room for a minute of held-down keys' selections before the oldest give way.
constexpr std::size_t kQueueGroups = 240;

void ignoreJackMessage(const char*) {}

}  // namespace

// What libjack's own threads touch: the process and shut-down callbacks.
struct JackSession::State {
    jack_client_t* client = nullptr;
    jack_port_t* port = nullptr;
    std::atomic<bool> serverGone{false};
    // The session's own flag, read by the sending thread.
    std::shared_ptr<std::atomic<bool>> sessionServerGone;
    std::atomic<std::uint32_t> periodFrames{0};
    std::uint32_t sampleRate = 48000;
    SelectionQueue queue{kQueueGroups};
};

namespace {

using State = JackSession::State;

// Kept reachable for the life of the process, as libjack may still call into
// it; a deliberate leak, and not one a leak checker should report.
void keepForever(State* state)
{
    static std::mutex mutex;
    static auto* kept = new std::vector<State*>;
    std::lock_guard lock(mutex);
    try {
        kept->push_back(state);
    } catch (const std::bad_alloc&) {
    }
}

void onServerGone(void* arg)
{
    auto& state = *static_cast<State*>(arg);
    state.serverGone.store(true, std::memory_order_release);
    state.sessionServerGone->store(true, std::memory_order_release);
}

void onServerGoneWithReason(jack_status_t, const char*, void* arg)
{
    onServerGone(arg);
}

int onPeriodChanged(jack_nframes_t frames, void* arg)
{
    static_cast<State*>(arg)->periodFrames.store(frames, std::memory_order_relaxed);
    return 0;
}

int process(jack_nframes_t frames, void* arg)
{
    auto& state = *static_cast<State*>(arg);
    void* buffer = jack_port_get_buffer(state.port, frames);
    jack_midi_clear_buffer(buffer);
    state.queue.runCycle(
        [&](const unsigned char* bytes, std::size_t size) { return jack_midi_event_write(buffer, 0, bytes, size) == 0; });
    return 0;
}

bool isMidiInput(jack_port_t* port)
{
    return port != nullptr && (jack_port_flags(port) & JackPortIsInput) != 0 &&
           std::strcmp(jack_port_type(port), JACK_DEFAULT_MIDI_TYPE) == 0;
}

}  // namespace

void JackSession::silence()
{
    static std::once_flag once;
    std::call_once(once, [] {
        jack_set_error_function(&ignoreJackMessage);
        jack_set_info_function(&ignoreJackMessage);
    });
}

int JackSession::resultOf(Failure failure)
{
    switch (failure) {
    case Failure::noServer: return result::kNoDriver;
    case Failure::portGone: return result::kBadDeviceId;
    case Failure::invalid: return result::kInvalidParam;
    case Failure::noMemory: return result::kNoMemory;
    case Failure::refused: break;
    }
    return result::kError;
}

bool JackSession::usable()
{
    if (state_ == nullptr) {
        return false;
    }
    const auto frames = state_->periodFrames.load(std::memory_order_relaxed);
    periodNanos_.store(std::int64_t{1'000'000'000} * frames / std::max<std::uint32_t>(state_->sampleRate, 1),
                       std::memory_order_relaxed);
    if (state_->serverGone.load(std::memory_order_acquire)) {
        // Closing a client whose server died crashes inside libjack once
        // another client has been tried.
        abandon();
        return false;
    }
    return true;
}

void JackSession::abandon()
{
    if (state_ != nullptr) {
        keepForever(std::exchange(state_, nullptr));
    }
    target_.clear();
    stage_.store(Stage::none, std::memory_order_relaxed);
}

int JackSession::open()
{
    if (usable()) {
        return result::kNoError;
    }
    State* state = nullptr;
    try {
        state = new State;
    } catch (const std::bad_alloc&) {
        return resultOf(Failure::noMemory);
    }
    jack_status_t status{};
    state->client = jack_client_open(kClientName, JackNoStartServer, &status);
    if (state->client == nullptr) {
        delete state;
        const bool noServer =
            (status & (JackServerFailed | JackServerError | JackVersionError | JackShmFailure)) != 0;
        return resultOf(noServer ? Failure::noServer : Failure::refused);
    }
    state_ = state;
    serverGone_->store(false, std::memory_order_release);
    state->sessionServerGone = serverGone_;
    // JACK 2's libjack calls the second, PipeWire's only the first.
    jack_on_shutdown(state->client, &onServerGone, state);
    jack_on_info_shutdown(state->client, &onServerGoneWithReason, state);
    state->periodFrames.store(jack_get_buffer_size(state->client));
    state->sampleRate = jack_get_sample_rate(state->client);
    stage_.store(Stage::opened, std::memory_order_relaxed);
    return result::kNoError;
}

int JackSession::start()
{
    if (const int opened = open(); opened != result::kNoError) {
        return opened;
    }
    if (state_->port != nullptr) {
        return result::kNoError;
    }
    State& state = *state_;
    state.queue.lockMemory();
    if (jack_set_process_callback(state.client, &process, &state) != 0 ||
        jack_set_buffer_size_callback(state.client, &onPeriodChanged, &state) != 0 ||
        (state.port = jack_port_register(state.client, kPortName, JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0)) ==
            nullptr) {
        return fail();
    }
    stage_.store(Stage::ready, std::memory_order_relaxed);
    return result::kNoError;
}

int JackSession::activate()
{
    if (stage_.load(std::memory_order_relaxed) == Stage::active) {
        return result::kNoError;
    }
    if (jack_activate(state_->client) != 0) {
        return fail();
    }
    stage_.store(Stage::active, std::memory_order_relaxed);
    return result::kNoError;
}

int JackSession::fail()
{
    const bool gone = state_->serverGone.load(std::memory_order_acquire);
    close();
    return resultOf(gone ? Failure::noServer : Failure::refused);
}

std::vector<std::string> JackSession::midiInputPorts()
{
    std::vector<std::string> names;
    const std::unique_ptr<const char*, void (*)(void*)> ports(
        usable() ? jack_get_ports(state_->client, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput) : nullptr,
        &jack_free);
    for (const char** port = ports.get(); port != nullptr && *port != nullptr; ++port) {
        names.emplace_back(*port);
    }
    return names;
}

int JackSession::prepare(const std::string& target)
{
    if (const int started = start(); started != result::kNoError) {
        return started;
    }
    // Checked before anything changes, so a port that is gone leaves no
    // trace on the server.
    if (!isMidiInput(jack_port_by_name(state_->client, target.c_str()))) {
        return resultOf(Failure::portGone);
    }
    // Nothing queued for an earlier connection goes to this one.
    state_->queue.dropAll();
    target_ = target;
    return result::kNoError;
}

int JackSession::connect()
{
    if (!usable() || target_.empty()) {
        return resultOf(Failure::noServer);
    }
    if (const int active = activate(); active != result::kNoError) {
        return active;
    }
    const int linked = jack_connect(state_->client, jack_port_name(state_->port), target_.c_str());
    watchGivesUp_ = std::chrono::steady_clock::now() + kWatchLimit;
    if (!usable()) {
        return resultOf(Failure::noServer);
    }
    if (linked != 0 && linked != EEXIST) {
        // The port left in between: what is sent goes nowhere, as to any
        // port that leaves while it is open.
        target_.clear();
        return resultOf(Failure::portGone);
    }
    return result::kNoError;
}

// libjack answers this off the process thread from the graph in shared
// memory, waiting a period at most for a change that is pending, never for
// the server.
bool JackSession::watchConnection()
{
    if (!usable() || target_.empty()) {
        return false;
    }
    if (jack_port_connected_to(state_->port, target_.c_str()) > 0 ||
        std::chrono::steady_clock::now() >= watchGivesUp_) {
        state_->queue.openAfter(kConnectCycles);
        return false;
    }
    return true;
}

int JackSession::send(std::span<const ShortMessageBytes> messages)
{
    if (!usable()) {
        return resultOf(Failure::noServer);
    }
    return state_->queue.push(messages) ? result::kNoError : resultOf(Failure::invalid);
}

// Delivered means handed to the server, with the cycle that carried the last
// of it ended, counted in the client's own cycles; a port that has been idle
// since waits for nothing.
int JackSession::drain()
{
    if (!usable()) {
        return resultOf(Failure::noServer);
    }
    SelectionQueue& queue = state_->queue;
    const auto period = std::chrono::ceil<Milliseconds>(this->period());
    const auto limit = std::clamp(kDrainPeriods * period, kDrainFloor, kDrainCeiling);
    const auto stallAfter = std::max(2 * period + kStallMargin, kDrainFloor);
    const auto start = std::chrono::steady_clock::now();
    auto lastProgress = start;
    std::uint64_t lastCycles = queue.cycles();
    bool delivered = queue.held() && queue.settled();
    while (!delivered && !state_->serverGone.load(std::memory_order_acquire)) {
        if (queue.held()) {
            watchConnection();
        }
        delivered = queue.delivered();
        const auto now = std::chrono::steady_clock::now();
        if (const std::uint64_t cycles = queue.cycles(); cycles != lastCycles) {
            lastCycles = cycles;
            lastProgress = now;
        }
        if (delivered || now - start >= limit || now - lastProgress >= stallAfter) {
            break;
        }
        std::this_thread::sleep_for(1ms);
    }
    queue.hold();
    if (state_->serverGone.load(std::memory_order_acquire)) {
        return resultOf(Failure::noServer);
    }
    return delivered ? result::kNoError : resultOf(Failure::refused);
}

void JackSession::disconnect()
{
    if (usable() && !target_.empty()) {
        jack_disconnect(state_->client, jack_port_name(state_->port), target_.c_str());
    }
    target_.clear();
}

void JackSession::close()
{
    if (state_ == nullptr) {
        return;
    }
    if (!state_->serverGone.load(std::memory_order_acquire)) {
        jack_client_close(state_->client);
        delete std::exchange(state_, nullptr);
    } else {
        abandon();
    }
    target_.clear();
    stage_.store(Stage::none, std::memory_order_relaxed);
}

Milliseconds JackSession::listLimit() const
{
    return (stage_.load(std::memory_order_relaxed) != Stage::none ? 0ms : kClientOpen) + kListPorts;
}

Milliseconds JackSession::connectLimit() const
{
    const auto portSteps = kPortSteps + std::chrono::ceil<Milliseconds>(kPortStepsPeriods * period());
    const Stage stage = stage_.load(std::memory_order_relaxed);
    return (stage >= Stage::ready ? 0ms : portSteps + (stage == Stage::opened ? 0ms : kClientOpen)) + portSteps;
}

Milliseconds JackSession::disconnectLimit() const
{
    const auto period = std::chrono::ceil<Milliseconds>(this->period());
    return std::clamp(kDrainPeriods * period, kDrainFloor, kDrainCeiling) + closeLimit();
}

Milliseconds JackSession::closeLimit() const
{
    return kClientClose + std::chrono::ceil<Milliseconds>(kClientClosePeriods * period());
}

Milliseconds JackSession::watchPause() const
{
    return std::clamp(std::chrono::ceil<Milliseconds>(period()), kWatchPauseFloor, kWatchPauseCeiling);
}

}  // namespace tavrelle::midi::backend
