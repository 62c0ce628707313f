// Every wait and pause of the JACK side. A healthy server answers each step
// in tens of milliseconds, at the longest periods in a few cycles of 171 ms;
// a stalled one never does: the request fails with 6 and the MIDI thread is
// stuck until it returns. ALSA answers at once: its calls have no deadline.
#pragma once

#include <chrono>

namespace tavrelle::midi::backend {

using namespace std::chrono_literals;

inline constexpr std::chrono::milliseconds kListingDeadline = 1500ms;
inline constexpr std::chrono::milliseconds kOpenDeadline = 3000ms;
inline constexpr std::chrono::milliseconds kCloseDeadline = 3000ms;
// No cycle, or no answer from the MIDI thread, for this long is a stall.
inline constexpr std::chrono::milliseconds kStallNoticed = 300ms;
// So that the first open need not wait for the activation's cycle.
inline constexpr std::chrono::milliseconds kActivateAfter = 100ms;
// Counted in the process callback's frames: a new connection whose news
// never comes is taken as made after this much of the server's time.
inline constexpr std::chrono::milliseconds kConnectionNewsLimit = 2000ms;
// A close looks this often whether what was sent has been delivered.
inline constexpr std::chrono::milliseconds kDeliveryLookPause = 5ms;
inline constexpr std::chrono::milliseconds kAbsentRetry = 3000ms;

}  // namespace tavrelle::midi::backend
