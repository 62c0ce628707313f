// The window's keys and mouse presses: what steps, what sends, and what the
// device list never sees.
#include "window/win32/main_window.h"
#include "window/win32/text.h"

#include <windowsx.h>

namespace tavrelle::window {
namespace {

bool isKeyDown(UINT message) { return message == WM_KEYDOWN || message == WM_SYSKEYDOWN; }
bool isKeyUp(UINT message) { return message == WM_KEYUP || message == WM_SYSKEYUP; }

}  // namespace

bool Win32MainWindow::preview(MSG& message)
{
    if (window_ == nullptr || (message.hwnd != window_ && !IsChild(window_, message.hwnd))) {
        return false;
    }
    const bool toList = message.hwnd == deviceList_ || IsChild(deviceList_, message.hwnd);
    if (isKeyDown(message.message)) {
        // Tab is a dialog key: it moves nothing and steps nothing.
        if (message.wParam == VK_TAB) {
            return true;
        }
        stepForKey(message.wParam);
        TranslateMessage(&message);
        // Up and Down are cancelled after they act; the device list never sees
        // a key-down, so no key changes or opens it.
        if (!toList && message.wParam != VK_UP && message.wParam != VK_DOWN) {
            DispatchMessageW(&message);
        }
        return true;
    }
    if (isKeyUp(message.message)) {
        sendSelection();
        if (!toList) {
            DispatchMessageW(&message);
        }
        return true;
    }
    if (message.message == WM_CHAR && toList) {
        // Typed characters reach the list's type-ahead search as blanks.
        MSG blank = message;
        blank.wParam = L' ';
        DispatchMessageW(&blank);
        return true;
    }
    if (message.message == WM_MOUSEWHEEL && toList) {
        // Each notch is an Up or Down key-down for the list, which steps the
        // program number and leaves the list's selection as it is.
        const int notches = GET_WHEEL_DELTA_WPARAM(message.wParam) / WHEEL_DELTA;
        for (int notch = 0; notch < std::abs(notches); ++notch) {
            stepForKey(notches > 0 ? VK_UP : VK_DOWN);
        }
        return true;
    }
    return false;
}

void Win32MainWindow::stepForKey(WPARAM key)
{
    if (!startupShutdown_) {
        return;
    }
    midi::VoiceSelection& selection = startupShutdown_->selection();
    switch (key) {
    case VK_UP: selection.stepProgramNumber(midi::StepDirection::Up); break;
    case VK_DOWN: selection.stepProgramNumber(midi::StepDirection::Down); break;
    case VK_LEFT: selection.stepBankNumber(midi::StepDirection::Down); break;
    case VK_RIGHT: selection.stepBankNumber(midi::StepDirection::Up); break;
    case VK_PRIOR: selection.stepChannel(midi::StepDirection::Up); break;
    case VK_NEXT: selection.stepChannel(midi::StepDirection::Down); break;
    default: break;
    }
}

void Win32MainWindow::sendSelection()
{
    if (startupShutdown_) {
        startupShutdown_->selection().sendVoiceSelection();
    }
}

void Win32MainWindow::onMousePress(int button, POINT at)
{
    if (!startupShutdown_) {
        return;
    }
    // The labels let presses through to the window; find the one under the
    // pointer.
    int pressed = -1;
    for (int label = 0; label < kLabelCount; ++label) {
        RECT bounds{};
        const HWND control = labels_[static_cast<std::size_t>(label)];
        GetWindowRect(control, &bounds);
        MapWindowPoints(nullptr, window_, reinterpret_cast<POINT*>(&bounds), 2);
        if (PtInRect(&bounds, at)) {
            pressed = label;
            break;
        }
    }
    midi::VoiceSelection& selection = startupShutdown_->selection();
    const bool program = pressed == kProgramCaption || pressed == kProgramValue;
    const bool bank = pressed == kBankCaption || pressed == kBankValue;
    if (!program && !bank) {
        return;
    }
    if (button == WM_MBUTTONDOWN) {
        // Only the program number answers the middle button: a send without a step.
        if (pressed == kProgramValue) {
            sendSelection();
        }
        return;
    }
    const auto direction = button == WM_LBUTTONDOWN ? midi::StepDirection::Up : midi::StepDirection::Down;
    if (program) {
        selection.stepProgramNumber(direction);
    } else {
        selection.stepBankNumber(direction);
    }
    sendSelection();
}

void Win32MainWindow::onDeviceListChanged()
{
    if (!startupShutdown_) {
        return;
    }
    startupShutdown_->port().switchMidiOutDevice();
    sendSelection();
}

}  // namespace tavrelle::window
