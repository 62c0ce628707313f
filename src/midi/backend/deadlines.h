// Every wait and pause of the JACK side. A healthy server answers each step
// in tens of milliseconds, at the longest periods in a few cycles of 171 ms;
// a stalled one never answers, and then the request fails with 6 and the
// MIDI thread is stuck until it returns. The ALSA sequencer is a local
// kernel service that answers at once: its calls have no deadline.
#pragma once

#include <chrono>

namespace tavrelle::midi::backend {

using namespace std::chrono_literals;

// A client opened (when there is none yet) and the JACK ports listed.
inline constexpr std::chrono::milliseconds kListingDeadline = 1500ms;
// A port registered, activated and connected to the device.
inline constexpr std::chrono::milliseconds kOpenDeadline = 3000ms;
// What was sent delivered, the connection undone, and at the end the client
// closed.
inline constexpr std::chrono::milliseconds kCloseDeadline = 3000ms;
// A server that has run no cycle, or a MIDI thread that has answered
// nothing, for this long is taken as stalled: a close answers then, and
// what was sent is delivered when the server runs again.
inline constexpr std::chrono::milliseconds kStallNoticed = 300ms;
// A listed JACK client that no open has activated yet is activated this long
// after the listing: the first open need not wait for the activation's cycle.
inline constexpr std::chrono::milliseconds kActivateAfter = 100ms;
// A new connection is looked for in the graph this often, and given up on
// (what was sent then goes out unwatched) after the limit.
inline constexpr std::chrono::milliseconds kConnectionWatchPause = 5ms;
inline constexpr std::chrono::milliseconds kConnectionWatchLimit = 2000ms;
// A MIDI system that is absent is looked for again this often.
inline constexpr std::chrono::milliseconds kAbsentRetry = 3000ms;

}  // namespace tavrelle::midi::backend
