#pragma once

#include <string_view>

namespace tavrelle::window {

// The General MIDI 1 instrument of a program number (1..128); empty outside.
std::string_view generalMidiInstrument(int programNumber);

// What a General MIDI module plays for `programNumber` on `channel` (1..16):
// on channel 10 every program is a drum kit.
std::string_view generalMidiVoiceHint(int programNumber, int channel);

}  // namespace tavrelle::window
