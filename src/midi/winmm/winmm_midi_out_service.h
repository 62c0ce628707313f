// The MIDI output service on Windows: WinMM's midiOut calls, whose result
// codes are the ones the port's message tables are written for.
#pragma once

#include "midi/midi_out_service.h"

#include <memory>

namespace tavrelle::midi {

std::unique_ptr<MidiOutService> createWinmmMidiOutService();

}  // namespace tavrelle::midi
