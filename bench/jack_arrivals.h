// A JACK client of the benchmarks' own with one MIDI input port: it counts
// the messages that reach the port and notes when the latest one did.
#pragma once

#include <jack/jack.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

namespace tavrelle::bench {

// CLOCK_MONOTONIC in nanoseconds, the clock every figure here is read from.
std::int64_t monotonicNanoseconds();

class JackArrivals {
public:
    // Joins the server named by JACK_DEFAULT_SERVER, never starting one;
    // throws std::runtime_error when that fails.
    explicit JackArrivals(const std::string& clientName);
    ~JackArrivals();
    JackArrivals(const JackArrivals&) = delete;
    JackArrivals& operator=(const JackArrivals&) = delete;

    // "client:port" of the input port.
    std::string portName() const;
    // Connects an output port of another client to ours; false on failure.
    bool connectFrom(const std::string& source);

    std::uint64_t count() const { return shared_->count.load(std::memory_order_acquire); }
    // When the process callback saw the latest message (monotonicNanoseconds).
    std::int64_t lastArrival() const { return shared_->lastArrival.load(std::memory_order_acquire); }
    // Waits until `target` messages have arrived in all; false after `limit`
    // or once the server is gone.
    bool waitForCount(std::uint64_t target, std::chrono::milliseconds limit) const;

    double periodMilliseconds() const;

private:
    // Read by libjack's threads; left alone for good once the server died.
    struct Shared {
        jack_client_t* client = nullptr;
        jack_port_t* port = nullptr;
        std::atomic<std::uint64_t> count{0};
        std::atomic<std::int64_t> lastArrival{0};
        std::atomic<bool> serverGone{false};
    };
    static int process(jack_nframes_t frames, void* arg);
    static void onServerGone(jack_status_t, const char*, void* arg);

    Shared* shared_;
};

}  // namespace tavrelle::bench
