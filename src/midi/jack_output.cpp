#include "midi/jack_output.h"

#include "midi/midi_out_service.h"

#include <jack/jack.h>
#include <jack/midiport.h>
#include <sys/mman.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

namespace tavrelle::midi::system {

namespace {

constexpr const char* kClientName = "tavrelle";
constexpr const char* kPortName = "out";
// Close waits this long at most for the process callback to hand the queued
// messages to the server.
constexpr auto kDrainLimit = std::chrono::milliseconds(200);
// Cycles to wait after the queue ran empty, so that the receiver's part of
// the cycle that carried the last message has run before we disconnect.
constexpr std::uint64_t kDrainCycles = 3;
// A new connection joins the graph at the start of a later cycle; what the
// process callback writes in a cycle that began before is lost. After two
// callbacks following the connection, every later one runs on the new graph.
constexpr std::uint64_t kConnectCycles = 2;
constexpr std::uint64_t kNotConnected = ~std::uint64_t{0};

void ignoreJackMessage(const char*) {}

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

// libjack's open status as a result code: 6 when no usable server answers,
// 1 for anything else.
int resultFromJackStatus(jack_status_t status)
{
    if ((status & (JackServerFailed | JackServerError | JackVersionError | JackShmFailure)) != 0) {
        return result::kNoDriver;
    }
    return result::kError;
}

// One message as queued for the process callback.
struct QueuedMessage {
    unsigned char size = 0;
    unsigned char bytes[3] = {};
};

// Messages from the sending thread to the process callback: one writer, one
// reader, no locks. It lives inside the link, so that a send is a few
// inlined stores rather than calls into libjack's ring buffer.
class MessageQueue {
public:
    bool push(const QueuedMessage& message)
    {
        const std::size_t head = head_.load(std::memory_order_relaxed);
        if (head - tail_.load(std::memory_order_acquire) == kCapacity) {
            return false;
        }
        slots_[head % kCapacity] = message;
        head_.store(head + 1, std::memory_order_release);
        return true;
    }
    // The oldest message, left queued until pop(); null when there is none.
    const QueuedMessage* front() const
    {
        const std::size_t tail = tail_.load(std::memory_order_relaxed);
        return tail == head_.load(std::memory_order_acquire) ? nullptr : &slots_[tail % kCapacity];
    }
    void pop() { tail_.store(tail_.load(std::memory_order_relaxed) + 1, std::memory_order_release); }
    bool empty() const { return tail_.load(std::memory_order_acquire) == head_.load(std::memory_order_acquire); }

private:
    static constexpr std::size_t kCapacity = 1024;
    // Apart, so that the two threads do not share a cache line for them.
    alignas(64) std::atomic<std::size_t> head_{0};
    alignas(64) std::atomic<std::size_t> tail_{0};
    std::array<QueuedMessage, kCapacity> slots_{};
};

}  // namespace

// Everything libjack's threads may touch. When the server dies, the client
// and this record are left alone for good: tearing such a client down
// crashes inside libjack, and the process callback may still read `queue`.
struct JackLink {
    jack_client_t* client = nullptr;
    jack_port_t* port = nullptr;
    std::atomic<bool> serverGone{false};
    std::atomic<std::uint64_t> cycles{0};
    // The first callback, counted as `cycles` counts them, that may hand
    // queued messages to the server: one that runs on a graph holding the
    // connection.
    std::atomic<std::uint64_t> deliverFrom{kNotConnected};
    MessageQueue queue;
};

namespace {

void onServerGone(jack_status_t, const char*, void* arg)
{
    static_cast<JackLink*>(arg)->serverGone.store(true, std::memory_order_release);
}

int process(jack_nframes_t frames, void* arg)
{
    auto& link = *static_cast<JackLink*>(arg);
    void* buffer = jack_port_get_buffer(link.port, frames);
    jack_midi_clear_buffer(buffer);
    const std::uint64_t cycle = link.cycles.load(std::memory_order_relaxed);
    while (cycle >= link.deliverFrom.load(std::memory_order_acquire)) {
        const QueuedMessage* message = link.queue.front();
        // A full cycle buffer keeps the rest queued for the next cycle.
        if (message == nullptr || jack_midi_event_write(buffer, 0, message->bytes, message->size) != 0) {
            break;
        }
        link.queue.pop();
    }
    link.cycles.fetch_add(1, std::memory_order_release);
    return 0;
}

// Kept reachable for the life of the process, as libjack may still refer to
// it; a deliberate leak, and not one a leak checker should report.
void abandon(JackLink* link)
{
    static auto* abandoned = new std::vector<JackLink*>;
    try {
        abandoned->push_back(link);
    } catch (const std::bad_alloc&) {
    }
}

}  // namespace

void JackLinkDisposer::operator()(JackLink* link) const
{
    if (link == nullptr) {
        return;
    }
    if (link->serverGone.load(std::memory_order_acquire)) {
        abandon(link);
        return;
    }
    if (link->client != nullptr) {
        jack_client_close(link->client);
    }
    delete link;
}

namespace {

using LinkPtr = JackClient;

// A client of the running server, never one that starts a server; nothing,
// with `failure` set, when none answers.
LinkPtr openLink(int& failure)
{
    silenceJack();
    LinkPtr link(new JackLink);
    jack_status_t status{};
    link->client = jack_client_open(kClientName, JackNoStartServer, &status);
    if (link->client == nullptr) {
        failure = resultFromJackStatus(status);
        return nullptr;
    }
    jack_on_info_shutdown(link->client, &onServerGone, link.get());
    return link;
}

bool isMidiInput(jack_port_t* port)
{
    return port != nullptr && (jack_port_flags(port) & JackPortIsInput) != 0 &&
           std::strcmp(jack_port_type(port), JACK_DEFAULT_MIDI_TYPE) == 0;
}

template <typename Done>
bool waitUntil(const JackLink& link, std::chrono::steady_clock::time_point deadline, Done done)
{
    while (!done()) {
        if (link.serverGone.load(std::memory_order_acquire) || std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

class JackOutput final : public SystemOutput {
public:
    int open(const std::string& portName, LinkPtr spare)
    {
        int failure = result::kError;
        if (spare && !spare->serverGone.load(std::memory_order_acquire)) {
            link_ = std::move(spare);
        } else {
            spare.reset();
            link_ = openLink(failure);
        }
        if (!link_) {
            return failure;
        }
        jack_client_t* client = link_->client;
        // Checked before anything is registered, so a port that is gone
        // leaves no trace on the server.
        if (!isMidiInput(jack_port_by_name(client, portName.c_str()))) {
            link_.reset();
            return result::kBadDeviceId;
        }
        // The process callback reads the queue: keep it from being paged out.
        mlock(&link_->queue, sizeof link_->queue);
        if (jack_set_process_callback(client, &process, link_.get()) != 0) {
            return fail(result::kError);
        }
        link_->port = jack_port_register(client, kPortName, JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        if (link_->port == nullptr || jack_activate(client) != 0) {
            return fail(result::kError);
        }
        const int connected = jack_connect(client, jack_port_name(link_->port), portName.c_str());
        if (connected != 0 && connected != EEXIST) {
            return fail(isMidiInput(jack_port_by_name(client, portName.c_str())) ? result::kError
                                                                                  : result::kBadDeviceId);
        }
        // Messages sent from now on wait in the queue until the connection
        // takes effect, rather than the caller waiting here for it: the
        // user-interface thread goes on at once.
        link_->deliverFrom.store(link_->cycles.load(std::memory_order_acquire) + kConnectCycles,
                                 std::memory_order_release);
        if (link_->serverGone.load(std::memory_order_acquire)) {
            return fail(result::kNoDriver);
        }
        return result::kNoError;
    }

    int send(const ShortMessageBytes& message) override
    {
        if (link_->serverGone.load(std::memory_order_acquire)) {
            return result::kNoDriver;
        }
        // All three bytes are copied whatever the size: a fixed-size copy
        // compiles to one store, and the process callback writes only `size`.
        const QueuedMessage queued{static_cast<unsigned char>(message.size),
                                   {message.bytes[0], message.bytes[1], message.bytes[2]}};
        // Only a server that stopped running cycles lets the queue fill up.
        return link_->queue.push(queued) ? result::kNoError : result::kError;
    }

    int close() override
    {
        JackLink& link = *link_;
        const auto deadline = std::chrono::steady_clock::now() + kDrainLimit;
        bool delivered = waitUntil(link, deadline, [&] { return link.queue.empty(); });
        if (delivered) {
            const std::uint64_t target = link.cycles.load(std::memory_order_acquire) + kDrainCycles;
            delivered = waitUntil(link, deadline, [&] { return link.cycles.load(std::memory_order_acquire) >= target; });
        }
        const bool serverGone = link.serverGone.load(std::memory_order_acquire);
        link_.reset();
        if (serverGone) {
            return result::kNoDriver;
        }
        return delivered ? result::kNoError : result::kError;
    }

private:
    int fail(int failure)
    {
        const bool serverGone = link_->serverGone.load(std::memory_order_acquire);
        link_.reset();
        return serverGone ? result::kNoDriver : failure;
    }

    LinkPtr link_;
};

}  // namespace

std::vector<std::string> jackMidiInputPortNames(JackClient* keep)
{
    int failure = result::kError;
    LinkPtr link = openLink(failure);
    if (!link) {
        return {};
    }
    std::vector<std::string> names;
    const char** ports = jack_get_ports(link->client, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput);
    if (keep != nullptr) {
        *keep = std::move(link);
    }
    if (ports == nullptr) {
        return names;
    }
    try {
        for (const char** port = ports; *port != nullptr; ++port) {
            names.emplace_back(*port);
        }
    } catch (...) {
        jack_free(ports);
        throw;
    }
    jack_free(ports);
    return names;
}

int openJackOutput(const std::string& portName, std::unique_ptr<SystemOutput>& output, JackClient spare)
{
    auto port = std::make_unique<JackOutput>();
    if (const int opened = port->open(portName, std::move(spare)); opened != result::kNoError) {
        return opened;
    }
    output = std::move(port);
    return result::kNoError;
}

}  // namespace tavrelle::midi::system
