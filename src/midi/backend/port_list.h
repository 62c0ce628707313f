// The naming and ordering rules of the system's MIDI output ports, as plain
// functions over the names the ALSA client and libjack give, so that they can
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
    // The name as the backend reported it: for ALSA "client:port 14:0", for
    // JACK the full port name.
    std::string systemName;

    bool operator==(const PortEntry&) const = default;
};

// "client:port" without the " 14:0" the ALSA client appends; a name without
// that suffix comes back unchanged.
std::string stripAlsaPortNumbers(std::string_view alsaName);

// The kernel's loopback ports, which lead to no sound module.
bool isAlsaMidiThrough(std::string_view alsaName);

// The device list: ALSA ports, then JACK ports, then ALSA's Midi Through
// ports, each group in the order reported. ALSA names lose their numbers
// unless another entry would then carry the same name.
std::vector<PortEntry> combinedPortList(const std::vector<std::string>& alsaNames,
                                        const std::vector<std::string>& jackNames);

// Where the ALSA port enumerated as `entry` is among `currentAlsaNames` now:
// the port of the same full name; else, when the entry's name had no numbers,
// the one port whose name without numbers matches (its client came back under
// other numbers). Nothing when the port is gone or the match is ambiguous.
std::optional<std::size_t> findAlsaPort(const std::vector<std::string>& currentAlsaNames, const PortEntry& entry);

}  // namespace tavrelle::midi::backend
