// WinMM's results, by number, for the rules that need no WinMM to read.
#pragma once

namespace tavrelle::midi {

// A send failed because the handle's device or driver went away (unplugged,
// its driver reloaded, or the handle made stale by a resume from sleep):
// MMSYSERR_INVALHANDLE, MMSYSERR_NODRIVER, MIDIERR_NODEVICE.
inline bool winmmResultMeansDeviceGone(unsigned result)
{
    return result == 5 || result == 6 || result == 68;
}

}  // namespace tavrelle::midi
