// The identifier a service lists a device under, for tests on every platform.
#pragma once

#include "midi/midi_out_service.h"

#include <optional>
#include <string>

namespace tavrelle::testing {

inline std::optional<unsigned> findDevice(midi::MidiOutService& service, const std::string& name)
{
    const unsigned count = service.deviceCount();
    for (unsigned id = 0; id < count; ++id) {
        std::string listed;
        if (service.deviceName(id, listed) == midi::result::kNoError && listed == name) {
            return id;
        }
    }
    return std::nullopt;
}

}  // namespace tavrelle::testing
