// One open port of a backend of the system's MIDI output service.
#pragma once

#include "private.h"

#include "midi/short_message.h"

#include <span>

namespace tavrelle::midi::backend {

class JackClient;

class Output {
public:
    virtual ~Output() = default;
    // Queues or sends messages that belong together, whole or not at all; a
    // result code.
    virtual int send(std::span<const ShortMessageBytes> messages) = 0;
    // Delivers what was sent, then lets go of the port; a result code. The
    // port is gone afterwards whatever the result.
    virtual int close() = 0;
    // The JACK client the port lives on, for listing ports through it; null
    // for other backends or a client that can no longer be used.
    virtual JackClient* jackClient() { return nullptr; }
};

}  // namespace tavrelle::midi::backend
