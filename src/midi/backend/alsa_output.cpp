#include "alsa_output.h"

#include "midi/midi_out_service.h"

#include <RtMidi.h>
#include <alsa/asoundlib.h>

#include <algorithm>
#include <mutex>
#include <utility>

namespace tavrelle::midi::backend {

namespace {

constexpr const char* kClientName = "tavrelle";
constexpr const char* kPortName = "out";

void ignoreAlsaMessage(const char*, int, const char*, int, const char*, ...) {}


// RtMidi's failures after construction:
//   NO_DEVICES_FOUND, INVALID_PARAMETER, INVALID_DEVICE: only raised by an
//     open whose port number no longer exists, so the port is gone
//   MEMORY_ERROR: memory
//   everything else (DRIVER_ERROR, a WARNING from a failed send, ...): other
AlsaSequencer::Failure failureOf(RtMidiError::Type type)
{
    switch (type) {
    case RtMidiError::NO_DEVICES_FOUND:
    case RtMidiError::INVALID_DEVICE:
    case RtMidiError::INVALID_PARAMETER:
        return AlsaSequencer::Failure::portGone;
    case RtMidiError::MEMORY_ERROR:
        return AlsaSequencer::Failure::noMemory;
    default:
        return AlsaSequencer::Failure::other;
    }
}

class RtMidiSequencer final : public AlsaSequencer {
public:
    explicit RtMidiSequencer(std::unique_ptr<RtMidiOut> midi) : midi_(std::move(midi))
    {
        // With a callback set RtMidi reports here instead of printing and
        // throwing.
        midi_->setErrorCallback(&RtMidiSequencer::record, this);
    }

    unsigned portCount() override { return midi_->getPortCount(); }
    std::string portName(unsigned port) override { return midi_->getPortName(port); }
    void openPort(unsigned port) override { midi_->openPort(port, kPortName); }
    bool isPortOpen() override { return midi_->isPortOpen(); }
    void sendMessage(const unsigned char* bytes, std::size_t size) override { midi_->sendMessage(bytes, size); }
    void closePort() override { midi_->closePort(); }
    Failure takeFailure() override { return std::exchange(failure_, Failure::none); }

private:
    static void record(RtMidiError::Type type, const std::string&, void* self)
    {
        static_cast<RtMidiSequencer*>(self)->failure_ = failureOf(type);
    }

    std::unique_ptr<RtMidiOut> midi_;
    Failure failure_ = Failure::none;
};

bool alsaCompiledIntoRtMidi()
{
    std::vector<RtMidi::Api> apis;
    RtMidi::getCompiledApi(apis);
    return std::find(apis.begin(), apis.end(), RtMidi::LINUX_ALSA) != apis.end();
}

// RtMidi prints before it throws from a constructor, whatever callback is
// set later, so the sequencer is tried first without it.
bool sequencerReachable()
{
    snd_seq_t* seq = nullptr;
    if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_OUTPUT, SND_SEQ_NONBLOCK) < 0) {
        return false;
    }
    snd_seq_close(seq);
    return true;
}

}  // namespace

void silenceAlsa()
{
    static std::once_flag once;
    std::call_once(once, [] { snd_lib_error_set_handler(&ignoreAlsaMessage); });
}

int connectAlsaSequencer(std::unique_ptr<AlsaSequencer>& sequencer)
{
    silenceAlsa();
    if (!alsaCompiledIntoRtMidi() || !sequencerReachable()) {
        return result::kNoDriver;
    }
    try {
        sequencer = std::make_unique<RtMidiSequencer>(std::make_unique<RtMidiOut>(RtMidi::LINUX_ALSA, kClientName));
    } catch (const RtMidiError& error) {
        return error.getType() == RtMidiError::MEMORY_ERROR ? result::kNoMemory : result::kNoDriver;
    }
    return result::kNoError;
}

int AlsaClient::resultOf(AlsaSequencer::Failure failure)
{
    switch (failure) {
    case AlsaSequencer::Failure::none: return result::kNoError;
    case AlsaSequencer::Failure::portGone: return result::kBadDeviceId;
    case AlsaSequencer::Failure::noMemory: return result::kNoMemory;
    case AlsaSequencer::Failure::other: break;
    }
    return result::kError;
}

int AlsaClient::connect()
{
    return sequencer_ ? result::kNoError : connect_(sequencer_);
}

std::vector<std::string> AlsaClient::portNames()
{
    std::vector<std::string> names;
    if (connect() != result::kNoError) {
        return names;
    }
    sequencer_->takeFailure();
    const unsigned count = sequencer_->portCount();
    names.reserve(count);
    for (unsigned i = 0; i < count; ++i) {
        std::string name = sequencer_->portName(i);
        // A port that left while the list was read is reported without a name.
        if (sequencer_->takeFailure() != AlsaSequencer::Failure::none || name.empty()) {
            break;
        }
        names.push_back(std::move(name));
    }
    return names;
}

int AlsaClient::open(const PortEntry& entry)
{
    if (const int connected = connect(); connected != result::kNoError) {
        return connected;
    }
    const std::vector<std::string> names = portNames();
    const auto index = findAlsaPort(names, entry);
    if (!index) {
        return resultOf(AlsaSequencer::Failure::portGone);
    }
    const auto port = static_cast<unsigned>(*index);
    sequencer_->takeFailure();
    sequencer_->openPort(port);
    if (const auto failure = sequencer_->takeFailure(); failure != AlsaSequencer::Failure::none) {
        return resultOf(failure);
    }
    if (!sequencer_->isPortOpen()) {
        return resultOf(AlsaSequencer::Failure::other);
    }
    // RtMidi opens by position; a list that shifted in between may have
    // connected another port, which must not be kept.
    if (sequencer_->portName(port) != names[port]) {
        close();
        return resultOf(AlsaSequencer::Failure::portGone);
    }
    return result::kNoError;
}

int AlsaClient::send(std::span<const ShortMessageBytes> messages)
{
    if (!sequencer_ || !sequencer_->isPortOpen()) {
        return result::kInvalidHandle;
    }
    for (const ShortMessageBytes& message : messages) {
        sequencer_->takeFailure();
        sequencer_->sendMessage(message.bytes.data(), message.size);
        if (const auto failure = sequencer_->takeFailure(); failure != AlsaSequencer::Failure::none) {
            return resultOf(failure);
        }
    }
    return result::kNoError;
}

int AlsaClient::close()
{
    if (sequencer_) {
        sequencer_->closePort();
        sequencer_->takeFailure();
    }
    return result::kNoError;
}

}  // namespace tavrelle::midi::backend
