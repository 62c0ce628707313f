#include "midi/voice_selection.h"

#include "midi/midi_out_port.h"

#include <charconv>

namespace tavrelle::midi {
namespace {

// The labels only ever hold integers this file wrote; anything else counts
// as 0 rather than failing.
int parseDecimal(const std::string& text)
{
    int value = 0;
    const auto* first = text.data();
    const auto* last = text.data() + text.size();
    const auto [end, error] = std::from_chars(first, last, value);
    if (error != std::errc{} || end != last) {
        return 0;
    }
    return value;
}

}  // namespace

VoiceSelection::VoiceSelection(VoiceDisplay& display, MidiOutPort& port) : display_(display), port_(port) {}

// The wrap is decided on the text written back, as the labels are the values.
void VoiceSelection::stepProgramNumber(StepDirection direction)
{
    const int step = direction == StepDirection::Up ? 1 : -1;
    display_.setProgramText(std::to_string(parseDecimal(display_.programText()) + step));
    const std::string shown = display_.programText();
    if (direction == StepDirection::Up && shown == "129") {
        display_.setProgramText("1");
    } else if (direction == StepDirection::Down && shown == "0") {
        display_.setProgramText("128");
    }
}

void VoiceSelection::stepBankNumber(StepDirection direction)
{
    const int step = direction == StepDirection::Up ? 1 : -1;
    display_.setBankText(std::to_string(parseDecimal(display_.bankText()) + step));
    const std::string shown = display_.bankText();
    if (direction == StepDirection::Up && shown == "128") {
        display_.setBankText("0");
    } else if (direction == StepDirection::Down && shown == "-1") {
        display_.setBankText("127");
    }
}

void VoiceSelection::stepChannel(StepDirection direction)
{
    if (direction == StepDirection::Up) {
        Channel = Channel + 1 == 16 ? 0 : Channel + 1;
    } else {
        Channel = Channel - 1 == -1 ? 15 : Channel - 1;
    }
    display_.setChannelText(std::to_string(Channel + 1));
}

void VoiceSelection::takeChannelFromDisplay()
{
    Channel = parseDecimal(display_.channelText()) - 1;
}

void VoiceSelection::sendVoiceSelection()
{
    BankLsbValue = 0;
    BankNumber = parseDecimal(display_.bankText());
    ProgramNumber = parseDecimal(display_.programText());
    // Controller 32 always goes first, in both modes.
    if (display_.msbModeChecked()) {
        port_.sendShortMessage(bankSelectLsbWord(Channel, BankLsbValue));
        port_.sendShortMessage(bankSelectMsbWord(Channel, BankNumber));
    } else {
        port_.sendShortMessage(bankSelectLsbWord(Channel, BankNumber));
        port_.sendShortMessage(bankSelectMsbWord(Channel, BankLsbValue));
    }
    port_.sendShortMessage(programChangeWord(Channel, ProgramNumber));
}

}  // namespace tavrelle::midi
