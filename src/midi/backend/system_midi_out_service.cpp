// The MIDI output service over the machine's MIDI system: ALSA sequencer
// ports, then JACK MIDI input ports, then ALSA's Midi Through ports.
//
// ALSA is called on the caller's thread: the sequencer answers at once.
// libjack is called on the MIDI thread, each request with a deadline
// (deadlines.h), so a stuck JACK server holds up neither the window nor ALSA;
// a late request fails with 6. What either system announces wakes the
// caller's callback, which rescans.
//
// A JACK send only queues: 0 once queued, and a full queue lets its oldest
// selections go to take the new one. A close answers 6 when the JACK server
// has gone or stalls (what was queued is delivered if it runs again), and 1
// when it ran cycles but did not deliver; the handle is closed either way.
#include "alsa_output.h"
#include "deadlines.h"
#include "jack_session.h"
#include "midi_thread.h"
#include "pipewire_jack.h"
#include "port_list.h"
#include "selection_queue.h"

#include "midi/midi_out_service.h"
#include "midi/short_message.h"

#include <unistd.h>

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

// The caller's callback, reachable from libjack's and the MIDI thread. A
// burst of changes is told once: the next news is told only after the
// caller has listed the devices again.
class Notifier {
public:
    void set(std::function<void()> changed)
    {
        std::lock_guard lock(mutex_);
        changed_ = std::move(changed);
        told_ = false;
    }
    void operator()()
    {
        std::lock_guard lock(mutex_);
        if (changed_ && !std::exchange(told_, true)) {
            changed_();
        }
    }
    void listed()
    {
        std::lock_guard lock(mutex_);
        told_ = false;
    }

private:
    std::mutex mutex_;
    std::function<void()> changed_;
    bool told_ = false;
};

// What the MIDI thread owns: the JACK client and whether a port is open on it.
struct JackSide {
    explicit JackSide(const std::shared_ptr<Notifier>& notify) : jack([notify] { (*notify)(); }) {}

    backend::JackSession jack;
    bool open = false;
    // The MIDI thread's one timed look is watching a new connection.
    bool watchingConnection = false;

    // Lets go of the open port once what was sent through it is delivered;
    // `answer` hears the result before the connection is undone, so the
    // caller need not wait for the server's graph. A stalled server gets
    // what was sent when it runs again; the caller hears at once, and later
    // requests fail until then.
    void close(const std::function<void(int)>& answer = [](int) {})
    {
        if (!std::exchange(open, false)) {
            return answer(result::kInvalidHandle);
        }
        bool answered = false;
        const int drained = jack.drain([&] {
            answered = true;
            answer(result::kNoDriver);
            backend::MidiThread::giveUpOnCurrent();
        });
        if (!answered) {
            answer(drained);
        }
        jack.disconnect();
    }
};

class SystemMidiOutService final : public MidiOutService {
public:
    explicit SystemMidiOutService(backend::AlsaClient::Connect connect) : alsa_(std::move(connect))
    {
        // The JACK listing starts at once, while the caller goes on with
        // other things; the first question about the devices takes it.
        pending_ = postJackListing();
    }

    ~SystemMidiOutService() override
    {
        notify_->set({});
        thread_.watchDescriptor(-1);
        // A thread that is stuck, or busy with a server that stalls, is left
        // to finish on its own.
        if (!thread_.call<bool>(backend::kStallNoticed, [](auto& reply) { reply.set_value(true); })) {
            return;
        }
        thread_.call<bool>(backend::kCloseDeadline, [jack = jack_](auto& reply) {
            jack->close();
            jack->jack.close();
            reply.set_value(true);
        });
    }

    // What changed before there was anyone to tell is told at once: the
    // sequencer is watched again only once its news were read.
    void setDevicesChangedCallback(std::function<void()> changed) override
    {
        notify_->set(std::move(changed));
        (*notify_)();
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
        alsaLeft_ = false;
        const int opened = entry.backend == Backend::Alsa ? alsa_.open(entry) : openJack(entry);
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
        if (openBackend_ == Backend::Alsa) {
            return alsa_.send(std::span<const ShortMessageBytes>(messages.data(), words.size()));
        }
        if (!jack_->jack.running()) {
            return result::kNoDriver;
        }
        thread_.post([jack = jack_, messages, count = words.size()] {
            if (jack->open) {
                jack->jack.send(std::span<const ShortMessageBytes>(messages.data(), count));
            }
        });
        return result::kNoError;
    }

    int close(MidiOutHandle handle) override
    {
        if (handle == 0 || handle != open_) {
            return result::kInvalidHandle;
        }
        open_ = 0;
        if (openBackend_ == Backend::Alsa) {
            return alsa_.close();
        }
        return request(backend::kCloseDeadline,
                       [jack = jack_](auto& reply) noexcept { jack->close([&reply](int closed) { reply.set_value(closed); }); });
    }

    void rescanDevices() override
    {
        // News from here on is about a list newer than this one.
        notify_->listed();
        stale_ = true;
        // One still pending may have been made before the news.
        pending_ = postJackListing();
        takeListing();
    }

    bool deviceLeft(MidiOutHandle handle) override
    {
        if (handle == 0 || handle != open_) {
            return false;
        }
        return openBackend_ == Backend::Alsa ? alsaLeft_ : jack_->jack.deviceLeft();
    }

private:
    int openJack(const PortEntry& entry)
    {
        return request(backend::kOpenDeadline, [jack = jack_, notify = notify_, alsaThere = alsaThere_,
                                                target = entry.systemName](auto& reply) noexcept {
            jack->close();
            const int prepared = jack->jack.prepare(target);
            jack->open = prepared == result::kNoError;
            reply.set_value(prepared);
            // The port is there and ours: the caller goes on while the
            // connection is made, and what it sends waits in the queue until
            // the running graph carries the connection.
            if (prepared == result::kNoError && jack->jack.connect() == result::kNoError) {
                jack->watchingConnection = true;
                backend::MidiThread::watch(
                    [jack, notify, alsaThere] {
                        jack->watchingConnection = jack->jack.watchConnection();
                        if (!jack->watchingConnection) {
                            watchAbsent(jack, notify, alsaThere);
                        }
                        return jack->watchingConnection;
                    },
                    5ms);
            }
        });
    }

    // On the MIDI thread: while a system is absent, looks for it every few
    // seconds, at its socket or device file, never with a client.
    static void watchAbsent(const std::shared_ptr<JackSide>& jack, const std::shared_ptr<Notifier>& notify,
                            const std::shared_ptr<std::atomic<bool>>& alsaThere)
    {
        if (jack->watchingConnection || (!jack->jack.absent() && alsaThere->load())) {
            return;
        }
        backend::MidiThread::watch(
            [jack, notify, alsaThere] {
                const bool jackAbsent = jack->jack.absent();
                const bool alsaAbsent = !alsaThere->load();
                if ((jackAbsent && backend::jackServerReachable()) || (alsaAbsent && access("/dev/snd/seq", F_OK) == 0)) {
                    (*notify)();
                    return false;
                }
                return jackAbsent || alsaAbsent;
            },
            backend::kAbsentRetry);
    }

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
        thread_.post([jack = jack_] { jack->close(); });
        return result::kNoDriver;
    }

    struct PendingListing {
        std::future<std::vector<std::string>> answer;
        std::uint64_t job = 0;
    };

    std::optional<PendingListing> postJackListing()
    {
        if (thread_.stuck()) {
            return std::nullopt;
        }
        auto reply = std::make_shared<std::promise<std::vector<std::string>>>();
        auto answer = reply->get_future();
        const std::uint64_t job =
            thread_.post([jack = jack_, reply, notify = notify_, alsaThere = alsaThere_] {
                auto& session = jack->jack;
                try {
                    reply->set_value(session.midiInputPorts());
                } catch (const std::bad_alloc&) {
                    reply->set_value({});
                }
                // The port an open will connect, made ready after the answer,
                // before anyone waits for it. The client is activated by the
                // open that follows, or else a moment later: from then on the
                // server reports the ports that come and go.
                if (session.start() == result::kNoError && !session.active() && !jack->watchingConnection) {
                    backend::MidiThread::watch(
                        [jack, notify, alsaThere] {
                            jack->jack.activate();
                            watchAbsent(jack, notify, alsaThere);
                            return false;
                        },
                        backend::kActivateAfter);
                } else {
                    watchAbsent(jack, notify, alsaThere);
                }
            });
        return PendingListing{std::move(answer), job};
    }

    // Reads the ALSA ports and takes the JACK listing posted last, if it has
    // not been taken yet. A JACK server that does not answer in time leaves
    // the JACK part of the list as it was.
    void takeListing()
    {
        if (!stale_ && !pending_) {
            return;
        }
        stale_ = false;
        // Announcements read first: any that come later wake the MIDI thread.
        alsaLeft_ = alsa_.takeOpenPortLeft() || alsaLeft_;
        const std::vector<std::string> alsaNames = alsa_.portNames();
        alsaThere_->store(alsa_.connected());
        thread_.watchDescriptor(alsa_.descriptor());
        if (pending_) {
            if (auto jackNames = thread_.waitFor(pending_->answer, backend::kListingDeadline, pending_->job)) {
                jackNames_ = std::move(*jackNames);
            }
            pending_.reset();
        }
        try {
            devices_ = backend::combinedPortList(alsaNames, jackNames_);
        } catch (const std::bad_alloc&) {
        }
    }

    std::shared_ptr<Notifier> notify_ = std::make_shared<Notifier>();
    std::shared_ptr<JackSide> jack_ = std::make_shared<JackSide>(notify_);
    std::shared_ptr<std::atomic<bool>> alsaThere_ = std::make_shared<std::atomic<bool>>(false);
    backend::AlsaClient alsa_;
    bool alsaLeft_ = false;
    backend::MidiThread thread_{[notify = notify_] { (*notify)(); }};
    std::optional<PendingListing> pending_;
    bool stale_ = true;
    // The JACK ports as the server answered last.
    std::vector<std::string> jackNames_;
    // The list as enumerated last; identifiers are positions in it.
    std::vector<PortEntry> devices_;
    // The one open port's token. Tokens are never reused, so a stale handle
    // cannot reach a later port.
    MidiOutHandle open_ = 0;
    Backend openBackend_ = Backend::Alsa;
    MidiOutHandle nextHandle_ = 1;
};

}  // namespace

namespace backend {
std::unique_ptr<MidiOutService> createSystemMidiOutService(AlsaClient::Connect connect)
{
    return std::make_unique<SystemMidiOutService>(std::move(connect));
}
}  // namespace backend

std::unique_ptr<MidiOutService> createSystemMidiOutService()
{
    return backend::createSystemMidiOutService(&backend::connectAlsaSequencer);
}

}  // namespace tavrelle::midi
