#include "jack_arrivals.h"

#include <jack/midiport.h>

#include <ctime>
#include <stdexcept>
#include <thread>

namespace tavrelle::bench {

namespace {

void ignoreJackMessage(const char*) {}

}  // namespace

std::int64_t monotonicNanoseconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

JackArrivals::JackArrivals(const std::string& clientName) : shared_(new Shared)
{
    jack_set_error_function(&ignoreJackMessage);
    jack_set_info_function(&ignoreJackMessage);
    jack_status_t status{};
    shared_->client = jack_client_open(clientName.c_str(), JackNoStartServer, &status);
    if (shared_->client == nullptr) {
        delete shared_;
        throw std::runtime_error("no JACK server answers for " + clientName);
    }
    jack_on_info_shutdown(shared_->client, &JackArrivals::onServerGone, shared_);
    shared_->port = jack_port_register(shared_->client, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    jack_set_process_callback(shared_->client, &JackArrivals::process, shared_);
    if (shared_->port == nullptr || jack_activate(shared_->client) != 0) {
        jack_client_close(shared_->client);
        delete shared_;
        throw std::runtime_error("cannot set up the JACK client " + clientName);
    }
}

JackArrivals::~JackArrivals()
{
    if (shared_->serverGone) {
        return;  // libjack may still refer to it: left as it is
    }
    jack_client_close(shared_->client);
    delete shared_;
}

int JackArrivals::process(jack_nframes_t frames, void* arg)
{
    auto& shared = *static_cast<Shared*>(arg);
    void* buffer = jack_port_get_buffer(shared.port, frames);
    const jack_nframes_t events = jack_midi_get_event_count(buffer);
    if (events > 0) {
        shared.lastArrival.store(monotonicNanoseconds(), std::memory_order_relaxed);
        shared.count.fetch_add(events, std::memory_order_release);
    }
    return 0;
}

void JackArrivals::onServerGone(jack_status_t, const char*, void* arg)
{
    static_cast<Shared*>(arg)->serverGone = true;
}

std::string JackArrivals::portName() const
{
    return jack_port_name(shared_->port);
}

bool JackArrivals::connectFrom(const std::string& source)
{
    return jack_connect(shared_->client, source.c_str(), jack_port_name(shared_->port)) == 0;
}

bool JackArrivals::waitForCount(std::uint64_t target, std::chrono::milliseconds limit) const
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (count() < target) {
        if (shared_->serverGone || std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        // Short naps: the arrival time is taken in the process callback, so
        // how soon this loop notices does not change the figures.
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

double JackArrivals::periodMilliseconds() const
{
    return 1000.0 * jack_get_buffer_size(shared_->client) / jack_get_sample_rate(shared_->client);
}

}  // namespace tavrelle::bench
