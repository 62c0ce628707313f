#include "jack_output.h"

#include "selection_queue.h"

#include "midi/midi_out_service.h"

#include <jack/jack.h>
#include <jack/midiport.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace tavrelle::midi::backend {

namespace {

using namespace std::chrono_literals;
using Milliseconds = std::chrono::milliseconds;

constexpr const char* kClientName = "tavrelle";
constexpr const char* kPortName = "out";

// Deadlines of the calls that wait for the server. A healthy server answers
// an open or a listing in tens of milliseconds; activation and close wait
// for cycles, so theirs grow with the period. A stalled server never
// answers. They are chosen so that
// a start-up against a stalled server shows its first message within 6 s (the
// listing waits kClientOpen + kListPorts at most) and its window within 6 s of
// the last message box (the first open attempt waits kClientOpen +
// kPortSteps; the five after it fail at once while that call is still stuck,
// leaving the 2.5 s of sleeps between them).
constexpr Milliseconds kClientOpen = 1000ms;
constexpr Milliseconds kListPorts = 250ms;
// Registration, activation and connection are graph changes, each of which
// may wait one or two cycles: the deadline grows with the period.
constexpr Milliseconds kPortSteps = 1000ms;
constexpr int kPortStepsPeriods = 8;
// Closing deactivates the client, which waits for about two cycles. A close
// past this deadline goes on in the background and shut-down is not held up
// by it.
constexpr Milliseconds kClientClose = 250ms;
constexpr int kClientClosePeriods = 3;

// Close waits for delivery at most this many periods, within these bounds.
constexpr int kDrainPeriods = 6;
constexpr Milliseconds kDrainFloor = 100ms;
constexpr Milliseconds kDrainCeiling = 2000ms;
// A server that has run no cycle for two periods and this much more has
// stalled, and close stops waiting for it.
constexpr Milliseconds kStallMargin = 50ms;

// A new connection joins the running graph only at the start of a cycle that
// follows a finished one, so a client that is late anywhere on the server
// holds it back for as long as it stays late; what the process callback
// writes before is lost. Queued messages wait until the running graph is
// seen to carry the connection, and then this many cycles more, a margin for
// a server that reports a link a little ahead of its data.
constexpr std::uint64_t kConnectCycles = 2;
// How often that is looked at, within these bounds of a period, and how long
// before delivery starts regardless: a server that never reports the
// connection must not keep every message back for good.
constexpr Milliseconds kWatchPauseFloor = 1ms;
constexpr Milliseconds kWatchPauseCeiling = 20ms;
constexpr Milliseconds kWatchLimit = 2000ms;
constexpr std::uint64_t kNever = ~std::uint64_t{0};
// Room for a minute of held-down keys' selections before the oldest give way.
constexpr std::size_t kQueueGroups = 240;

void ignoreJackMessage(const char*) {}

// libjack's open status as a result code: 6 when no usable server answers,
// 1 for anything else.
int resultFromJackStatus(jack_status_t status)
{
    if ((status & (JackServerFailed | JackServerError | JackVersionError | JackShmFailure)) != 0) {
        return result::kNoDriver;
    }
    return result::kError;
}

// Calls that passed their deadline and have not returned yet.
std::atomic<int> stuckCalls{0};

bool serverStuck()
{
    return stuckCalls.load(std::memory_order_acquire) > 0;
}

}  // namespace

void silenceJack()
{
    static std::once_flag once;
    std::call_once(once, [] {
        jack_set_error_function(&ignoreJackMessage);
        jack_set_info_function(&ignoreJackMessage);
        // Keeps any other libjack user in this process from starting a
        // server, as every client opened here already asks.
        setenv("JACK_NO_START_SERVER", "1", 0);
    });
}

struct JackClient::State {
    jack_client_t* client = nullptr;
    jack_port_t* port = nullptr;
    std::atomic<bool> serverGone{false};
    // Set when a call on the client passed its deadline.
    std::atomic<bool> abandoned{false};
    std::atomic<std::uint32_t> periodFrames{0};
    std::uint32_t sampleRate = 48000;
    std::atomic<std::uint64_t> cycles{0};
    // The first callback, counted as `cycles` counts them, that may hand
    // queued messages to the server: one that runs on a graph holding the
    // connection.
    std::atomic<std::uint64_t> deliverFrom{kNever};
    // The cycle that handed the latest message to the server.
    std::atomic<std::uint64_t> lastCarryCycle{kNever};
    SelectionQueue queue{kQueueGroups};
    // The watch for the connection to take effect (watchConnection), which
    // must have ended before the client is closed.
    std::mutex watchMutex;
    std::condition_variable watchChanged;
    bool watching = false;
    bool stopWatching = false;

    std::chrono::nanoseconds period() const
    {
        const auto frames = periodFrames.load(std::memory_order_relaxed);
        return std::chrono::nanoseconds(std::int64_t{1'000'000'000} * frames / std::max<std::uint32_t>(sampleRate, 1));
    }
};

namespace {

using State = JackClient::State;

// Kept reachable for the life of the process, as libjack may still call into
// it; a deliberate leak, and not one a leak checker should report.
void keepForever(std::shared_ptr<State> state)
{
    static std::mutex mutex;
    static auto* kept = new std::vector<std::shared_ptr<State>>;
    state->abandoned.store(true, std::memory_order_release);
    std::lock_guard lock(mutex);
    try {
        kept->push_back(std::move(state));
    } catch (const std::bad_alloc&) {
        new std::shared_ptr<State>(std::move(state));
    }
}

// Runs `call` on a thread of its own and waits for it `limit` at most.
// Nothing when the limit passed: the call then finishes, or never does, on
// its own, and `state` is kept for good. `call` must not throw. Throws
// std::bad_alloc when no thread can be started.
template <typename Call>
auto callWithin(Milliseconds limit, const std::shared_ptr<State>& state, Call call)
    -> std::optional<decltype(call())>
{
    using Result = decltype(call());
    struct Outcome {
        std::mutex mutex;
        std::condition_variable done;
        std::optional<Result> value;
        bool abandoned = false;
    };
    auto outcome = std::make_shared<Outcome>();
    std::thread worker;
    try {
        worker = std::thread([outcome, call = std::move(call)]() mutable {
            Result value = call();
            std::lock_guard lock(outcome->mutex);
            if (outcome->abandoned) {
                stuckCalls.fetch_sub(1, std::memory_order_acq_rel);
            } else {
                outcome->value.emplace(std::move(value));
            }
            outcome->done.notify_one();
        });
    } catch (const std::system_error&) {
        throw std::bad_alloc();
    }
    std::unique_lock lock(outcome->mutex);
    if (!outcome->done.wait_for(lock, limit, [&] { return outcome->value.has_value(); })) {
        outcome->abandoned = true;
        stuckCalls.fetch_add(1, std::memory_order_acq_rel);
        lock.unlock();
        worker.detach();
        keepForever(state);
        return std::nullopt;
    }
    lock.unlock();
    worker.join();
    return std::move(outcome->value);
}

void onServerGone(jack_status_t, const char*, void* arg)
{
    static_cast<State*>(arg)->serverGone.store(true, std::memory_order_release);
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
    const std::uint64_t cycle = state.cycles.load(std::memory_order_relaxed);
    if (cycle >= state.deliverFrom.load(std::memory_order_acquire)) {
        state.queue.deliver([&](const unsigned char* bytes, std::size_t size) {
            if (jack_midi_event_write(buffer, 0, bytes, size) != 0) {
                return false;
            }
            state.lastCarryCycle.store(cycle, std::memory_order_release);
            return true;
        });
    }
    state.cycles.fetch_add(1, std::memory_order_release);
    return 0;
}

// Queued messages go out from the cycle after the margin.
void letQueueOut(State& state)
{
    state.deliverFrom.store(state.cycles.load(std::memory_order_acquire) + kConnectCycles, std::memory_order_release);
}

// Runs on a thread of its own from a successful connection to `target` until
// the running graph carries it, the client closes or the watch gives up; then
// lets the queued messages out. libjack answers this off the process thread
// from the graph in shared memory, waiting a period at most for a change that
// is pending, never for the server.
void watchConnection(const std::shared_ptr<State>& state, const std::string& target)
{
    const auto period = std::chrono::duration_cast<Milliseconds>(state->period());
    const auto pause = std::clamp(period, kWatchPauseFloor, kWatchPauseCeiling);
    const auto giveUp = std::chrono::steady_clock::now() + kWatchLimit;
    std::unique_lock lock(state->watchMutex);
    while (!state->stopWatching) {
        lock.unlock();
        const bool running = jack_port_connected_to(state->port, target.c_str()) > 0 ||
                             state->serverGone.load(std::memory_order_acquire) ||
                             std::chrono::steady_clock::now() >= giveUp;
        lock.lock();
        if (running) {
            letQueueOut(*state);
            break;
        }
        state->watchChanged.wait_for(lock, pause, [&] { return state->stopWatching; });
    }
    state->watching = false;
    state->watchChanged.notify_all();
}

void startConnectionWatch(const std::shared_ptr<State>& state, std::string target)
{
    std::lock_guard lock(state->watchMutex);
    try {
        std::thread([state, target = std::move(target)] { watchConnection(state, target); }).detach();
        state->watching = true;
    } catch (const std::system_error&) {
        // No thread to spare: delivery starts as soon as the margin allows.
        letQueueOut(*state);
    }
}

// Ends the watch, waiting for it `limit` at most; false when it is still
// inside libjack and the client must not be closed under it.
bool stopConnectionWatch(State& state, Milliseconds limit)
{
    std::unique_lock lock(state.watchMutex);
    state.stopWatching = true;
    state.watchChanged.notify_all();
    return state.watchChanged.wait_for(lock, limit, [&] { return !state.watching; });
}

bool isMidiInput(jack_port_t* port)
{
    return port != nullptr && (jack_port_flags(port) & JackPortIsInput) != 0 &&
           std::strcmp(jack_port_type(port), JACK_DEFAULT_MIDI_TYPE) == 0;
}

}  // namespace

std::unique_ptr<JackClient> JackClient::open(int& failure)
{
    silenceJack();
    if (serverStuck()) {
        failure = result::kNoDriver;
        return nullptr;
    }
    auto state = std::make_shared<State>();
    const auto status = callWithin(kClientOpen, state, [state]() noexcept {
        jack_status_t status{};
        state->client = jack_client_open(kClientName, JackNoStartServer, &status);
        if (state->client != nullptr) {
            jack_on_info_shutdown(state->client, &onServerGone, state.get());
            state->periodFrames.store(jack_get_buffer_size(state->client));
            state->sampleRate = jack_get_sample_rate(state->client);
        }
        return status;
    });
    if (!status) {
        failure = result::kNoDriver;
        return nullptr;
    }
    if (state->client == nullptr) {
        failure = resultFromJackStatus(*status);
        return nullptr;
    }
    return std::make_unique<JackClient>(std::move(state));
}

JackClient::JackClient(std::shared_ptr<State> state) : state_(std::move(state)) {}

JackClient::~JackClient()
{
    const auto limit = kClientClose + std::chrono::duration_cast<Milliseconds>(kClientClosePeriods * state_->period());
    const bool watchEnded = stopConnectionWatch(*state_, limit);
    // A client whose server died is never closed: that crashes inside libjack
    // once another client has been tried.
    if (!watchEnded || state_->serverGone.load(std::memory_order_acquire) ||
        state_->abandoned.load(std::memory_order_acquire) || serverStuck()) {
        keepForever(std::move(state_));
        return;
    }
    try {
        callWithin(limit, state_, [state = state_]() noexcept {
            jack_client_close(state->client);
            return true;
        });
    } catch (const std::bad_alloc&) {
        keepForever(std::move(state_));
    }
}

bool JackClient::usable() const
{
    return !state_->serverGone.load(std::memory_order_acquire) && !state_->abandoned.load(std::memory_order_acquire) &&
           !serverStuck();
}

std::optional<std::vector<std::string>> JackClient::midiInputPorts()
{
    if (!usable()) {
        return std::nullopt;
    }
    auto names = callWithin(kListPorts, state_, [state = state_]() noexcept -> std::optional<std::vector<std::string>> {
        const char** ports = jack_get_ports(state->client, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput);
        std::vector<std::string> names;
        if (ports == nullptr) {
            return names;
        }
        try {
            for (const char** port = ports; *port != nullptr; ++port) {
                names.emplace_back(*port);
            }
        } catch (const std::bad_alloc&) {
            jack_free(ports);
            return std::nullopt;
        }
        jack_free(ports);
        return names;
    });
    if (!names || !*names) {
        return std::nullopt;
    }
    return std::move(**names);
}

namespace {

class JackOutput final : public Output {
public:
    int open(const std::string& portName, std::unique_ptr<JackClient> spare)
    {
        int failure = result::kError;
        if (spare && spare->usable()) {
            client_ = std::move(spare);
        } else {
            spare.reset();
            client_ = JackClient::open(failure);
        }
        if (!client_) {
            return failure;
        }
        const std::shared_ptr<State> state = stateOf();
        const auto limit = kPortSteps + std::chrono::duration_cast<Milliseconds>(kPortStepsPeriods * state->period());
        const auto connected = callWithin(limit, state, [state, portName]() noexcept {
            jack_client_t* client = state->client;
            // Checked before anything is registered, so a port that is gone
            // leaves no trace on the server.
            if (!isMidiInput(jack_port_by_name(client, portName.c_str()))) {
                return result::kBadDeviceId;
            }
            state->queue.lockMemory();
            if (jack_set_process_callback(client, &process, state.get()) != 0 ||
                jack_set_buffer_size_callback(client, &onPeriodChanged, state.get()) != 0) {
                return result::kError;
            }
            state->port = jack_port_register(client, kPortName, JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
            if (state->port == nullptr || jack_activate(client) != 0) {
                return result::kError;
            }
            const int linked = jack_connect(client, jack_port_name(state->port), portName.c_str());
            if (linked != 0 && linked != EEXIST) {
                return isMidiInput(jack_port_by_name(client, portName.c_str())) ? result::kError
                                                                                 : result::kBadDeviceId;
            }
            return result::kNoError;
        });
        if (!connected) {
            client_.reset();
            return result::kNoDriver;
        }
        if (*connected != result::kNoError || state->serverGone.load(std::memory_order_acquire)) {
            return fail(*connected);
        }
        // Messages sent from now on wait in the queue until the connection
        // takes effect, rather than the caller waiting here.
        try {
            startConnectionWatch(state, portName);
        } catch (const std::bad_alloc&) {
            return fail(result::kNoMemory);
        }
        return result::kNoError;
    }

    int send(std::span<const ShortMessageBytes> messages) override
    {
        State& state = *stateOf();
        if (state.serverGone.load(std::memory_order_acquire)) {
            return result::kNoDriver;
        }
        return state.queue.push(messages) ? result::kNoError : result::kInvalidParam;
    }

    // Waits until what was queued has been handed to the server and the
    // cycle that carried the last of it has ended, counted in the client's
    // own cycles; a port that has been idle since waits for nothing.
    int close() override
    {
        const std::shared_ptr<State> state = stateOf();
        const auto period = std::chrono::duration_cast<Milliseconds>(state->period());
        const auto limit = std::clamp(kDrainPeriods * period, kDrainFloor, kDrainCeiling);
        const auto stallAfter = std::max(2 * period + kStallMargin, kDrainFloor);
        const auto start = std::chrono::steady_clock::now();
        auto lastProgress = start;
        std::uint64_t lastCycles = state->cycles.load(std::memory_order_acquire);
        bool delivered = false;
        while (!state->serverGone.load(std::memory_order_acquire)) {
            const std::uint64_t cycles = state->cycles.load(std::memory_order_acquire);
            if (state->queue.settled()) {
                const std::uint64_t carry = state->lastCarryCycle.load(std::memory_order_acquire);
                if (carry == kNever || cycles >= carry + 2) {
                    delivered = true;
                    break;
                }
            }
            const auto now = std::chrono::steady_clock::now();
            if (cycles != lastCycles) {
                lastCycles = cycles;
                lastProgress = now;
            }
            if (now - start >= limit || now - lastProgress >= stallAfter) {
                break;
            }
            std::this_thread::sleep_for(1ms);
        }
        const bool serverGone = state->serverGone.load(std::memory_order_acquire);
        client_.reset();
        if (serverGone) {
            return result::kNoDriver;
        }
        return delivered ? result::kNoError : result::kError;
    }

    JackClient* jackClient() override { return client_ && client_->usable() ? client_.get() : nullptr; }

private:
    const std::shared_ptr<State>& stateOf() const { return client_->state(); }

    int fail(int failure)
    {
        const bool serverGone = client_->state()->serverGone.load(std::memory_order_acquire);
        client_.reset();
        return serverGone ? result::kNoDriver : failure;
    }

    std::unique_ptr<JackClient> client_;
};

}  // namespace

std::vector<std::string> jackMidiInputPortNames()
{
    int failure = result::kError;
    const auto client = JackClient::open(failure);
    if (!client) {
        return {};
    }
    return client->midiInputPorts().value_or(std::vector<std::string>{});
}

int openJackOutput(const std::string& portName, std::unique_ptr<Output>& output, std::unique_ptr<JackClient> client)
{
    auto port = std::make_unique<JackOutput>();
    if (const int opened = port->open(portName, std::move(client)); opened != result::kNoError) {
        return opened;
    }
    output = std::move(port);
    return result::kNoError;
}

}  // namespace tavrelle::midi::backend
