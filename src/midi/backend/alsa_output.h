// ALSA sequencer output ports, reached through RtMidi.
#pragma once

#include "private.h"

#include "output.h"
#include "port_list.h"

#include <memory>
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

// The names the sequencer gives its ports that accept MIDI, in its order.
std::vector<std::string> alsaPortNamesOf(AlsaSequencer& sequencer);

// RtMidi's names of the machine's ALSA ports that accept MIDI; empty when
// there is no sequencer. Silent in every case.
std::vector<std::string> alsaOutputPortNames();

// Opens, on `sequencer`, the port enumerated as `entry` wherever it is now,
// and never another one. A result code; `output` holds the open port on
// success.
int openAlsaOutput(std::unique_ptr<AlsaSequencer> sequencer, const PortEntry& entry, std::unique_ptr<Output>& output);

}  // namespace tavrelle::midi::backend
