#include "midi/voice_selection.h"

#include "midi/midi_out_port.h"

#include <array>
#include <cstdint>

namespace tavrelle::midi {
namespace {

int wrapped(int value, StepDirection direction, int lowest, int highest)
{
    if (direction == StepDirection::Up) {
        return value == highest ? lowest : value + 1;
    }
    return value == lowest ? highest : value - 1;
}

}  // namespace

VoiceSelection::VoiceSelection(MidiOutPort& port) : port_(port) {}

void VoiceSelection::setDisplay(VoiceDisplay* display)
{
    display_ = display;
    show();
}

void VoiceSelection::stepProgramNumber(StepDirection direction)
{
    programNumber_ = wrapped(programNumber_, direction, 1, 128);
    show();
}

void VoiceSelection::stepBankNumber(StepDirection direction)
{
    bankNumber_ = wrapped(bankNumber_, direction, 0, 127);
    show();
}

void VoiceSelection::stepChannel(StepDirection direction)
{
    channel_ = wrapped(channel_, direction, 0, 15);
    show();
}

void VoiceSelection::sendVoiceSelection()
{
    bankLsbValue_ = 0;
    // Controller 32 always goes first, in both modes.
    const bool msb = bankMode_ == BankMode::Msb;
    const auto channel = static_cast<std::uint32_t>(channel_);
    const auto lsb = static_cast<std::uint32_t>(msb ? bankLsbValue_ : bankNumber_);
    const auto msbValue = static_cast<std::uint32_t>(msb ? bankNumber_ : bankLsbValue_);
    const std::array<std::uint32_t, 3> words = {
        lsb << 16 | 0x20B0u | channel,
        msbValue << 16 | 0xB0u | channel,
        static_cast<std::uint32_t>(programNumber_ - 1) << 8 | 0xC0u | channel,
    };
    port_.sendShortMessages(words);
}

void VoiceSelection::show()
{
    if (display_ != nullptr) {
        display_->showVoiceSelection(programNumber_, bankNumber_, channel_ + 1);
    }
}

}  // namespace tavrelle::midi
