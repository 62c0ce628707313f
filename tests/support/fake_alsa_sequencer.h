// A stand-in for the ALSA sequencer where none exists: its ports and
// failures are set by the test, and it records what the output does with it.
#pragma once

#include "alsa_output.h"

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tavrelle::testing {

// A sequencer whose ports and failures the test sets, recording what the
// output does with it.
struct FakeSequencer final : midi::backend::AlsaSequencer {
    std::vector<std::string> ports;
    // The ports as they are once the open has happened, when they shift then.
    std::optional<std::vector<std::string>> portsAfterOpen;
    Failure openFailure = Failure::none;
    Failure sendFailure = Failure::none;
    std::optional<unsigned> opened;
    // Outlives the fake, which the output deletes once it has closed it.
    std::shared_ptr<bool> closed = std::make_shared<bool>(false);
    std::vector<std::vector<unsigned char>> sent;
    Failure pending = Failure::none;

    unsigned portCount() override { return static_cast<unsigned>(ports.size()); }
    std::string portName(unsigned port) override
    {
        if (port >= ports.size()) {
            pending = Failure::portGone;
            return {};
        }
        return ports[port];
    }
    void openPort(unsigned port) override
    {
        if (openFailure != Failure::none) {
            pending = openFailure;
            return;
        }
        opened = port;
        *closed = false;
        if (portsAfterOpen) {
            ports = *portsAfterOpen;
        }
    }
    bool isPortOpen() override { return opened.has_value() && !*closed; }
    void sendMessage(const unsigned char* bytes, std::size_t size) override
    {
        if (sendFailure != Failure::none) {
            pending = sendFailure;
            return;
        }
        sent.emplace_back(bytes, bytes + size);
    }
    void closePort() override { *closed = true; }
    Failure takeFailure() override { return std::exchange(pending, Failure::none); }
};

}  // namespace tavrelle::testing
