// The devices as listed last: the ALSA ports, read on the caller's thread,
// and the JACK ports, which the MIDI thread lists; while a system is absent
// the MIDI thread looks for it every few seconds.
#pragma once

#include "alsa_output.h"
#include "jack_output.h"
#include "midi_thread.h"
#include "notifier.h"
#include "port_list.h"

#include <atomic>
#include <cstdint>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tavrelle::midi::backend {

// Only on the MIDI thread: while JACK or ALSA is absent, looks for it at its
// socket or device file, never with a client, and tells `notify` once one
// is there.
void lookForAbsentSystems(const std::shared_ptr<JackOutput>& jack, const std::shared_ptr<Notifier>& notify,
                          const std::shared_ptr<std::atomic<bool>>& alsaThere);

class DeviceListing {
public:
    DeviceListing(AlsaClient& alsa, MidiThread& thread, std::shared_ptr<JackOutput> jack,
                  std::shared_ptr<Notifier> notify);

    // Lists again: a listing asked for earlier may predate the news.
    void relist();
    // Identifiers are positions in it. A JACK server that does not answer in
    // time leaves the JACK ports as they were.
    const std::vector<PortEntry>& devices();
    // Whether the open ALSA port was announced gone since it was opened.
    bool alsaPortLeft() const { return alsaLeft_; }
    void alsaPortOpened() { alsaLeft_ = false; }
    const std::shared_ptr<std::atomic<bool>>& alsaThere() const { return alsaThere_; }

private:
    struct Pending {
        std::future<std::vector<std::string>> answer;
        std::uint64_t job = 0;
    };
    std::optional<Pending> askJack();

    AlsaClient& alsa_;
    MidiThread& thread_;
    std::shared_ptr<JackOutput> jack_;
    std::shared_ptr<Notifier> notify_;
    std::shared_ptr<std::atomic<bool>> alsaThere_ = std::make_shared<std::atomic<bool>>(false);
    bool alsaLeft_ = false;
    std::optional<Pending> pending_;
    bool stale_ = true;
    std::vector<std::string> jackNames_;
    std::vector<PortEntry> devices_;
};

}  // namespace tavrelle::midi::backend
