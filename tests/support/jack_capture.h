// A JACK client of the tests' own whose MIDI input ports record every message
// that reaches them.
#pragma once

#include <jack/jack.h>
#include <jack/ringbuffer.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace tavrelle::testing {

using MidiBytes = std::vector<unsigned char>;

class JackCapture {
public:
    // Joins the server named by JACK_DEFAULT_SERVER (never starting one) as
    // `clientName` with one input port per name. Throws std::runtime_error
    // when that fails.
    JackCapture(const std::string& clientName, const std::vector<std::string>& portNames);
    ~JackCapture();
    JackCapture(const JackCapture&) = delete;
    JackCapture& operator=(const JackCapture&) = delete;

    // "client:port" of a port, as the service lists it.
    std::string fullName(std::size_t port) const;
    // Everything received on a port so far, one entry per message.
    std::vector<MidiBytes> received(std::size_t port);
    // Waits, at most `limit`, until a port has received `count` messages.
    bool waitForMessages(std::size_t port, std::size_t count, std::chrono::milliseconds limit);
    void unregisterPort(std::size_t port);
    bool serverGone() const { return shared_->serverGone.load(); }
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
    };
    static int process(jack_nframes_t frames, void* arg);
    static void onServerGone(jack_status_t, const char*, void* arg);

    Shared* shared_;
};

// All connections on the server, as "source>destination" pairs, sorted.
std::vector<std::string> allJackConnections(jack_client_t* client);

}  // namespace tavrelle::testing
