#include "midi/alsa_output.h"

#include "midi/midi_out_service.h"

#include <RtMidi.h>
#include <alsa/asoundlib.h>

#include <algorithm>
#include <mutex>

namespace tavrelle::midi::system {

namespace {

constexpr const char* kClientName = "tavrelle";
constexpr const char* kPortName = "out";

void ignoreAlsaMessage(const char*, int, const char*, int, const char*, ...) {}

void silenceAlsa()
{
    static std::once_flag once;
    std::call_once(once, [] { snd_lib_error_set_handler(&ignoreAlsaMessage); });
}

// RtMidi reports through this instead of printing and throwing once a
// callback is set; the last failure since `clear` is kept.
struct RtMidiFailures {
    bool failed = false;
    RtMidiError::Type type = RtMidiError::UNSPECIFIED;

    void clear() { failed = false; }
};

void recordRtMidiFailure(RtMidiError::Type type, const std::string&, void* userData)
{
    auto& failures = *static_cast<RtMidiFailures*>(userData);
    failures.failed = true;
    failures.type = type;
}

// RtMidi's failures after construction, as result codes.
//   NO_DEVICES_FOUND, INVALID_PARAMETER, INVALID_DEVICE: only raised by an
//     open whose port number no longer exists, so the port is gone -> 2
//   MEMORY_ERROR -> 7
//   everything else (DRIVER_ERROR, a WARNING from a failed send, ...) -> 1
int resultFromRtMidiFailure(RtMidiError::Type type)
{
    switch (type) {
    case RtMidiError::NO_DEVICES_FOUND:
    case RtMidiError::INVALID_DEVICE:
    case RtMidiError::INVALID_PARAMETER:
        return result::kBadDeviceId;
    case RtMidiError::MEMORY_ERROR:
        return result::kNoMemory;
    default:
        return result::kError;
    }
}

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

// A silent RtMidi client of the sequencer: 0, 6 when there is no sequencer,
// 7 when RtMidi ran out of memory.
int createRtMidiOut(std::unique_ptr<RtMidiOut>& midi, RtMidiFailures& failures)
{
    silenceAlsa();
    if (!alsaCompiledIntoRtMidi() || !sequencerReachable()) {
        return result::kNoDriver;
    }
    try {
        midi = std::make_unique<RtMidiOut>(RtMidi::LINUX_ALSA, kClientName);
    } catch (const RtMidiError& error) {
        return error.getType() == RtMidiError::MEMORY_ERROR ? result::kNoMemory : result::kNoDriver;
    }
    midi->setErrorCallback(&recordRtMidiFailure, &failures);
    return result::kNoError;
}

std::vector<std::string> portNamesOf(RtMidiOut& midi, RtMidiFailures& failures)
{
    std::vector<std::string> names;
    const unsigned count = midi.getPortCount();
    names.reserve(count);
    for (unsigned i = 0; i < count; ++i) {
        failures.clear();
        std::string name = midi.getPortName(i);
        // A port that left while the list was read is reported without a name.
        if (failures.failed || name.empty()) {
            break;
        }
        names.push_back(std::move(name));
    }
    return names;
}

class AlsaOutput final : public SystemOutput {
public:
    int open(const PortEntry& entry)
    {
        if (const int created = createRtMidiOut(midi_, failures_); created != result::kNoError) {
            return created;
        }
        const std::vector<std::string> names = portNamesOf(*midi_, failures_);
        const auto index = findAlsaPort(names, entry);
        if (!index) {
            midi_.reset();
            return result::kBadDeviceId;
        }
        failures_.clear();
        midi_->openPort(static_cast<unsigned>(*index), kPortName);
        if (failures_.failed || !midi_->isPortOpen()) {
            const int failure = failures_.failed ? resultFromRtMidiFailure(failures_.type) : result::kError;
            midi_.reset();
            return failure;
        }
        // RtMidi opens by position; a list that shifted in between may have
        // connected another port, which must not be kept.
        failures_.clear();
        if (midi_->getPortName(static_cast<unsigned>(*index)) != names[*index]) {
            midi_.reset();
            return result::kBadDeviceId;
        }
        return result::kNoError;
    }

    int send(const ShortMessageBytes& message) override
    {
        failures_.clear();
        midi_->sendMessage(message.bytes.data(), message.size);
        return failures_.failed ? resultFromRtMidiFailure(failures_.type) : result::kNoError;
    }

    // RtMidi drains the sequencer's output after every message, so there is
    // nothing left to wait for.
    int close() override
    {
        midi_->closePort();
        midi_.reset();
        return result::kNoError;
    }

private:
    RtMidiFailures failures_;
    std::unique_ptr<RtMidiOut> midi_;
};

}  // namespace

std::vector<std::string> alsaOutputPortNames()
{
    RtMidiFailures failures;
    std::unique_ptr<RtMidiOut> midi;
    if (createRtMidiOut(midi, failures) != result::kNoError) {
        return {};
    }
    return portNamesOf(*midi, failures);
}

int openAlsaOutput(const PortEntry& entry, std::unique_ptr<SystemOutput>& output)
{
    auto port = std::make_unique<AlsaOutput>();
    if (const int opened = port->open(entry); opened != result::kNoError) {
        return opened;
    }
    output = std::move(port);
    return result::kNoError;
}

}  // namespace tavrelle::midi::system
