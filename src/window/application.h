// What the program sets up around its window: its name, desktop entry and
// icon, and the waits of the user-interface thread.
#pragma once

#include "midi/midi_out_port.h"

namespace tavrelle::window {

// The application's name, desktop entry and window icon; after the
// QApplication exists, before any window.
void setApplicationIdentity();

// Waits and event runs of the real user-interface thread.
class QtEventPump final : public midi::EventPump {
public:
    void sleepMilliseconds(int milliseconds) override;
    void processPendingEvents() override;
};

}  // namespace tavrelle::window
