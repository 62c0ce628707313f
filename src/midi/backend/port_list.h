// The ports' naming and ordering rules as plain functions, so that they can
// be checked on machines without a MIDI system.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavrelle::midi::backend {

enum class Backend { Alsa, Jack };

struct PortEntry {
    Backend backend = Backend::Alsa;
    // What the user sees and what the settings file keeps.
    std::string name;
    // As the backend reported it: ALSA's "client:port 14:0", JACK's full name.
    std::string systemName;

    bool operator==(const PortEntry&) const = default;
};

// Without the " 14:0" the ALSA client appends; other names come back as is.
std::string stripAlsaPortNumbers(std::string_view alsaName);

// The kernel's loopback ports, which lead to no sound module.
bool isAlsaMidiThrough(std::string_view alsaName);

// The device list: ALSA ports, then JACK ports, then ALSA's Midi Through
// ports, each group in the order reported. ALSA names lose their numbers
// unless another entry would then carry the same name.
std::vector<PortEntry> combinedPortList(const std::vector<std::string>& alsaNames,
                                        const std::vector<std::string>& jackNames);

// Where the ALSA port enumerated as `entry` is now: the same full name; else,
// if the entry's name had no numbers, the one port matching without numbers
// (its client came back renumbered). Nothing when gone or ambiguous.
std::optional<std::size_t> findAlsaPort(const std::vector<std::string>& currentAlsaNames, const PortEntry& entry);

}  // namespace tavrelle::midi::backend
