// The voice the module should play: program, bank and channel, and the three
// messages that carry it.
#pragma once

#include <cstdint>
#include <string>

namespace tavrelle::midi {

class MidiOutPort;

enum class StepDirection { Up, Down };

// Where the selection is shown. The program and bank numbers live only as the
// text of their value labels, so this is also where they are kept; the main
// window implements it over its labels, and TextVoiceDisplay holds plain
// strings for everything else.
class VoiceDisplay {
public:
    virtual ~VoiceDisplay() = default;
    virtual std::string programText() const = 0;
    virtual void setProgramText(const std::string& text) = 0;
    virtual std::string bankText() const = 0;
    virtual void setBankText(const std::string& text) = 0;
    virtual std::string channelText() const = 0;
    virtual void setChannelText(const std::string& text) = 0;
    // True when the MSB bank mode is chosen.
    virtual bool msbModeChecked() const = 0;
};

// The display as a window shows it at first: program "1", bank "0",
// channel "1", MSB mode.
class TextVoiceDisplay final : public VoiceDisplay {
public:
    std::string programText() const override { return program_; }
    void setProgramText(const std::string& text) override { program_ = text; }
    std::string bankText() const override { return bank_; }
    void setBankText(const std::string& text) override { bank_ = text; }
    std::string channelText() const override { return channel_; }
    void setChannelText(const std::string& text) override { channel_ = text; }
    bool msbModeChecked() const override { return msb_; }
    void setMsbModeChecked(bool msb) { msb_ = msb; }

private:
    std::string program_ = "1";
    std::string bank_ = "0";
    std::string channel_ = "1";
    bool msb_ = true;
};

// Short message words of the selection (status in bits 0-7, data 1 in bits
// 8-15, data 2 in bits 16-23). `channel` is 0..15.
constexpr std::uint32_t bankSelectLsbWord(int channel, int value)
{
    return static_cast<std::uint32_t>(value) * 65536u + 0x20B0u + static_cast<std::uint32_t>(channel);
}
constexpr std::uint32_t bankSelectMsbWord(int channel, int value)
{
    return static_cast<std::uint32_t>(value) * 65536u + 0xB0u + static_cast<std::uint32_t>(channel);
}
constexpr std::uint32_t programChangeWord(int channel, int programNumber)
{
    return static_cast<std::uint32_t>(programNumber - 1) * 256u + 0xC0u + static_cast<std::uint32_t>(channel);
}

class VoiceSelection {
public:
    VoiceSelection(VoiceDisplay& display, MidiOutPort& port);

    // Each step changes only what is shown; nothing is sent.
    void stepProgramNumber(StepDirection direction);
    void stepBankNumber(StepDirection direction);
    void stepChannel(StepDirection direction);

    // Bank Select LSB, Bank Select MSB, Program Change, in that order, on the
    // current channel. Results of the sends are ignored.
    void sendVoiceSelection();

    // Takes the channel from the channel label (its number minus 1).
    void takeChannelFromDisplay();

    int ProgramNumber = 1;   // 1..128, parsed from the program label at each send
    int BankNumber = 0;      // 0..127, parsed from the bank label at each send
    int Channel = 0;         // 0..15
    int BankLsbValue = 0;    // loaded from the settings, 0 after the first send

    VoiceDisplay& display() { return display_; }

private:
    VoiceDisplay& display_;
    MidiOutPort& port_;
};

}  // namespace tavrelle::midi
