#include "window/voice_names.h"

#include "settings/settings_file.h"
#include "window/general_midi.h"


namespace tavrelle::window {
namespace {

constexpr const char* kInstrumentSection = "instruments";
constexpr int kBanksPerMsb = 128;

std::string quoted(std::string_view instrument, std::string_view what)
{
    return "「" + std::string(instrument) + "」に名前のない" + std::string(what);
}

}  // namespace

std::string instrumentForDevice(const InstrumentDefinitions& definitions, std::string_view choice,
                                std::string_view deviceName)
{
    const std::string_view wanted = choice.empty() ? deviceName : choice;
    return !wanted.empty() && definitions.hasInstrument(wanted) ? std::string(wanted) : std::string();
}

int fileBankOf(BankSelectMethod method, int bankNumber)
{
    switch (method) {
    case BankSelectMethod::MsbAndLsb: return bankNumber * kBanksPerMsb;
    case BankSelectMethod::MsbOnly: return bankNumber;
    default: return 0;
    }
}

VoiceHints describeVoice(const InstrumentDefinitions& definitions, std::string_view instrument, int programNumber,
                         int bankNumber, int channelNumber)
{
    if (instrument.empty()) {
        return {std::string(generalMidiVoiceHint(programNumber, channelNumber)), {}};
    }
    const int fileBank = fileBankOf(definitions.bankSelectMethod(instrument), bankNumber);
    const auto list = definitions.patchListOf(instrument, fileBank);
    const auto voice = list ? definitions.patchName(*list, programNumber - 1) : std::nullopt;
    const auto bank = definitions.bankName(instrument, fileBank);
    return {voice ? std::string(*voice) : quoted(instrument, "音色"),
            bank ? std::string(*bank) : quoted(instrument, "バンク")};
}

void VoiceNames::load()
{
    if (!definitions_) {
        definitions_ = readDefinitionsBeside(settingsPath_);
    }
}

VoiceHints VoiceNames::describe(const settings::SettingsFile* settings, const std::string& listedName,
                                std::string_view shownName, int programNumber, int bankNumber,
                                int channelNumber) const
{
    if (!definitions_) {
        return describeVoice(InstrumentDefinitions(), {}, programNumber, bankNumber, channelNumber);
    }
    const std::string choice =
        settings != nullptr && !listedName.empty() ? settings->readString(kInstrumentSection, listedName, "") : "";
    return describeVoice(*definitions_, instrumentForDevice(*definitions_, choice, shownName), programNumber,
                         bankNumber, channelNumber);
}

}  // namespace tavrelle::window
