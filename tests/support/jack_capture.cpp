#include "support/jack_capture.h"

#include <jack/midiport.h>

#include <algorithm>
#include <ctime>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace tavrelle::testing {

namespace {

struct Record {
    unsigned char size = 0;
    unsigned char bytes[15] = {};
};

constexpr std::size_t kRingBytes = 64 * sizeof(Record);

void ignoreJackMessage(const char*) {}

}  // namespace

std::int64_t monotonicNanoseconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

JackCapture::JackCapture(const std::string& clientName, const std::vector<std::string>& portNames)
    : shared_(new Shared)
{
    jack_set_error_function(&ignoreJackMessage);
    jack_set_info_function(&ignoreJackMessage);
    jack_status_t status{};
    shared_->client = jack_client_open(clientName.c_str(), JackNoStartServer, &status);
    if (shared_->client == nullptr) {
        delete shared_;
        throw std::runtime_error("no JACK server answers for the capture client " + clientName);
    }
    // PipeWire's libjack calls only the first; JACK 2 the second, when set.
    jack_on_shutdown(shared_->client, &JackCapture::onShutdown, shared_);
    jack_on_info_shutdown(shared_->client, &JackCapture::onServerGone, shared_);
    shared_->ports = std::vector<Port>(portNames.size());
    for (std::size_t i = 0; i < portNames.size(); ++i) {
        Port& port = shared_->ports[i];
        port.ring = jack_ringbuffer_create(kRingBytes);
        port.port = jack_port_register(shared_->client, portNames[i].c_str(), JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
        if (port.port == nullptr) {
            throw std::runtime_error("cannot register the capture port " + portNames[i]);
        }
        port.fullName = jack_port_name(port.port);
        port.listening = true;
    }
    jack_set_process_callback(shared_->client, &JackCapture::process, shared_);
    if (jack_activate(shared_->client) != 0) {
        throw std::runtime_error("cannot activate the capture client " + clientName);
    }
}

JackCapture::~JackCapture()
{
    if (shared_->serverGone) {
        // libjack may still refer to it; kept reachable so that leak checkers
        // see no leak.
        static auto* abandoned = new std::vector<Shared*>;
        abandoned->push_back(shared_);
        return;
    }
    jack_client_close(shared_->client);
    for (auto& port : shared_->ports) {
        jack_ringbuffer_free(port.ring);
    }
    delete shared_;
}

int JackCapture::process(jack_nframes_t frames, void* arg)
{
    auto& shared = *static_cast<Shared*>(arg);
    for (auto& port : shared.ports) {
        if (!port.listening) {
            continue;
        }
        void* buffer = jack_port_get_buffer(port.port, frames);
        const jack_nframes_t count = jack_midi_get_event_count(buffer);
        if (count > 0) {
            shared.lastArrival.store(monotonicNanoseconds(), std::memory_order_relaxed);
            shared.count.fetch_add(count, std::memory_order_release);
        }
        for (jack_nframes_t i = 0; i < count; ++i) {
            jack_midi_event_t event;
            if (jack_midi_event_get(&event, buffer, i) != 0) {
                continue;
            }
            Record record;
            record.size = static_cast<unsigned char>(std::min<std::size_t>(event.size, sizeof record.bytes));
            std::memcpy(record.bytes, event.buffer, record.size);
            if (jack_ringbuffer_write_space(port.ring) >= sizeof record) {
                jack_ringbuffer_write(port.ring, reinterpret_cast<const char*>(&record), sizeof record);
            }
        }
    }
    ++shared.cycles;
    return 0;
}

void JackCapture::onServerGone(jack_status_t, const char*, void* arg)
{
    onShutdown(arg);
}

void JackCapture::onShutdown(void* arg)
{
    static_cast<Shared*>(arg)->serverGone = true;
}

std::string JackCapture::fullName(std::size_t port) const
{
    return shared_->ports.at(port).fullName;
}

std::vector<MidiBytes> JackCapture::received(std::size_t index)
{
    Port& port = shared_->ports.at(index);
    Record record;
    while (jack_ringbuffer_read_space(port.ring) >= sizeof record) {
        jack_ringbuffer_read(port.ring, reinterpret_cast<char*>(&record), sizeof record);
        port.received.emplace_back(record.bytes, record.bytes + record.size);
    }
    return port.received;
}

bool JackCapture::waitForMessages(std::size_t port, std::size_t count, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (received(port).size() < count) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

bool JackCapture::waitForCount(std::uint64_t target, std::chrono::milliseconds limit) const
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (count() < target) {
        if (serverGone() || std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        // Short naps: the arrival time is taken in the process callback, so
        // how soon this loop notices does not change a benchmark's figures.
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

bool JackCapture::waitUntilServerGone(std::chrono::milliseconds limit) const
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!serverGone() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return serverGone();
}

bool JackCapture::connectFrom(const std::string& source)
{
    return jack_connect(shared_->client, source.c_str(), jack_port_name(shared_->ports.at(0).port)) == 0;
}

double JackCapture::periodMilliseconds() const
{
    return 1000.0 * jack_get_buffer_size(shared_->client) / jack_get_sample_rate(shared_->client);
}

bool JackCapture::renamePort(std::size_t index, const std::string& shortName)
{
    Port& port = shared_->ports.at(index);
    if (jack_port_rename(shared_->client, port.port, shortName.c_str()) != 0) {
        return false;
    }
    port.fullName = jack_port_name(port.port);
    return true;
}

void JackCapture::unregisterPort(std::size_t index)
{
    Port& port = shared_->ports.at(index);
    port.listening = false;
    // Two cycle ends make sure the process callback is past the port.
    const unsigned long target = shared_->cycles + 2;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (shared_->cycles < target && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    jack_port_unregister(shared_->client, port.port);
}

std::vector<std::string> allJackConnections(jack_client_t* client)
{
    std::vector<std::string> connections;
    const char** ports = jack_get_ports(client, nullptr, nullptr, JackPortIsOutput);
    if (ports == nullptr) {
        return connections;
    }
    for (const char** name = ports; *name != nullptr; ++name) {
        jack_port_t* port = jack_port_by_name(client, *name);
        if (const char** targets = jack_port_get_all_connections(client, port)) {
            for (const char** target = targets; *target != nullptr; ++target) {
                connections.push_back(std::string(*name) + ">" + *target);
            }
            jack_free(targets);
        }
    }
    jack_free(ports);
    std::sort(connections.begin(), connections.end());
    return connections;
}

}  // namespace tavrelle::testing
