// The face the window and its boxes draw their texts in, picked by what the
// system has: the one the window was laid out for, else one that holds both
// Latin and Japanese, else the system's message font (whose missing glyphs
// Windows' font linking supplies from a Japanese face where it has one).
#pragma once

#include <windows.h>

namespace tavrelle::window {

// A font of that LOGFONT height (negative: the characters' pixel height).
HFONT createTextFont(LONG height);

}  // namespace tavrelle::window
