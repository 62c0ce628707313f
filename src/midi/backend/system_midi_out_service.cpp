// The MIDI output service over the machine's MIDI system: ALSA sequencer
// ports, then JACK MIDI input ports, then ALSA's Midi Through ports.
//
// Every call into the MIDI system runs on the service's one MIDI thread; the
// caller's thread posts a request and waits for it until its deadline. A
// request past its deadline fails with 6, and so does every later one, at
// once, until the late one has returned; the port it may have left open is
// then let go.
//
// Result codes, by operation:
//   deviceName  0; 2 identifier beyond the device list
//   open        0; 2 identifier beyond the list, or the port enumerated under
//               it is gone (nothing is opened then); 4 a port is open
//               already (the service drives one at a time); 6 the port's
//               backend cannot be reached (no ALSA sequencer, no JACK
//               server, or one that does not answer in time); 7 out of
//               memory; 1 anything else (the port could not be connected)
//   send        0 queued (JACK) or sent (ALSA); 5 handle not open; 11 word
//               that is not a short message, or more than four words sent
//               as one; 6 the JACK server has gone, or the sequencer does
//               not answer; 1 ALSA refused the message. A JACK queue that is
//               full lets its oldest selections go to take the new one.
//   close       0 everything sent was delivered; 5 handle not open; 6 the
//               JACK server has gone or does not answer, so what was still
//               queued is lost; 1 the JACK server did not run the cycles to
//               deliver it in time. The handle is closed whatever the result.
#include "alsa_output.h"
#include "jack_session.h"
#include "midi_thread.h"
#include "port_list.h"
#include "selection_queue.h"

#include "midi/midi_out_service.h"
#include "midi/short_message.h"

#include <array>
#include <new>
#include <optional>
#include <vector>

namespace tavrelle::midi {

namespace {

using namespace std::chrono_literals;
using backend::Backend;
using backend::Milliseconds;
using backend::PortEntry;

// The sequencer is a local kernel service: it answers at once or not at all.
constexpr Milliseconds kAlsaCall = 1000ms;

// What the MIDI thread owns: the two clients and what is open on them.
struct Backends {
    backend::AlsaClient alsa;
    backend::JackSession jack;
    std::optional<Backend> open;

    // Lets go of the open port once what was sent through it is delivered;
    // `answer` hears the result before a JACK connection is undone, so the
    // caller need not wait for the server's graph.
    template <typename Answer>
    void close(Answer answer)
    {
        const auto was = std::exchange(open, std::nullopt);
        if (!was) {
            return answer(result::kInvalidHandle);
        }
        if (*was == Backend::Alsa) {
            return answer(alsa.close());
        }
        // A server that ran the cycles to deliver answers the disconnect at
        // once, so the caller need not wait for it; one that stalled may not
        // answer at all, and then the close must be late, not the next
        // request.
        const int drained = jack.drain();
        if (drained == result::kNoError) {
            answer(drained);
            return jack.disconnect();
        }
        jack.disconnect();
        answer(drained);
    }
    void close()
    {
        close([](int) {});
    }
};

// A listing in two answers, so that the ALSA ports are not lost with a JACK
// server that does not answer in time.
struct Listing {
    backend::Reply<std::vector<std::string>> alsa;
    backend::Reply<std::vector<std::string>> jack;
};

class SystemMidiOutService final : public MidiOutService {
public:
    SystemMidiOutService()
    {
        thread_.post([] {
            backend::JackSession::silence();
            backend::silenceAlsa();
        });
        // The first listing starts at once, while the caller goes on with
        // other things; the first question about the devices takes it.
        pending_ = postListing(true);
    }

    ~SystemMidiOutService() override
    {
        if (thread_.stuck()) {
            return;  // the thread is left to finish on its own
        }
        // A port left open is closed first; a connection still being undone
        // counts against the client's close.
        auto limit = backends_->jack.closeLimit();
        if (open_ != 0) {
            limit += openBackend_ == Backend::Alsa ? kAlsaCall : backends_->jack.disconnectLimit();
        }
        thread_.call<bool>(limit, [backends = backends_](auto& reply) {
            backends->close();
            backends->jack.close();
            reply.set(true);
        });
    }

    unsigned deviceCount() override
    {
        takeListing();
        return static_cast<unsigned>(devices_.size());
    }

    int deviceName(unsigned deviceId, std::string& name) override
    {
        takeListing();
        if (deviceId >= devices_.size()) {
            return result::kBadDeviceId;
        }
        try {
            name = devices_[deviceId].name;
        } catch (const std::bad_alloc&) {
            return result::kNoMemory;
        }
        return result::kNoError;
    }

    int open(MidiOutHandle& handle, unsigned deviceId) override
    {
        handle = 0;
        takeListing();
        if (deviceId >= devices_.size()) {
            return result::kBadDeviceId;
        }
        if (open_ != 0) {
            return result::kAllocated;
        }
        const PortEntry& entry = devices_[deviceId];
        auto& jack = backends_->jack;
        const auto limit = entry.backend == Backend::Alsa ? kAlsaCall : jack.connectLimit();
        const auto opened = request(limit, [backends = backends_, entry](auto& reply) noexcept {
            backends->close();
            if (entry.backend == Backend::Alsa) {
                const int opened = backends->alsa.open(entry);
                backends->open = opened == result::kNoError ? std::optional(Backend::Alsa) : std::nullopt;
                return reply.set(opened);
            }
            auto& jack = backends->jack;
            const int prepared = jack.prepare(entry.systemName);
            backends->open = prepared == result::kNoError ? std::optional(Backend::Jack) : std::nullopt;
            reply.set(prepared);
            // The port is there and ours: the caller goes on while the
            // connection is made, and what it sends waits in the queue until
            // the running graph carries the connection.
            if (prepared == result::kNoError && jack.connect() == result::kNoError) {
                backend::MidiThread::watch([backends] { return backends->jack.watchConnection(); }, jack.watchPause());
            }
        });
        if (opened == result::kNoError) {
            open_ = handle = nextHandle_++;
            openBackend_ = entry.backend;
        }
        return opened;
    }

    int sendShortMessage(MidiOutHandle handle, std::uint32_t word) override
    {
        return sendShortMessages(handle, std::span<const std::uint32_t>(&word, 1));
    }

    int sendShortMessages(MidiOutHandle handle, std::span<const std::uint32_t> words) override
    {
        if (handle == 0 || handle != open_) {
            return result::kInvalidHandle;
        }
        if (words.empty() || words.size() > backend::SelectionQueue::kMaxGroupSize) {
            return result::kInvalidParam;
        }
        std::array<ShortMessageBytes, backend::SelectionQueue::kMaxGroupSize> messages;
        for (std::size_t i = 0; i < words.size(); ++i) {
            messages[i] = shortMessageBytes(words[i]);
            if (messages[i].size == 0) {
                return result::kInvalidParam;
            }
        }
        auto send = [backends = backends_, messages, count = words.size()](backend::Reply<int>& reply) noexcept {
            const std::span<const ShortMessageBytes> group(messages.data(), count);
            if (!backends->open) {
                return reply.set(result::kInvalidHandle);
            }
            reply.set(*backends->open == Backend::Alsa ? backends->alsa.send(group) : backends->jack.send(group));
        };
        if (openBackend_ == Backend::Alsa) {
            return request(kAlsaCall, std::move(send));
        }
        // JACK only queues, so the caller need not wait for it, nor for a
        // server that stalls: the selection goes out once it runs again.
        if (!backends_->jack.running()) {
            return result::kNoDriver;
        }
        thread_.post([send = std::move(send)] {
            backend::Reply<int> unheard;
            send(unheard);
        });
        return result::kNoError;
    }

    int close(MidiOutHandle handle) override
    {
        if (handle == 0 || handle != open_) {
            return result::kInvalidHandle;
        }
        open_ = 0;
        const auto limit = openBackend_ == Backend::Alsa ? kAlsaCall : backends_->jack.disconnectLimit();
        return request(limit, [backends = backends_](auto& reply) noexcept {
            backends->close([&reply](int closed) { reply.set(closed); });
        });
    }

    void rescanDevices() override
    {
        takeListing();
        pending_ = postListing(false);
        takeListing();
    }

    // A re-read runs in the background from one call to the next, so that
    // the caller never waits for it.
    bool devicesChanged() override
    {
        if (!pending_) {
            pending_ = postListing(false);
            return false;
        }
        if (!pending_->replies->alsa.ready() || !pending_->replies->jack.ready()) {
            return false;
        }
        const std::vector<PortEntry> before = devices_;
        takeListing();
        pending_ = postListing(false);
        return devices_ != before;
    }

private:
    // Runs `work` on the MIDI thread; 6 when it is late or the thread is
    // stuck. A late request's port, if it opened one, is let go once it
    // returns, and the handle the caller holds is closed.
    template <typename Work>
    int request(Milliseconds limit, Work work)
    {
        const auto done = thread_.call<int>(limit, std::move(work));
        if (done) {
            return *done;
        }
        open_ = 0;
        thread_.post([backends = backends_] { backends->close(); });
        return result::kNoDriver;
    }

    struct PendingListing {
        std::shared_ptr<Listing> replies;
        std::uint64_t job = 0;
    };

    std::optional<PendingListing> postListing(bool first)
    {
        if (thread_.stuck()) {
            return std::nullopt;
        }
        auto replies = std::make_shared<Listing>();
        const std::uint64_t job = thread_.post([backends = backends_, replies, first] {
            try {
                replies->alsa.set(backends->alsa.portNames());
                auto& jack = backends->jack;
                // No server, no JACK ports.
                replies->jack.set(jack.open() == result::kNoError ? jack.midiInputPorts() : std::vector<std::string>{});
                if (first) {
                    // The port an open will connect, made ready before anyone
                    // waits for it.
                    jack.start();
                }
            } catch (const std::bad_alloc&) {
                replies->alsa.set({});
                replies->jack.set({});
            }
        });
        return PendingListing{std::move(replies), job};
    }

    // Waits for the listing posted last, if it has not been taken yet. A JACK
    // server that does not answer in time leaves the JACK part of the list as
    // it was.
    void takeListing()
    {
        if (!pending_) {
            return;
        }
        const PendingListing pending = std::move(*pending_);
        pending_.reset();
        std::optional<std::vector<std::string>> jackNames;
        auto alsaNames = pending.replies->alsa.waitFor(kAlsaCall);
        if (alsaNames) {
            jackNames = pending.replies->jack.waitFor(backends_->jack.listLimit());
        } else {
            alsaNames.emplace();
        }
        if (!jackNames) {
            thread_.giveUpOn(pending.job);
            jackNames.emplace();
            for (const PortEntry& entry : devices_) {
                if (entry.backend == Backend::Jack) {
                    jackNames->push_back(entry.systemName);
                }
            }
        }
        try {
            devices_ = backend::combinedPortList(*alsaNames, *jackNames);
        } catch (const std::bad_alloc&) {
        }
    }

    std::shared_ptr<Backends> backends_ = std::make_shared<Backends>();
    backend::MidiThread thread_;
    std::optional<PendingListing> pending_;
    // The list as enumerated last; identifiers are positions in it.
    std::vector<PortEntry> devices_;
    // The one open port's token. Tokens are never reused, so a stale handle
    // cannot reach a later port.
    MidiOutHandle open_ = 0;
    Backend openBackend_ = Backend::Alsa;
    MidiOutHandle nextHandle_ = 1;
};

}  // namespace

std::unique_ptr<MidiOutService> createSystemMidiOutService()
{
    return std::make_unique<SystemMidiOutService>();
}

}  // namespace tavrelle::midi
