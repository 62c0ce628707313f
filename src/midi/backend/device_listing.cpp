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

std::optional<Milliseconds> IdleLooks::operator()()
{
    using Clock = std::chrono::steady_clock;
    auto now = Clock::now();
    JackOutput& jack = *jack_;
    if (jack.activateAt && now >= *jack.activateAt) {
        jack.activateAt.reset();
        // The server tells only an active client of ports: one that came
        // between the listing's answer and now is told here.
        if (!jack.jack.absent() && !jack.jack.active() && jack.jack.activate() == result::kNoError &&
            portsChangedSince(jack.jack, jack.listedBeforeActivation)) {
            (*notify_)();
        }
        now = Clock::now();
    }
    if (!jack.jack.absent() && alsaThere_->load()) {
        absentLookAt_.reset();
    } else if (!absentLookAt_) {
        absentLookAt_ = now + kAbsentRetry;
    } else if (now >= *absentLookAt_) {
        // Told once until listed again: the listing asked for then looks with a client.
        if ((jack.jack.absent() && jackServerReachable()) ||
            (!alsaThere_->load() && access("/dev/snd/seq", F_OK) == 0)) {
            (*notify_)();
        }
        absentLookAt_ = now + kAbsentRetry;
    }
    std::optional<Clock::time_point> next = absentLookAt_;
    if (jack.activateAt && (!next || *jack.activateAt < *next)) {
        next = jack.activateAt;
    }
    if (!next) {
        return std::nullopt;
    }
    return std::chrono::ceil<Milliseconds>(*next - now);
}

DeviceListing::DeviceListing(AlsaClient& alsa, MidiThread& thread, std::shared_ptr<JackOutput> jack,
                             std::shared_ptr<std::atomic<bool>> alsaThere)
    : alsa_(alsa), thread_(thread), jack_(std::move(jack)), alsaThere_(std::move(alsaThere))
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
    const std::uint64_t job = thread_.post([jack = jack_, reply] {
        auto& session = jack->jack;
        std::vector<std::string> answered;
        try {
            answered = session.midiInputPorts();
        } catch (const std::bad_alloc&) {
        }
        reply->set_value(answered);
        // Made ready after the answer, before anyone waits for it. The open
        // that follows activates the client, or else the thread a moment
        // later; from then on the server reports the ports that come and go.
        if (session.start() == result::kNoError && !session.active()) {
            jack->activateAt = std::chrono::steady_clock::now() + kActivateAfter;
            jack->listedBeforeActivation = std::move(answered);
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
