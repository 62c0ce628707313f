// The window's rules, once for every platform: the Qt and Win32 windows only
// translate their native events into these calls and draw.
#pragma once

#include "midi/midi_out_port.h"
#include "midi/voice_selection.h"

#include <string>
#include <string_view>

namespace tavrelle::window {

enum class Control {
    DeviceCaption, ProgramCaption, ProgramValue, BankCaption, BankValue, ChannelCaption, ChannelValue, Version,
    DeviceList, MsbButton, LsbButton,
};

struct ControlLayout {
    Control control;
    const char* name;
    const char* text;
    int left, top, width, height;
};

// Within the client area at 96 dpi, labels first (they size to their text).
inline constexpr ControlLayout kControls[] = {
    {Control::DeviceCaption, "deviceCaption", "音源=", 8, 8, 30, 12},
    {Control::ProgramCaption, "programCaption", "プログラムナンバー =", 8, 32, 109, 12},
    {Control::ProgramValue, "programValue", "1", 120, 32, 6, 12},
    {Control::BankCaption, "bankCaption", "バンクセレクト  =", 32, 48, 85, 12},
    {Control::BankValue, "bankValue", "0", 120, 48, 6, 12},
    {Control::ChannelCaption, "channelCaption", "チャンネル  =", 48, 64, 68, 12},
    {Control::ChannelValue, "channelValue", "1", 121, 64, 6, 12},
    {Control::Version, "versionLabel", "Tavrelle Version 1.0", 8, 80, 165, 12},
    {Control::DeviceList, "deviceList", "", 48, 8, 161, 20},
    {Control::MsbButton, "msbModeButton", "MSB", 136, 32, 65, 17},
    {Control::LsbButton, "lsbModeButton", "LSB", 136, 56, 73, 17},
};
inline constexpr int kLabelCount = 8;

constexpr const ControlLayout& layoutOf(Control control) { return kControls[static_cast<int>(control)]; }

inline constexpr const char* kWindowCaption = "Tavrelle";
inline constexpr const char* kFontFace = "ＭＳ Ｐゴシック";
inline constexpr int kFontPixels = 12;
inline constexpr int kListVisibleEntries = 8;

enum class Key { Up, Down, Left, Right, PageUp, PageDown, Other };
enum class Button { Left, Right, Middle, Other };

// The wheel steps, sends and picks nothing anywhere in the window; only an
// open drop-down scrolls through its entries, which picks none of them.
constexpr bool wheelReachesControl(bool overOpenDropDown) { return overOpenDropDown; }

class WindowRules {
public:
    WindowRules(midi::VoiceSelection& selection, midi::MidiOutPort& port, midi::DeviceListView& list);

    // Auto-repeats included, wherever the focus is: steps, never sends.
    void keyDown(Key key);
    // A real release of any key.
    void keyUp();
    // Left steps up and right steps down the program or bank it falls on,
    // then sends; a middle press on the program value sends only.
    void pressed(Control control, Button button);
    // Switches, then sends, whether or not the device opened.
    void devicePicked();
    // A character typed while the closed device list has the focus reaches its
    // type-ahead search as a blank: only an entry whose name starts with a
    // blank can be found (the next after the selected one), and finding it is
    // the user's pick. Tab is the window's dialog key, never a typed character.
    void characterTyped(char32_t character);
    // The device list is about to open, or the devices changed: the device
    // in use, back again, is given the selection.
    void relistDevices();

private:
    midi::VoiceSelection& selection_;
    midi::MidiOutPort& port_;
    midi::DeviceListView& list_;
};

// On every box and the taskbar: the executable's file name cut at its first
// ".", every character after the first lowered by the platform's `lowerCase`.
std::string applicationTitle(std::string_view fileName, std::string (*lowerCase)(std::string_view));

// "." appended unless the last character is a single byte of 0x2E or less.
std::string errorBoxText(std::string_view message);

// Any program names its own ports: drawn on one line in its bytes' order,
// controls, line separators, reordering marks and non-UTF-8 bytes escaped
// ("\x0A", "\u202E"). The name saved and matched stays the device's own.
std::string shownDeviceName(std::string_view name);

}  // namespace tavrelle::window
