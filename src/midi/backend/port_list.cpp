#include "port_list.h"

#include "midi/digits.h"

#include <algorithm>
#include <map>

namespace tavrelle::midi::backend {

std::string stripAlsaPortNumbers(std::string_view alsaName)
{
    const auto space = alsaName.rfind(' ');
    const std::string_view numbers = space == std::string_view::npos ? "" : alsaName.substr(space + 1);
    const auto colon = numbers.find(':');
    const bool numbered = colon != std::string_view::npos && allDigits(numbers.substr(0, colon)) &&
                          allDigits(numbers.substr(colon + 1));
    return std::string(numbered ? alsaName.substr(0, space) : alsaName);
}

bool isAlsaMidiThrough(std::string_view alsaName)
{
    return alsaName.starts_with("Midi Through:");
}

std::vector<PortEntry> combinedPortList(const std::vector<std::string>& alsaNames,
                                        const std::vector<std::string>& jackNames)
{
    std::vector<PortEntry> list;
    std::vector<PortEntry> through;
    for (const auto& alsaName : alsaNames) {
        PortEntry entry{Backend::Alsa, stripAlsaPortNumbers(alsaName), alsaName};
        (isAlsaMidiThrough(alsaName) ? through : list).push_back(std::move(entry));
    }
    for (const auto& jackName : jackNames) {
        list.push_back(PortEntry{Backend::Jack, jackName, jackName});
    }
    list.insert(list.end(), through.begin(), through.end());

    std::map<std::string, int> uses;
    for (const auto& entry : list) {
        ++uses[entry.name];
    }
    for (auto& entry : list) {
        if (entry.backend == Backend::Alsa && uses[entry.name] > 1) {
            entry.name = entry.systemName;
        }
    }
    return list;
}

std::optional<std::size_t> findAlsaPort(const std::vector<std::string>& currentAlsaNames, const PortEntry& entry)
{
    const auto exact = std::find(currentAlsaNames.begin(), currentAlsaNames.end(), entry.systemName);
    if (exact != currentAlsaNames.end()) {
        return static_cast<std::size_t>(exact - currentAlsaNames.begin());
    }
    // A name shown with its numbers was told apart from a namesake by them
    // alone, so only the exact port will do.
    if (entry.name == entry.systemName) {
        return std::nullopt;
    }
    std::optional<std::size_t> found;
    for (std::size_t i = 0; i < currentAlsaNames.size(); ++i) {
        if (stripAlsaPortNumbers(currentAlsaNames[i]) != entry.name) {
            continue;
        }
        if (found) {
            return std::nullopt;
        }
        found = i;
    }
    return found;
}

}  // namespace tavrelle::midi::backend
