// ALSA is called on the caller's thread, as the sequencer answers at once;
// libjack on the MIDI thread, each request with a deadline, so that a stuck
// JACK server holds up neither the window nor ALSA. A JACK send only queues;
// a close answers 6 when the server has gone or stalls (what was queued goes
// out if it runs again), and 1 when it ran cycles but did not deliver.
#include "alsa_output.h"
#include "deadlines.h"
#include "device_listing.h"
#include "jack_output.h"
#include "midi_thread.h"
#include "notifier.h"
#include "selection_queue.h"

#include "midi/midi_out_service.h"
#include "midi/short_message.h"

#include <array>
#include <atomic>
#include <new>
#include <vector>

namespace tavrelle::midi {

namespace {

using backend::Backend;
using backend::JackOutput;
using backend::Milliseconds;
using backend::PortEntry;

class SystemMidiOutService final : public MidiOutService {
public:
    explicit SystemMidiOutService(backend::AlsaClient::Connect connect) : alsa_(std::move(connect))
    {
        jack_->jack.tellConnectionNews([post = thread_.poster(), jack = std::weak_ptr<JackOutput>(jack_)] {
            post([jack] {
                if (const auto output = jack.lock()) {
                    output->jack.checkConnection();
                }
            });
        });
    }

    ~SystemMidiOutService() override
    {
        notify_->set({});
        thread_.watchDescriptor(-1);
        // A stuck thread, or one busy with a stalling server, finishes alone.
        if (!thread_.call<bool>(backend::kStallNoticed, [](auto& reply) { reply.set_value(true); })) {
            return;
        }
        thread_.call<bool>(backend::kCloseDeadline, [jack = jack_](auto& reply) {
            jack->closePort();
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

    unsigned deviceCount() override { return static_cast<unsigned>(listing_.devices().size()); }

    int deviceName(unsigned deviceId, std::string& name) override
    {
        const auto& devices = listing_.devices();
        if (deviceId >= devices.size()) {
            return result::kBadDeviceId;
        }
        try {
            name = devices[deviceId].name;
        } catch (const std::bad_alloc&) {
            return result::kNoMemory;
        }
        return result::kNoError;
    }

    int open(MidiOutHandle& handle, unsigned deviceId) override
    {
        handle = 0;
        const auto& devices = listing_.devices();
        if (deviceId >= devices.size()) {
            return result::kBadDeviceId;
        }
        if (open_ != 0) {
            return result::kAllocated;
        }
        const PortEntry& entry = devices[deviceId];
        listing_.alsaPortOpened();
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
        return request(backend::kCloseDeadline, [jack = jack_](auto& reply) noexcept {
            jack->closePort([&reply](int closed) { reply.set_value(closed); });
        });
    }

    void rescanDevices() override
    {
        // News from here on is about a list newer than this one.
        notify_->listed();
        listing_.relist();
        listing_.devices();
    }

    bool deviceLeft(MidiOutHandle handle) override
    {
        if (handle == 0 || handle != open_) {
            return false;
        }
        return openBackend_ == Backend::Alsa ? listing_.alsaPortLeft() : jack_->jack.deviceLeft();
    }

private:
    int openJack(const PortEntry& entry)
    {
        return request(backend::kOpenDeadline, [jack = jack_, target = entry.systemName](auto& reply) noexcept {
            jack->closePort();
            const int prepared = jack->jack.prepare(target);
            jack->open = prepared == result::kNoError;
            reply.set_value(prepared);
            // The caller goes on while the connection is made.
            if (prepared == result::kNoError) {
                jack->jack.connect();
            }
        });
    }

    // A late request's port, if it opened one, is let go once it returns.
    template <typename Work>
    int request(Milliseconds limit, Work work)
    {
        const auto done = thread_.call<int>(limit, std::move(work));
        if (done) {
            return *done;
        }
        open_ = 0;
        thread_.post([jack = jack_] { jack->closePort(); });
        return result::kNoDriver;
    }

    std::shared_ptr<backend::Notifier> notify_ = std::make_shared<backend::Notifier>();
    std::shared_ptr<JackOutput> jack_ = std::make_shared<JackOutput>(notify_);
    backend::AlsaClient alsa_;
    std::shared_ptr<std::atomic<bool>> alsaThere_ = std::make_shared<std::atomic<bool>>(false);
    backend::MidiThread thread_{[notify = notify_] { (*notify)(); }, backend::IdleLooks(jack_, notify_, alsaThere_)};
    backend::DeviceListing listing_{alsa_, thread_, jack_, alsaThere_};
    // Tokens are never reused, so a stale handle cannot reach a later port.
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
