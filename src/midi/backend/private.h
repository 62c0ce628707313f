// The backends of the MIDI output service are private to src/midi: everything
// else reaches them through midi/midi_out_service.h alone. Their own tests are
// granted this by the build (the tavrelle_midi_backend_internals target).
#pragma once

#ifndef TAVRELLE_MIDI_BACKEND_INTERNALS
#error "The MIDI backends are private to src/midi; include midi/midi_out_service.h instead."
#endif
