// ALSA sequencer output ports, reached through RtMidi.
#pragma once

#include "private.h"

#include "port_list.h"

#include "midi/short_message.h"

#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace tavrelle::midi::backend {

// The few calls of RtMidiOut the ALSA output makes, so that it can be driven
// by a stand-in where no sequencer exists. Failures are not thrown: each call
// leaves the last one behind for takeFailure().
class AlsaSequencer {
public:
    enum class Failure {
        none,
        portGone,  // the port number asked for no longer exists
        noMemory,
        other,
    };

    virtual ~AlsaSequencer() = default;
    virtual unsigned portCount() = 0;
    virtual std::string portName(unsigned port) = 0;
    virtual void openPort(unsigned port) = 0;
    virtual bool isPortOpen() = 0;
    virtual void sendMessage(const unsigned char* bytes, std::size_t size) = 0;
    virtual void closePort() = 0;
    // The failure of the calls since the last takeFailure(), and forgets it.
    virtual Failure takeFailure() = 0;
};

// Keeps ALSA's library from printing; before ALSA is used on other threads.
void silenceAlsa();

// A silent RtMidi client of the machine's sequencer: 0; 6 when there is no
// sequencer; 7 when memory ran out.
int connectAlsaSequencer(std::unique_ptr<AlsaSequencer>& sequencer);

// The service's one client of the ALSA sequencer, connected when first
// needed; it lists the ports and holds the one open port. Runs on the MIDI
// thread.
class AlsaClient {
public:
    using Connect = std::function<int(std::unique_ptr<AlsaSequencer>&)>;

    explicit AlsaClient(Connect connect = &connectAlsaSequencer) : connect_(std::move(connect)) {}

    // The names the sequencer gives its ports that accept MIDI, in its
    // order; empty when there is no sequencer.
    std::vector<std::string> portNames();
    // Opens the port enumerated as `entry` wherever it is now, and never
    // another one. A result code.
    int open(const PortEntry& entry);
    // Sends messages that belong together; a result code.
    int send(std::span<const ShortMessageBytes> messages);
    // RtMidi drains the sequencer's output after every message, so a close
    // has nothing left to wait for.
    int close();

private:
    // The one place the sequencer's failures become result codes.
    static int resultOf(AlsaSequencer::Failure failure);
    int connect();

    Connect connect_;
    std::unique_ptr<AlsaSequencer> sequencer_;
};

}  // namespace tavrelle::midi::backend
