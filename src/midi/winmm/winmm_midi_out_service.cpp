// WinMM tells nothing when a device leaves: a handle is known to be gone
// once a send through it fails so. All calls, the callback's included, are
// on the window's thread.
#include "midi/midi_out_service.h"
#include "midi/short_message.h"
#include "midi/winmm/winmm_results.h"

#include <windows.h>
#include <mmsystem.h>

#include <cstring>
#include <set>
#include <utility>

namespace tavrelle::midi {
namespace {

static_assert(sizeof(MIDIOUTCAPSA) == 52, "the capabilities record WinMM expects");

HMIDIOUT toHandle(MidiOutHandle handle) { return reinterpret_cast<HMIDIOUT>(handle); }

class WinmmMidiOutService final : public MidiOutService {
public:
    unsigned deviceCount() override { return midiOutGetNumDevs(); }

    // Up to 32 bytes in the system's code page, ending at the first NUL.
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

    // WinMM keeps whatever it leaves in the handle, also after a failed open.
    // A new handle may take the value of one marked gone by a stray send
    // after its close: it starts unmarked.
    int open(MidiOutHandle& handle, unsigned deviceId) override
    {
        HMIDIOUT opened = toHandle(handle);
        const MMRESULT result = midiOutOpen(&opened, deviceId, 0, 0, CALLBACK_NULL);
        handle = reinterpret_cast<MidiOutHandle>(opened);
        if (result == MMSYSERR_NOERROR) {
            gone_.erase(handle);
        }
        return static_cast<int>(result);
    }

    // A word that is not a short message never reaches WinMM: Wine's driver
    // takes a data byte first under the running status, and answers
    // MMSYSERR_NOERROR for what it drops.
    int sendShortMessage(MidiOutHandle handle, std::uint32_t word) override
    {
        if (shortMessageBytes(word).size == 0) {
            return result::kInvalidParam;
        }
        const MMRESULT result = midiOutShortMsg(toHandle(handle), word);
        if (winmmResultMeansDeviceGone(result) && handle != 0 && gone_.insert(handle).second && changed_) {
            changed_();
        }
        return static_cast<int>(result);
    }

    // Every word is handed over: a failed one says nothing about the next.
    int sendShortMessages(MidiOutHandle handle, std::span<const std::uint32_t> words) override
    {
        int first = 0;
        for (const std::uint32_t word : words) {
            const int result = sendShortMessage(handle, word);
            first = first != 0 ? first : result;
        }
        return first;
    }

    int close(MidiOutHandle handle) override
    {
        // WinMM may give a closed handle's value to the next open.
        gone_.erase(handle);
        return static_cast<int>(midiOutClose(toHandle(handle)));
    }

    void setDevicesChangedCallback(std::function<void()> changed) override { changed_ = std::move(changed); }
    bool deviceLeft(MidiOutHandle handle) override { return gone_.contains(handle); }

private:
    std::set<MidiOutHandle> gone_;
    std::function<void()> changed_;
};

}  // namespace

std::unique_ptr<MidiOutService> createSystemMidiOutService() { return std::make_unique<WinmmMidiOutService>(); }

}  // namespace tavrelle::midi
