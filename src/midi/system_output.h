// One open port of a backend of the system's MIDI output service.
#pragma once

#include "midi/short_message.h"

namespace tavrelle::midi::system {

class SystemOutput {
public:
    virtual ~SystemOutput() = default;
    // Queues or sends one message; a result code.
    virtual int send(const ShortMessageBytes& message) = 0;
    // Delivers what was sent, then lets go of the port; a result code. The
    // port is gone afterwards whatever the result.
    virtual int close() = 0;
};

}  // namespace tavrelle::midi::system
