// JACK MIDI input ports, driven with libjack directly: RtMidi's JACK backend
// crashes tearing down a client whose server has died.
//
// Every libjack call that can block (a server that stalls blocks them until
// it runs again) runs on a thread of its own, and the caller waits for it
// until a deadline at most. A call past its deadline fails its step with 6,
// and its client is abandoned: never touched again, never freed. While such
// a call is still stuck, new calls fail at once with 6 instead of each
// waiting out its own deadline.
#pragma once

#include "private.h"

#include "output.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tavrelle::midi::backend {

// One client of the JACK server, with everything libjack's threads may touch.
class JackClient {
public:
    struct State;

    // A client of the running server, never one that starts a server; null,
    // with `failure` set to a result code, when none answers in time.
    static std::unique_ptr<JackClient> open(int& failure);
    explicit JackClient(std::shared_ptr<State> state);
    // Closes the client, waiting for the server a short while at most.
    ~JackClient();
    JackClient(const JackClient&) = delete;
    JackClient& operator=(const JackClient&) = delete;

    // Full names of the ports that take MIDI in, in the server's order;
    // nothing when the server does not answer in time.
    std::optional<std::vector<std::string>> midiInputPorts();
    // False once the server went away or stopped answering.
    bool usable() const;

    const std::shared_ptr<State>& state() const { return state_; }

private:
    std::shared_ptr<State> state_;
};

// Keeps libjack from printing and from starting a server. It changes the
// environment, so it runs before any other thread exists (or libjack is used).
void silenceJack();

// Full names of the JACK ports that take MIDI in, listed on a client of their
// own; empty when no server answers. Never starts a server, never prints.
std::vector<std::string> jackMidiInputPortNames();

// Connects an output port on `client` (a new client when null or no longer
// usable) to `portName`. A result code; `output` holds the open port on
// success.
int openJackOutput(const std::string& portName, std::unique_ptr<Output>& output,
                   std::unique_ptr<JackClient> client = nullptr);

}  // namespace tavrelle::midi::backend
