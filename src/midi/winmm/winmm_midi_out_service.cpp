// The MIDI output service on Windows: WinMM's midiOut calls, whose result
// codes are the ones the port's message tables are written for.
#include "midi/midi_out_service.h"

#include <windows.h>
#include <mmsystem.h>

#include <cstring>

namespace tavrelle::midi {
namespace {

static_assert(sizeof(MIDIOUTCAPSA) == 52, "the capabilities record WinMM expects");

HMIDIOUT toHandle(MidiOutHandle handle) { return reinterpret_cast<HMIDIOUT>(handle); }

class WinmmMidiOutService final : public MidiOutService {
public:
    unsigned deviceCount() override { return midiOutGetNumDevs(); }

    // The product name as the driver gives it: up to 32 bytes in the
    // system's code page, ending at the first NUL.
    int deviceName(unsigned deviceId, std::string& name) override
    {
        MIDIOUTCAPSA caps{};
        const MMRESULT result = midiOutGetDevCapsA(deviceId, &caps, sizeof caps);
        if (result != MMSYSERR_NOERROR) {
            return static_cast<int>(result);
        }
        name.assign(caps.szPname, strnlen(caps.szPname, sizeof caps.szPname));
        return 0;
    }

    // The handle field goes to WinMM as it is and keeps whatever WinMM
    // leaves in it, also after a failed open.
    int open(MidiOutHandle& handle, unsigned deviceId) override
    {
        HMIDIOUT opened = toHandle(handle);
        const MMRESULT result = midiOutOpen(&opened, deviceId, 0, 0, CALLBACK_NULL);
        handle = reinterpret_cast<MidiOutHandle>(opened);
        return static_cast<int>(result);
    }

    int sendShortMessage(MidiOutHandle handle, std::uint32_t word) override
    {
        return static_cast<int>(midiOutShortMsg(toHandle(handle), word));
    }

    // WinMM takes each word on its own; every one is handed over, as a
    // failed one says nothing about the next.
    int sendShortMessages(MidiOutHandle handle, std::span<const std::uint32_t> words) override
    {
        int first = 0;
        for (const std::uint32_t word : words) {
            const int result = sendShortMessage(handle, word);
            first = first != 0 ? first : result;
        }
        return first;
    }

    int close(MidiOutHandle handle) override { return static_cast<int>(midiOutClose(toHandle(handle))); }
};

}  // namespace

std::unique_ptr<MidiOutService> createSystemMidiOutService() { return std::make_unique<WinmmMidiOutService>(); }

}  // namespace tavrelle::midi
