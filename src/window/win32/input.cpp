// The device list never sees a key-down.
#include "window/win32/main_window.h"

#include <windowsx.h>

namespace tavrelle::window {
namespace {

Key keyOf(WPARAM key)
{
    switch (key) {
    case VK_UP: return Key::Up;
    case VK_DOWN: return Key::Down;
    case VK_LEFT: return Key::Left;
    case VK_RIGHT: return Key::Right;
    case VK_PRIOR: return Key::PageUp;
    case VK_NEXT: return Key::PageDown;
    default: return Key::Other;
    }
}

Button buttonOf(UINT message)
{
    switch (message) {
    case WM_LBUTTONDOWN: return Button::Left;
    case WM_RBUTTONDOWN: return Button::Right;
    case WM_MBUTTONDOWN: return Button::Middle;
    default: return Button::Other;
    }
}

}  // namespace

bool Win32MainWindow::preview(MSG& message)
{
    if (window_ == nullptr || (message.hwnd != window_ && !IsChild(window_, message.hwnd))) {
        return false;
    }
    const bool toList = message.hwnd == deviceList_ || IsChild(deviceList_, message.hwnd);
    switch (message.message) {
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN:
        rules().keyDown(keyOf(message.wParam));
        TranslateMessage(&message);
        // The window's own handling (Alt+F4) still acts; the list's never.
        if (!toList) {
            DispatchMessageW(&message);
        }
        return true;
    case WM_KEYUP:
    case WM_SYSKEYUP:
        rules().keyUp();
        if (!toList) {
            DispatchMessageW(&message);
        }
        return true;
    case WM_CHAR:
        if (toList && !listDropped()) {
            rules().characterTyped(static_cast<char32_t>(message.wParam));
        }
        return toList;
    case WM_MOUSEWHEEL:
        return toList && !wheelReachesControl(listDropped());
    default:
        return false;
    }
}

bool Win32MainWindow::listDropped() const
{
    return SendMessageW(deviceList_, CB_GETDROPPEDSTATE, 0, 0) != 0;
}

void Win32MainWindow::onMousePress(UINT button, POINT at)
{
    // The labels let presses through to the window: find the one hit.
    for (int label = 0; label < kLabelCount; ++label) {
        RECT bounds{};
        GetWindowRect(labels_[static_cast<std::size_t>(label)], &bounds);
        MapWindowPoints(nullptr, window_, reinterpret_cast<POINT*>(&bounds), 2);
        if (PtInRect(&bounds, at)) {
            rules().pressed(kControls[label].control, buttonOf(button));
            return;
        }
    }
}

}  // namespace tavrelle::window
