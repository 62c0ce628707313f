// The voice the module should play, and the messages that carry it.
#pragma once

namespace tavrelle::midi {

class MidiOutPort;

enum class StepDirection { Up, Down };

// The Bank Select controller for the bank: MSB is 0, LSB is 32.
enum class BankMode { Msb, Lsb };

// Where the selection is shown: the numbers as the user counts them.
class VoiceDisplay {
public:
    virtual ~VoiceDisplay() = default;
    // Program 1..128, bank 0..127, channel 1..16.
    virtual void showVoiceSelection(int programNumber, int bankNumber, int channelNumber) = 0;
};

// Starts at program 1, bank 0, channel 1, MSB mode: nothing of it but the
// bank LSB value is kept between runs.
class VoiceSelection {
public:
    explicit VoiceSelection(MidiOutPort& port);

    // Shows the values at once and after every step; nullptr shows nothing.
    void setDisplay(VoiceDisplay* display);

    // Each step wraps around (program 128 to 1, bank 127 to 0, channel 16 to
    // 1 and back) and changes only what is shown; nothing is sent.
    void stepProgramNumber(StepDirection direction);
    void stepBankNumber(StepDirection direction);
    void stepChannel(StepDirection direction);

    // Bank Select LSB, Bank Select MSB, Program Change, in that order, on the
    // current channel, as one unit. Resets the bank LSB value to 0 first.
    // Results of the send are ignored.
    void sendVoiceSelection();

    int programNumber() const { return programNumber_; }
    int bankNumber() const { return bankNumber_; }
    // 0..15; channel 1 is 0.
    int channel() const { return channel_; }
    int bankLsbValue() const { return bankLsbValue_; }
    void setBankLsbValue(int value) { bankLsbValue_ = value; }
    void setBankMode(BankMode mode) { bankMode_ = mode; }

private:
    void show();

    MidiOutPort& port_;
    VoiceDisplay* display_ = nullptr;
    int programNumber_ = 1;
    int bankNumber_ = 0;
    int channel_ = 0;
    int bankLsbValue_ = 0;
    BankMode bankMode_ = BankMode::Msb;
};

}  // namespace tavrelle::midi
