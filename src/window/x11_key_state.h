// Whether a key is still held down, as the X server knows it.
#pragma once

class QKeyEvent;

namespace tavrelle::window {

// True for a key release that comes while the key is still held down on the
// X server: one of the release-and-press pairs by which the server repeats a
// held key, which Qt fails to flag as a repeat when the pair arrives late on
// a busy machine. False off X11 and for events that no key made.
bool keyStillHeld(const QKeyEvent& release);

}  // namespace tavrelle::window
