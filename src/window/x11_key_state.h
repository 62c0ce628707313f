#pragma once

class QKeyEvent;

namespace tavrelle::window {

// True for a release while the key is still held on the X server: one of
// the pairs by which X repeats a key, which Qt fails to flag as a repeat when
// they arrive late on a busy machine. False off X11.
bool keyStillHeld(const QKeyEvent& release);

}  // namespace tavrelle::window
