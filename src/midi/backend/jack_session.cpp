#include "jack_session.h"

#include "deadlines.h"
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
#include <optional>
#include <thread>

namespace tavrelle::midi::backend {

namespace {

using namespace std::chrono_literals;

constexpr const char* kClientName = "tavrelle";
constexpr const char* kPortName = "out";

// A new connection joins the running graph only at the start of a cycle that
// follows a finished one, so a client that is late anywhere on the server
// holds it back, and what the process callback writes before is lost. Queued
// messages wait until the graph is seen to carry the connection, and then
// kConnectCycles more (a server may report a link a little ahead of its
// data); the look is repeated every kWatchPause, and given up after
// kWatchLimit, so that a server that never reports the connection does not
// keep every message back for good.
constexpr std::uint64_t kConnectCycles = 2;
constexpr Milliseconds kWatchPause = 5ms;
constexpr Milliseconds kWatchLimit = 2000ms;
// A close stops waiting for delivery once this many cycles ran with the
// queue let out; a stalled server runs none, and is waited for.
constexpr std::uint64_t kDrainCycles = 8;
// Room for a minute of held-down keys' selections before the oldest give way.
constexpr std::size_t kQueueGroups = 240;

void ignoreJackMessage(const char*) {}

}  // namespace

// What libjack's own threads touch: the process and shut-down callbacks.
struct JackSession::State {
    jack_client_t* client = nullptr;
    jack_port_t* port = nullptr;
    // The session's flag, which outlives it, as libjack may call late.
    std::shared_ptr<std::atomic<bool>> serverGone;
    std::function<void()> changed;
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
    state.serverGone->store(true, std::memory_order_release);
    if (state.changed) {
        state.changed();
    }
}

void onServerGoneWithReason(jack_status_t, const char*, void* arg)
{
    onServerGone(arg);
}

void onPortRegistered(jack_port_id_t, int, void* arg)
{
    if (const auto& changed = static_cast<State*>(arg)->changed) {
        changed();
    }
}

void onPortConnected(jack_port_id_t, jack_port_id_t, int, void* arg)
{
    onPortRegistered(0, 0, arg);
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
    if (serverGone_->load(std::memory_order_acquire)) {
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
    deviceLeft_.store(true, std::memory_order_relaxed);
    ready_.store(false, std::memory_order_relaxed);
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
    state->serverGone = serverGone_;
    state->changed = changed_;
    // JACK 2's libjack calls the second, PipeWire's only the first.
    jack_on_shutdown(state->client, &onServerGone, state);
    jack_on_info_shutdown(state->client, &onServerGoneWithReason, state);
    jack_set_port_registration_callback(state->client, &onPortRegistered, state);
    jack_set_port_connect_callback(state->client, &onPortConnected, state);
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
    if (jack_set_process_callback(state.client, &process, &state) != 0 ||
        (state.port = jack_port_register(state.client, kPortName, JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0)) ==
            nullptr ||
        jack_activate(state.client) != 0) {
        const bool gone = serverGone_->load(std::memory_order_acquire);
        close();
        return resultOf(gone ? Failure::noServer : Failure::refused);
    }
    ready_.store(true, std::memory_order_relaxed);
    return result::kNoError;
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
    // A device that left and came back, however briefly, is not connected
    // any more, and has forgotten what it was sent.
    if (connectionSeen_ && state_ != nullptr && jack_port_connected_to(state_->port, target_.c_str()) <= 0) {
        deviceLeft_.store(true, std::memory_order_relaxed);
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
    connectionSeen_ = false;
    deviceLeft_.store(false, std::memory_order_relaxed);
    return result::kNoError;
}

int JackSession::connect()
{
    if (!usable() || target_.empty()) {
        return resultOf(Failure::noServer);
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
    connectionSeen_ = jack_port_connected_to(state_->port, target_.c_str()) > 0;
    if (connectionSeen_ || std::chrono::steady_clock::now() >= watchGivesUp_) {
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
// since waits for nothing. A stalled server is waited for, so that what was
// sent reaches the device, in order, when it runs again.
int JackSession::drain(const std::function<void()>& stalled)
{
    if (!usable()) {
        return resultOf(Failure::noServer);
    }
    SelectionQueue& queue = state_->queue;
    std::optional<std::uint64_t> letOut;
    std::uint64_t lastCycles = queue.cycles();
    auto lastProgress = std::chrono::steady_clock::now();
    bool stallTold = false;
    bool delivered = queue.held() && queue.settled();
    while (!delivered && !serverGone_->load(std::memory_order_acquire)) {
        if (queue.held()) {
            // Held back with no connection that will let it out.
            if (!watchConnection() && queue.held()) {
                break;
            }
        } else if (!letOut) {
            letOut = queue.cycles();
        }
        delivered = queue.delivered();
        if (delivered || (letOut && queue.cycles() - *letOut >= kDrainCycles)) {
            break;
        }
        const auto now = std::chrono::steady_clock::now();
        if (queue.cycles() != lastCycles) {
            lastCycles = queue.cycles();
            lastProgress = now;
        } else if (!stallTold && now - lastProgress >= kStallNoticed) {
            stallTold = true;
            stalled();
        }
        std::this_thread::sleep_for(kWatchPause);
    }
    queue.hold();
    if (serverGone_->load(std::memory_order_acquire)) {
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
    // A client whose server went is only forgotten, by usable().
    if (usable()) {
        jack_client_close(state_->client);
        delete std::exchange(state_, nullptr);
    }
    target_.clear();
    ready_.store(false, std::memory_order_relaxed);
}

}  // namespace tavrelle::midi::backend
