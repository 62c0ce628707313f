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
    Failure openFailure = Failure::none;
    Failure sendFailure = Failure::none;
    std::optional<unsigned> opened;
    // Outlives the fake, which the output deletes with the service.
    std::shared_ptr<bool> closed = std::make_shared<bool>(false);
    std::vector<std::vector<unsigned char>> sent;

    std::vector<std::string> portNames() override { return ports; }
    Failure openPort(unsigned port) override
    {
        if (openFailure == Failure::none) {
            opened = port;
            *closed = false;
        }
        return openFailure;
    }
    Failure sendMessage(const unsigned char* bytes, std::size_t size) override
    {
        if (sendFailure == Failure::none) {
            sent.emplace_back(bytes, bytes + size);
        }
        return sendFailure;
    }
    void closePort() override { *closed = true; }
};

}  // namespace tavrelle::testing
