#include "window/window_rules.h"

#include <iterator>

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

}  // namespace tavrelle::window
