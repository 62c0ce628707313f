#include "jack_session.h"

#include "deadlines.h"
#include "pipewire_jack.h"
#include "selection_queue.h"

#include "midi/midi_out_service.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>
#include <utility>

namespace tavrelle::midi::backend {

namespace {


// A new connection joins the running graph only at a cycle that follows a
// finished one, so a late client anywhere holds it back and what is written
// before is lost. Queued messages wait until the graph carries it, and then
// kConnectCycles more (a server may report a link a little ahead of its data).
constexpr std::uint64_t kConnectCycles = 2;
// Room for a minute of held-down keys' selections before the oldest give way.
constexpr std::size_t kQueueGroups = 240;

}  // namespace

struct JackSession::State {
    const JackLibrary* jack = nullptr;  // the libjack the client was opened through
    jack_client_t* client = nullptr;
    jack_port_t* port = nullptr;
    bool active = false;
    std::shared_ptr<std::atomic<bool>> serverGone;
    std::function<void()> changed;
    std::function<void()> connectionNews;
    // Set before the connection is asked for, so that news during the call count.
    std::atomic<bool> awaitingConnection{false};
    // Seen in the graph and not let go of by us: news may be of its loss.
    std::atomic<bool> holdingConnection{false};
    SelectionQueue queue{kQueueGroups};
    State* nextKept = nullptr;
};

namespace {

using State = JackSession::State;

// libjack may still call into it: a deliberate leak, not one to report.
void keepForever(State* state)
{
    static std::mutex mutex;
    static State* kept = nullptr;
    std::lock_guard lock(mutex);
    state->nextKept = std::exchange(kept, state);
}

void tellChanged(void* arg)
{
    if (const auto& changed = static_cast<State*>(arg)->changed) {
        changed();
    }
}

// Every connection's news, and every change of the running graph's order,
// which JACK 2 tells once a cycle has taken a new connection: the check
// reads which connections the graph carries.
void onGraphNews(void* arg)
{
    const auto& state = *static_cast<State*>(arg);
    if ((state.awaitingConnection.load(std::memory_order_acquire) ||
         state.holdingConnection.load(std::memory_order_acquire)) &&
        state.connectionNews) {
        state.connectionNews();
    }
}

void onServerGone(void* arg)
{
    static_cast<State*>(arg)->serverGone->store(true, std::memory_order_release);
    tellChanged(arg);
}

int process(jack_nframes_t frames, void* arg)
{
    auto& state = *static_cast<State*>(arg);
    void* buffer = state.jack->port_get_buffer(state.port, frames);
    state.jack->midi_clear_buffer(buffer);
    state.queue.runCycle(frames, [&](const unsigned char* bytes, std::size_t size) {
        return state.jack->midi_event_write(buffer, 0, bytes, size) == 0;
    });
    return 0;
}

bool isMidiInput(const JackLibrary& jack, jack_port_t* port)
{
    return port != nullptr && (jack.port_flags(port) & JackPortIsInput) != 0 &&
           std::strcmp(jack.port_type(port), JACK_DEFAULT_MIDI_TYPE) == 0;
}

}  // namespace

bool JackSession::keepLiveClient()
{
    if (state_ == nullptr || !serverGone_->load(std::memory_order_acquire)) {
        return state_ != nullptr;
    }
    // PipeWire's libjack lets go of a dead client's threads and descriptors
    // only when it is closed; JACK 2's crashes closing one.
    if (state_->jack->pipeWire) {
        state_->jack->client_close(state_->client);
        delete std::exchange(state_, nullptr);
    }
    abandon();
    return false;
}

void JackSession::lose()
{
    deviceLeft_.store(true, std::memory_order_relaxed);
    if (changed_) {
        changed_();
    }
}

void JackSession::abandon()
{
    if (state_ != nullptr) {
        keepForever(std::exchange(state_, nullptr));
    }
    target_.clear();
    deviceLeft_.store(true, std::memory_order_relaxed);
}

int JackSession::open()
{
    if (keepLiveClient()) {
        return result::kNoError;
    }
    const JackLibrary* jack = jackLibraryToOpen();
    if (jack == nullptr) {
        return result::kNoDriver;
    }
    State* state = nullptr;
    try {
        state = new State;
    } catch (const std::bad_alloc&) {
        return result::kNoMemory;
    }
    state->jack = jack;
    jack_status_t status{};
    state->client = jack->client_open("tavrelle", JackNoStartServer, &status);
    if (state->client == nullptr) {
        delete state;
        const bool noServer = (status & (JackServerFailed | JackServerError | JackVersionError | JackShmFailure)) != 0;
        return noServer ? result::kNoDriver : result::kError;
    }
    state_ = state;
    // A connection made on a server that has gone since is gone with it,
    // however the dead client was let go of.
    if (serverGone_->exchange(false, std::memory_order_acq_rel)) {
        deviceLeft_.store(true, std::memory_order_relaxed);
    }
    state->serverGone = serverGone_;
    state->changed = changed_;
    // JACK 2's libjack calls the second, PipeWire's only the first.
    jack->on_shutdown(state->client, &onServerGone, state);
    jack->on_info_shutdown(state->client, [](jack_status_t, const char*, void* arg) { onServerGone(arg); }, state);
    jack->set_port_registration_callback(state->client, [](jack_port_id_t, int, void* arg) { tellChanged(arg); }, state);
    jack->set_port_connect_callback(
        state->client,
        [](jack_port_id_t, jack_port_id_t, int, void* arg) {
            tellChanged(arg);
            onGraphNews(arg);
        },
        state);
    jack->set_port_rename_callback(
        state->client, [](jack_port_id_t, const char*, const char*, void* arg) { tellChanged(arg); }, state);
    return result::kNoError;
}

int JackSession::start()
{
    if (const int opened = open(); opened != result::kNoError || state_->port != nullptr) {
        return opened;
    }
    State& state = *state_;
    state.connectionNews = connectionNews_;
    if (state.jack->set_process_callback(state.client, &process, &state) != 0 ||
        state.jack->set_graph_order_callback(
            state.client,
            [](void* arg) {
                onGraphNews(arg);
                return 0;
            },
            &state) != 0 ||
        (state.port = state.jack->port_register(state.client, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0)) ==
            nullptr) {
        return failed();
    }
    return result::kNoError;
}

int JackSession::activate()
{
    if (const int started = start(); started != result::kNoError || state_->active) {
        return started;
    }
    if (state_->jack->activate(state_->client) != 0) {
        return failed();
    }
    state_->active = true;
    return result::kNoError;
}

bool JackSession::active() const
{
    return state_ != nullptr && state_->active;
}

int JackSession::failed()
{
    const bool gone = !running();
    close();
    return gone ? result::kNoDriver : result::kError;
}

std::vector<std::string> JackSession::midiInputPorts()
{
    std::vector<std::string> names;
    const JackLibrary* jack = open() == result::kNoError ? state_->jack : nullptr;
    const std::unique_ptr<const char*, void (*)(void*)> ports(
        jack != nullptr ? jack->get_ports(state_->client, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput) : nullptr,
        jack != nullptr ? jack->free : nullptr);
    for (const char** port = ports.get(); port != nullptr && *port != nullptr; ++port) {
        names.emplace_back(*port);
    }
    // A device that left and came back, however briefly, is connected
    // nowhere and has forgotten what it was sent; one not listed left, maybe
    // before the connection was seen. A renamed one stays connected.
    if (!target_.empty() && state_ != nullptr && state_->jack->port_connected(state_->port) <= 0 &&
        (connectionSeen_ || std::find(names.begin(), names.end(), target_) == names.end())) {
        deviceLeft_.store(true, std::memory_order_relaxed);
    }
    return names;
}

int JackSession::prepare(const std::string& target)
{
    if (const int started = start(); started != result::kNoError) {
        return started;
    }
    if (!isMidiInput(*state_->jack, state_->jack->port_by_name(state_->client, target.c_str()))) {
        return result::kBadDeviceId;
    }
    // Nothing queued for an earlier connection goes to this one.
    state_->queue.dropAll();
    state_->awaitingConnection.store(false, std::memory_order_release);
    state_->holdingConnection.store(false, std::memory_order_release);
    target_ = target;
    connectionSeen_ = false;
    deviceLeft_.store(false, std::memory_order_relaxed);
    return result::kNoError;
}

int JackSession::connect()
{
    if (!keepLiveClient() || target_.empty()) {
        return result::kNoDriver;
    }
    if (const int activated = activate(); activated != result::kNoError) {
        target_.clear();
        return activated;
    }
    state_->awaitingConnection.store(true, std::memory_order_release);
    const int linked = state_->jack->connect(state_->client, state_->jack->port_name(state_->port), target_.c_str());
    if (!keepLiveClient()) {
        return result::kNoDriver;
    }
    if (linked != 0 && linked != EEXIST) {
        // The port left after the open answered (JACK 2 reports a client's
        // disconnection before removing the port): lost, so its return reopens.
        state_->awaitingConnection.store(false, std::memory_order_release);
        target_.clear();
        lose();
        return result::kBadDeviceId;
    }
    const std::uint64_t rate = state_->jack->get_sample_rate(state_->client);
    state_->queue.openAtLatestAfterFrames(rate * kConnectionNewsLimit.count() / 1000);
    // A connection there before brings no news.
    lookForConnection();
    return result::kNoError;
}

void JackSession::checkConnection()
{
    if (!keepLiveClient()) {
        return;
    }
    lookForConnection();
    // The device went with its connection. A listing would see that too, but
    // PipeWire's graph may still show the link while it tells of its loss,
    // and no news may follow the listing the window makes then.
    if (state_->holdingConnection.load(std::memory_order_acquire) && state_->jack->port_connected(state_->port) <= 0) {
        state_->holdingConnection.store(false, std::memory_order_release);
        lose();
    }
}

void JackSession::lookForConnection()
{
    if (state_->awaitingConnection.load(std::memory_order_acquire) && !target_.empty() &&
        state_->jack->port_connected_to(state_->port, target_.c_str()) > 0) {
        connectionSeen_ = true;
        state_->awaitingConnection.store(false, std::memory_order_release);
        state_->holdingConnection.store(true, std::memory_order_release);
        state_->queue.openAfter(kConnectCycles);
    }
}

bool JackSession::awaitingConnection() const
{
    return state_ != nullptr && state_->awaitingConnection.load(std::memory_order_acquire);
}

int JackSession::send(std::span<const ShortMessageBytes> messages)
{
    if (!keepLiveClient()) {
        return result::kNoDriver;
    }
    return state_->queue.push(messages) ? result::kNoError : result::kInvalidParam;
}

int JackSession::drain(const std::function<void()>& stalled)
{
    if (!keepLiveClient()) {
        return result::kNoDriver;
    }
    SelectionQueue& queue = state_->queue;
    std::uint64_t lastCycles = queue.cycles();
    auto lastProgress = std::chrono::steady_clock::now();
    bool stallTold = false;
    while (!queue.delivered() && running()) {
        // The connection's news waits behind this close on the MIDI thread.
        lookForConnection();
        // Held back with no connection that will let it out.
        if (queue.held()) {
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
        std::this_thread::sleep_for(kDeliveryLookPause);
    }
    const bool delivered = queue.delivered();
    queue.hold();
    if (!running()) {
        return result::kNoDriver;
    }
    return delivered ? result::kNoError : result::kError;
}

void JackSession::disconnect()
{
    // By our port, not the target's name, which may have changed meanwhile.
    if (keepLiveClient() && !target_.empty()) {
        state_->awaitingConnection.store(false, std::memory_order_release);
        state_->holdingConnection.store(false, std::memory_order_release);
        state_->jack->port_disconnect(state_->client, state_->port);
    }
    target_.clear();
}

void JackSession::close()
{
    if (keepLiveClient()) {
        state_->jack->client_close(state_->client);
        delete std::exchange(state_, nullptr);
    }
    target_.clear();
}

}  // namespace tavrelle::midi::backend
