// The MIDI output service over the machine's MIDI system: ALSA sequencer
// ports, then JACK MIDI input ports, then ALSA's Midi Through ports.
//
// Result codes, by operation:
//   deviceName  0; 2 identifier beyond the device list; 7 out of memory
//   open        0; 2 identifier beyond the list, or the port enumerated under
//               it is gone (nothing is opened then); 6 the port's backend
//               cannot be reached (no ALSA sequencer, no JACK server); 7 out
//               of memory; 1 anything else (the port could not be created or
//               connected)
//   send        0 queued (JACK) or sent (ALSA); 5 handle not open; 11 word
//               that is not a short message; 6 the JACK server has gone;
//               1 the server no longer takes messages (queue full), or ALSA
//               refused the message
//   close       0 everything sent was delivered; 5 handle not open; 6 the
//               JACK server has gone, so what was still queued is lost;
//               1 the JACK server did not run the cycles to deliver it in
//               time. The handle is closed whatever the result.
#include "midi/alsa_output.h"
#include "midi/jack_output.h"
#include "midi/midi_out_service.h"
#include "midi/short_message.h"
#include "midi/system_output.h"
#include "midi/system_port_list.h"

#include <map>
#include <new>
#include <optional>
#include <vector>

namespace tavrelle::midi {

namespace {

using system::Backend;
using system::PortEntry;
using system::SystemOutput;

class SystemMidiOutService final : public MidiOutService {
public:
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
        const auto* list = devices();
        if (list == nullptr) {
            return result::kNoMemory;
        }
        // The listing's client serves the first open only: later ones come
        // too long after the listing for keeping it to be worth a client the
        // server has to serve meanwhile.
        system::JackClient spare = std::move(spareJackClient_);
        if (deviceId >= list->size()) {
            return result::kBadDeviceId;
        }
        try {
            const PortEntry& entry = (*list)[deviceId];
            std::unique_ptr<SystemOutput> output;
            const int opened = entry.backend == Backend::Alsa
                                   ? system::openAlsaOutput(entry, output)
                                   : system::openJackOutput(entry.systemName, output, std::move(spare));
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
        const auto found = open_.find(handle);
        if (found == open_.end()) {
            return result::kInvalidHandle;
        }
        const ShortMessageBytes message = shortMessageBytes(word);
        if (message.size == 0) {
            return result::kInvalidParam;
        }
        return found->second->send(message);
    }

    int close(MidiOutHandle handle) override
    {
        const auto found = open_.find(handle);
        if (found == open_.end()) {
            return result::kInvalidHandle;
        }
        const std::unique_ptr<SystemOutput> output = std::move(found->second);
        open_.erase(found);
        return output->close();
    }

private:
    // The list as enumerated by the first call; the tool's device table is
    // fixed for the run. Null only when memory ran out, to be tried again.
    const std::vector<PortEntry>* devices()
    {
        if (!devices_) {
            try {
                devices_ = system::combinedPortList(system::alsaOutputPortNames(),
                                                    system::jackMidiInputPortNames(&spareJackClient_));
            } catch (const std::bad_alloc&) {
                return nullptr;
            }
        }
        return &*devices_;
    }

    std::optional<std::vector<PortEntry>> devices_;
    // The client that listed the JACK ports, kept for the first open.
    system::JackClient spareJackClient_;
    std::map<MidiOutHandle, std::unique_ptr<SystemOutput>> open_;
    // Tokens are never reused, so a stale handle cannot reach a later port.
    MidiOutHandle nextHandle_ = 1;
};

}  // namespace

std::unique_ptr<MidiOutService> createSystemMidiOutService()
{
    return std::make_unique<SystemMidiOutService>();
}

}  // namespace tavrelle::midi
