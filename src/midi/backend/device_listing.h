// The devices as listed last: the ALSA ports, read on the caller's thread,
// and the JACK ports, which the MIDI thread lists.
#pragma once

#include "alsa_output.h"
#include "jack_output.h"
#include "midi_thread.h"
#include "notifier.h"
#include "port_list.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tavrelle::midi::backend {

// The MIDI thread's work before it sleeps: the listing's deferred
// activation, and while JACK or ALSA is absent, a look for it every few
// seconds at its socket or device file, never with a client, which tells
// `notify` once one is there.
class IdleLooks {
public:
    IdleLooks(std::shared_ptr<JackOutput> jack, std::shared_ptr<Notifier> notify,
              std::shared_ptr<std::atomic<bool>> alsaThere)
        : jack_(std::move(jack)), notify_(std::move(notify)), alsaThere_(std::move(alsaThere))
    {
    }
    // How long the thread may sleep.
    std::optional<Milliseconds> operator()();

private:
    std::shared_ptr<JackOutput> jack_;
    std::shared_ptr<Notifier> notify_;
    std::shared_ptr<std::atomic<bool>> alsaThere_;
    std::optional<std::chrono::steady_clock::time_point> absentLookAt_;
};

class DeviceListing {
public:
    DeviceListing(AlsaClient& alsa, MidiThread& thread, std::shared_ptr<JackOutput> jack,
                  std::shared_ptr<std::atomic<bool>> alsaThere);

    // Lists again: a listing asked for earlier may predate the news.
    void relist();
    // Identifiers are positions in it. A JACK server that does not answer in
    // time leaves the JACK ports as they were.
    const std::vector<PortEntry>& devices();
    // Whether the open ALSA port was announced gone since it was opened.
    bool alsaPortLeft() const { return alsaLeft_; }
    void alsaPortOpened() { alsaLeft_ = false; }

private:
    struct Pending {
        std::future<std::vector<std::string>> answer;
        std::uint64_t job = 0;
    };
    std::optional<Pending> askJack();

    AlsaClient& alsa_;
    MidiThread& thread_;
    std::shared_ptr<JackOutput> jack_;
    std::shared_ptr<std::atomic<bool>> alsaThere_;
    bool alsaLeft_ = false;
    std::optional<Pending> pending_;
    bool stale_ = true;
    std::vector<std::string> jackNames_;
    std::vector<PortEntry> devices_;
};

}  // namespace tavrelle::midi::backend
