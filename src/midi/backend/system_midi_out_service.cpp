// The MIDI output service over the machine's MIDI system: ALSA sequencer
// ports, then JACK MIDI input ports, then ALSA's Midi Through ports.
//
// Result codes, by operation:
//   deviceName  0; 2 identifier beyond the device list; 7 out of memory
//   open        0; 2 identifier beyond the list, or the port enumerated under
//               it is gone (nothing is opened then); 6 the port's backend
//               cannot be reached (no ALSA sequencer, no JACK server, or a
//               JACK server that does not answer in time); 7 out of memory;
//               1 anything else (the port could not be created or connected)
//   send        0 queued (JACK) or sent (ALSA); 5 handle not open; 11 word
//               that is not a short message, or more than four words sent
//               as one; 6 the JACK server has gone; 1 ALSA refused the
//               message. A JACK queue that is full lets its oldest
//               selections go to take the new one.
//   close       0 everything sent was delivered; 5 handle not open; 6 the
//               JACK server has gone, so what was still queued is lost;
//               1 the JACK server did not run the cycles to deliver it in
//               time. The handle is closed whatever the result.
#include "alsa_output.h"
#include "jack_output.h"
#include "output.h"
#include "port_list.h"
#include "selection_queue.h"

#include "midi/midi_out_service.h"
#include "midi/short_message.h"

#include <map>
#include <new>
#include <optional>
#include <vector>

namespace tavrelle::midi {

namespace {

using backend::Backend;
using backend::JackClient;
using backend::Output;
using backend::PortEntry;

class SystemMidiOutService final : public MidiOutService {
public:
    SystemMidiOutService()
    {
        backend::silenceJack();
        backend::silenceAlsa();
    }

    ~SystemMidiOutService() override
    {
        for (auto& [handle, output] : open_) {
            output->close();
        }
    }

    unsigned deviceCount() override
    {
        const auto* list = devices();
        return list != nullptr ? static_cast<unsigned>(list->size()) : 0;
    }

    int deviceName(unsigned deviceId, std::string& name) override
    {
        const auto* list = devices();
        if (list == nullptr) {
            return result::kNoMemory;
        }
        if (deviceId >= list->size()) {
            return result::kBadDeviceId;
        }
        try {
            name = (*list)[deviceId].name;
        } catch (const std::bad_alloc&) {
            return result::kNoMemory;
        }
        return result::kNoError;
    }

    int open(MidiOutHandle& handle, unsigned deviceId) override
    {
        handle = 0;
        try {
            const auto* list = devices();
            if (list == nullptr) {
                return result::kNoMemory;
            }
            if (deviceId >= list->size()) {
                return result::kBadDeviceId;
            }
            const PortEntry& entry = (*list)[deviceId];
            std::unique_ptr<Output> output;
            int opened = result::kNoError;
            if (entry.backend == Backend::Alsa) {
                std::unique_ptr<backend::AlsaSequencer> sequencer;
                opened = backend::connectAlsaSequencer(sequencer);
                if (opened == result::kNoError) {
                    opened = backend::openAlsaOutput(std::move(sequencer), entry, output);
                }
            } else {
                // The client that listed the ports saves the open the round
                // trips of a client of its own.
                opened = backend::openJackOutput(entry.systemName, output, std::move(listingClient_));
            }
            if (opened != result::kNoError) {
                return opened;
            }
            const MidiOutHandle token = nextHandle_;
            open_.emplace(token, std::move(output));
            ++nextHandle_;
            handle = token;
            return result::kNoError;
        } catch (const std::bad_alloc&) {
            return result::kNoMemory;
        }
    }

    int sendShortMessage(MidiOutHandle handle, std::uint32_t word) override
    {
        return sendShortMessages(handle, std::span<const std::uint32_t>(&word, 1));
    }

    int sendShortMessages(MidiOutHandle handle, std::span<const std::uint32_t> words) override
    {
        const auto found = open_.find(handle);
        if (found == open_.end()) {
            return result::kInvalidHandle;
        }
        if (words.empty() || words.size() > backend::SelectionQueue::kMaxGroupSize) {
            return result::kInvalidParam;
        }
        ShortMessageBytes messages[backend::SelectionQueue::kMaxGroupSize];
        for (std::size_t i = 0; i < words.size(); ++i) {
            messages[i] = shortMessageBytes(words[i]);
            if (messages[i].size == 0) {
                return result::kInvalidParam;
            }
        }
        return found->second->send(std::span<const ShortMessageBytes>(messages, words.size()));
    }

    int close(MidiOutHandle handle) override
    {
        const auto found = open_.find(handle);
        if (found == open_.end()) {
            return result::kInvalidHandle;
        }
        const std::unique_ptr<Output> output = std::move(found->second);
        open_.erase(found);
        return output->close();
    }

    void rescanDevices() override
    {
        try {
            devices_ = listPorts();
        } catch (const std::bad_alloc&) {
        }
    }

private:
    // The list as enumerated by the first call, until a rescan. Null only
    // when memory ran out, to be tried again.
    const std::vector<PortEntry>* devices()
    {
        if (!devices_) {
            try {
                devices_ = listPorts();
            } catch (const std::bad_alloc&) {
                return nullptr;
            }
        }
        return &*devices_;
    }

    std::vector<PortEntry> listPorts()
    {
        std::optional<std::vector<std::string>> jackNames;
        // Listing through a client the service already has costs no round
        // trip to the server; only the first listing pays for a client.
        if (JackClient* client = anyJackClient()) {
            jackNames = client->midiInputPorts();
        } else {
            int failure = result::kError;
            listingClient_ = JackClient::open(failure);
            if (listingClient_) {
                jackNames = listingClient_->midiInputPorts();
            }
        }
        if (!jackNames) {
            // A server that did not answer in time: the JACK ports stay as
            // they were listed last.
            jackNames.emplace();
            if (devices_) {
                for (const PortEntry& entry : *devices_) {
                    if (entry.backend == Backend::Jack) {
                        jackNames->push_back(entry.systemName);
                    }
                }
            }
        }
        return backend::combinedPortList(backend::alsaOutputPortNames(), *jackNames);
    }

    JackClient* anyJackClient()
    {
        if (listingClient_ && listingClient_->usable()) {
            return listingClient_.get();
        }
        listingClient_.reset();
        for (auto& [handle, output] : open_) {
            if (JackClient* client = output->jackClient()) {
                return client;
            }
        }
        return nullptr;
    }

    std::optional<std::vector<PortEntry>> devices_;
    // The client that listed the JACK ports while no JACK port is open, kept
    // for the next listing and handed to the next JACK open.
    std::unique_ptr<JackClient> listingClient_;
    std::map<MidiOutHandle, std::unique_ptr<Output>> open_;
    // Tokens are never reused, so a stale handle cannot reach a later port.
    MidiOutHandle nextHandle_ = 1;
};

}  // namespace

std::unique_ptr<MidiOutService> createSystemMidiOutService()
{
    return std::make_unique<SystemMidiOutService>();
}

}  // namespace tavrelle::midi
