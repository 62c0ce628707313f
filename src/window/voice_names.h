// Tool tips name the voice and bank by the module's instrument definition,
// else by General MIDI's names.
#pragma once

#include "window/instrument_definitions.h"

#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace tavrelle::settings {
class SettingsFile;
}

namespace tavrelle::window {

// The program's and the bank's hint; an empty bank hint shows no tool tip.
struct VoiceHints {
    std::string program;
    std::string bank;
    bool operator==(const VoiceHints&) const = default;
};

// The instrument named for the device's listed name in the settings'
// [instruments] section, if the files define it (else none); without such an
// entry, the instrument named as the device is, if any; else empty.
std::string instrumentForDevice(const InstrumentDefinitions& definitions, std::string_view choice,
                                std::string_view deviceName);

// The file's number of the bank sent (Bank Select MSB `bankNumber`, LSB 0) as
// a module of that method reads it: LSB-only or no bank at all plays bank 0.
int fileBankOf(BankSelectMethod method, int bankNumber);

// Program 1..128 and bank 0..127 as sent: the instrument's names, or a text
// saying it names none; General MIDI's when `instrument` is empty.
VoiceHints describeVoice(const InstrumentDefinitions& definitions, std::string_view instrument, int programNumber,
                         int bankNumber, int channelNumber);

// The definitions in the settings file's folder, read once on demand.
class VoiceNames {
public:
    explicit VoiceNames(std::string settingsPath) : settingsPath_(std::move(settingsPath)) {}
    void load();
    // General MIDI's hints until load() ran. `listedName` is the device as
    // the settings keep it, `shownName` as the list shows it in UTF-8.
    VoiceHints describe(const settings::SettingsFile* settings, const std::string& listedName,
                        std::string_view shownName, int programNumber, int bankNumber, int channelNumber) const;

private:
    std::string settingsPath_;
    std::optional<InstrumentDefinitions> definitions_;
};

}  // namespace tavrelle::window
