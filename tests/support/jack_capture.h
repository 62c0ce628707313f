// A JACK client of the tests' and benchmarks' own whose MIDI input ports
// record every message that reaches them, and when the latest one did.
#pragma once

#include "support/find_device.h"

#include <jack/jack.h>
#include <jack/ringbuffer.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tavrelle::testing {

using MidiBytes = std::vector<unsigned char>;

// CLOCK_MONOTONIC in nanoseconds, the clock arrival times are read from.
std::int64_t monotonicNanoseconds();

class JackCapture {
public:
    // Joins the server named by JACK_DEFAULT_SERVER (never starting one) as
    // `clientName` with one input port per name. Throws std::runtime_error
    // when that fails.
    JackCapture(const std::string& clientName, const std::vector<std::string>& portNames = {"in"});
    ~JackCapture();
    JackCapture(const JackCapture&) = delete;
    JackCapture& operator=(const JackCapture&) = delete;

    // "client:port" of a port, as the service lists it.
    std::string fullName(std::size_t port = 0) const;
    // Everything received on a port so far, one entry per message.
    std::vector<MidiBytes> received(std::size_t port);
    // Waits, at most `limit`, until a port has received `count` messages.
    bool waitForMessages(std::size_t port, std::size_t count, std::chrono::milliseconds limit);
    // Messages received on all ports so far, without keeping their bytes.
    std::uint64_t count() const { return shared_->count.load(std::memory_order_acquire); }
    // When the process callback saw the latest message (monotonicNanoseconds).
    std::int64_t lastArrival() const { return shared_->lastArrival.load(std::memory_order_acquire); }
    // Waits until `target` messages have arrived in all; false after `limit`
    // or once the server is gone.
    bool waitForCount(std::uint64_t target, std::chrono::milliseconds limit) const;
    // Connects an output port of another client to the first port.
    bool connectFrom(const std::string& source);
    double periodMilliseconds() const;
    void unregisterPort(std::size_t port);
    // Gives a port a new short name, as a synth that renames its input does.
    bool renamePort(std::size_t port, const std::string& shortName);
    bool serverGone() const { return shared_->serverGone.load(); }
    // Waits, at most `limit`, until libjack has told the client its server died.
    bool waitUntilServerGone(std::chrono::milliseconds limit) const;
    jack_client_t* client() const { return shared_->client; }

private:
    struct Port {
        jack_port_t* port = nullptr;
        std::atomic<bool> listening{false};
        jack_ringbuffer_t* ring = nullptr;
        std::string fullName;
        std::vector<MidiBytes> received;
    };
    // Read by libjack's threads; left alone for good once the server died.
    struct Shared {
        jack_client_t* client = nullptr;
        std::vector<Port> ports;
        std::atomic<bool> serverGone{false};
        std::atomic<unsigned long> cycles{0};
        std::atomic<std::uint64_t> count{0};
        std::atomic<std::int64_t> lastArrival{0};
    };
    static int process(jack_nframes_t frames, void* arg);
    static void onServerGone(jack_status_t, const char*, void* arg);
    static void onShutdown(void* arg);

    Shared* shared_;
};

// All connections on the server, as "source>destination" pairs, sorted.
std::vector<std::string> allJackConnections(jack_client_t* client);

}  // namespace tavrelle::testing
