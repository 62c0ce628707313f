#include "device_listing.h"

#include "deadlines.h"
#include "pipewire_jack.h"

#include "midi/midi_out_service.h"

#include <unistd.h>

#include <new>
#include <utility>

namespace tavrelle::midi::backend {

namespace {

bool portsChangedSince(JackSession& session, const std::vector<std::string>& answered)
{
    try {
        return session.midiInputPorts() != answered;
    } catch (const std::bad_alloc&) {
        return true;
    }
}

}  // namespace

void lookForAbsentSystems(const std::shared_ptr<JackOutput>& jack, const std::shared_ptr<Notifier>& notify,
                          const std::shared_ptr<std::atomic<bool>>& alsaThere)
{
    if (jack->watchingConnection || (!jack->jack.absent() && alsaThere->load())) {
        return;
    }
    MidiThread::watch(
        [jack, notify, alsaThere] {
            const bool jackAbsent = jack->jack.absent();
            const bool alsaAbsent = !alsaThere->load();
            if ((jackAbsent && jackServerReachable()) || (alsaAbsent && access("/dev/snd/seq", F_OK) == 0)) {
                (*notify)();
                return false;
            }
            return jackAbsent || alsaAbsent;
        },
        kAbsentRetry);
}

DeviceListing::DeviceListing(AlsaClient& alsa, MidiThread& thread, std::shared_ptr<JackOutput> jack,
                             std::shared_ptr<Notifier> notify)
    : alsa_(alsa), thread_(thread), jack_(std::move(jack)), notify_(std::move(notify))
{
    // At once; the first question about the devices takes the answer.
    pending_ = askJack();
}

void DeviceListing::relist()
{
    stale_ = true;
    pending_ = askJack();
}

std::optional<DeviceListing::Pending> DeviceListing::askJack()
{
    if (thread_.stuck()) {
        return std::nullopt;
    }
    auto reply = std::make_shared<std::promise<std::vector<std::string>>>();
    auto answer = reply->get_future();
    const std::uint64_t job = thread_.post([jack = jack_, reply, notify = notify_, alsaThere = alsaThere_] {
        auto& session = jack->jack;
        std::vector<std::string> answered;
        try {
            answered = session.midiInputPorts();
        } catch (const std::bad_alloc&) {
        }
        reply->set_value(answered);
        // Made ready after the answer, before anyone waits for it. The open
        // that follows activates the client, or else a moment later; from then
        // on the server reports the ports that come and go.
        if (session.start() == result::kNoError && !session.active() && !jack->watchingConnection) {
            MidiThread::watch(
                [jack, notify, alsaThere, answered = std::move(answered)] {
                    // The server tells only an active client of ports: one
                    // that came between the answer and now is told here.
                    if (jack->jack.activate() == result::kNoError && portsChangedSince(jack->jack, answered)) {
                        (*notify)();
                    }
                    lookForAbsentSystems(jack, notify, alsaThere);
                    return false;
                },
                kActivateAfter);
        } else {
            lookForAbsentSystems(jack, notify, alsaThere);
        }
    });
    return Pending{std::move(answer), job};
}

const std::vector<PortEntry>& DeviceListing::devices()
{
    if (!stale_ && !pending_) {
        return devices_;
    }
    stale_ = false;
    // Announcements read first: any that come later wake the MIDI thread.
    alsaLeft_ = alsa_.readAnnouncementsForOpenPortLeft() || alsaLeft_;
    const std::vector<std::string> alsaNames = alsa_.portNames();
    alsaThere_->store(alsa_.connected());
    thread_.watchDescriptor(alsa_.descriptor());
    if (pending_) {
        if (auto jackNames = thread_.waitFor(pending_->answer, kListingDeadline, pending_->job)) {
            jackNames_ = std::move(*jackNames);
        }
        pending_.reset();
    }
    try {
        devices_ = combinedPortList(alsaNames, jackNames_);
    } catch (const std::bad_alloc&) {
    }
    return devices_;
}

}  // namespace tavrelle::midi::backend
