#include "window/window_rules.h"

#include <cstdint>
#include <cstdio>
#include <iterator>
#include <utility>

namespace tavrelle::window {

using midi::StepDirection;

// layoutOf() finds a control's row by its place in the table.
static_assert([] {
    for (std::size_t i = 0; i < std::size(kControls); ++i) {
        if (static_cast<std::size_t>(kControls[i].control) != i) {
            return false;
        }
    }
    return true;
}());

WindowRules::WindowRules(midi::VoiceSelection& selection, midi::MidiOutPort& port, midi::DeviceListView& list)
    : selection_(selection), port_(port), list_(list)
{
}

void WindowRules::keyDown(Key key)
{
    switch (key) {
    case Key::Up: selection_.stepProgramNumber(StepDirection::Up); break;
    case Key::Down: selection_.stepProgramNumber(StepDirection::Down); break;
    case Key::Left: selection_.stepBankNumber(StepDirection::Down); break;
    case Key::Right: selection_.stepBankNumber(StepDirection::Up); break;
    case Key::PageUp: selection_.stepChannel(StepDirection::Up); break;
    case Key::PageDown: selection_.stepChannel(StepDirection::Down); break;
    case Key::Other: break;
    }
}

void WindowRules::keyUp()
{
    selection_.sendVoiceSelection();
}

void WindowRules::pressed(Control control, Button button)
{
    const bool program = control == Control::ProgramCaption || control == Control::ProgramValue;
    const bool bank = control == Control::BankCaption || control == Control::BankValue;
    if (button == Button::Middle && control == Control::ProgramValue) {
        selection_.sendVoiceSelection();
    }
    if ((!program && !bank) || (button != Button::Left && button != Button::Right)) {
        return;
    }
    const StepDirection direction = button == Button::Left ? StepDirection::Up : StepDirection::Down;
    if (program) {
        selection_.stepProgramNumber(direction);
    } else {
        selection_.stepBankNumber(direction);
    }
    selection_.sendVoiceSelection();
}

void WindowRules::devicePicked()
{
    port_.switchMidiOutDevice();
    selection_.sendVoiceSelection();
}

void WindowRules::characterTyped(char32_t character)
{
    if (character == U'\t') {
        return;
    }
    const auto& names = port_.deviceNames();
    const int count = static_cast<int>(names.size());
    const int selected = list_.selectedIndex();
    for (int step = 1; step <= count; ++step) {
        const int position = (selected + step) % count;
        if (names[static_cast<std::size_t>(position)].starts_with(' ')) {
            if (position != selected) {
                list_.selectIndex(position);
                devicePicked();
            }
            return;
        }
    }
}

void WindowRules::relistDevices()
{
    if (port_.refreshDeviceList()) {
        selection_.sendVoiceSelection();
    }
}

std::string applicationTitle(std::string_view fileName, std::string (*lowerCase)(std::string_view))
{
    const std::string_view name = fileName.substr(0, fileName.find('.'));
    // The first character may take several bytes.
    std::size_t first = name.empty() ? 0 : 1;
    while (first < name.size() && (static_cast<unsigned char>(name[first]) & 0xC0) == 0x80) {
        ++first;
    }
    return std::string(name.substr(0, first)) + lowerCase(name.substr(first));
}

std::string errorBoxText(std::string_view message)
{
    std::string text(message);
    if (!message.empty() && static_cast<unsigned char>(message.back()) > 0x2E) {
        text += '.';
    }
    return text;
}

namespace {

// The code point at the start and its length; length 0 where ill-formed.
std::pair<char32_t, std::size_t> decodeUtf8(std::string_view bytes)
{
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(bytes[i]); };
    const std::uint8_t lead = byte(0);
    if (lead < 0x80) {
        return {lead, 1};
    }
    const std::size_t length = lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
                               : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
    if (length == 0 || bytes.size() < length) {
        return {0, 0};
    }
    char32_t code = lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) {
            return {0, 0};
        }
        code = (code << 6) | (byte(i) & 0x3F);
    }
    const char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < smallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
        return {0, 0};
    }
    return {code, length};
}

bool drawnAsEscape(char32_t code)
{
    return code < 0x20 || (code >= 0x7F && code <= 0x9F) || code == 0x061C || code == 0x200E || code == 0x200F ||
           code == 0x2028 || code == 0x2029 || (code >= 0x202A && code <= 0x202E) ||
           (code >= 0x2066 && code <= 0x2069);
}

}  // namespace

std::string shownDeviceName(std::string_view name)
{
    std::string shown;
    shown.reserve(name.size());
    while (!name.empty()) {
        const auto [code, length] = decodeUtf8(name);
        const std::size_t taken = length == 0 ? 1 : length;
        if (length == 0 || drawnAsEscape(code)) {
            char escape[8];
            const unsigned value = length == 0 ? static_cast<std::uint8_t>(name[0]) : static_cast<unsigned>(code);
            std::snprintf(escape, sizeof escape, value < 0x100 ? "\\x%02X" : "\\u%04X", value);
            shown += escape;
        } else {
            shown.append(name.substr(0, taken));
        }
        name.remove_prefix(taken);
    }
    return shown;
}

}  // namespace tavrelle::window
