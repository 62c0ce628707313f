#pragma once

#include "midi/midi_out_port.h"

namespace tavrelle::window {

// After the QApplication exists, before any window.
void setApplicationIdentity();

class QtEventPump final : public midi::EventPump {
public:
    void sleepMilliseconds(int milliseconds) override;
    void processPendingEvents() override;
};

}  // namespace tavrelle::window
