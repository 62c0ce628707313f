#include "window/win32/message_box.h"
#include "window/win32/text.h"
#include "window/window_rules.h"

namespace tavrelle::window {

void MessageBoxPresenter::show(const std::string& text, UINT icon)
{
    // A box of its own before the window shows; the window's box after.
    const HWND owner = owner_ != nullptr && IsWindowVisible(owner_) ? owner_ : nullptr;
    MessageBoxW(owner, utf8ToWide(text).c_str(), title_.c_str(),
                MB_OK | icon | (owner != nullptr ? MB_APPLMODAL : MB_TASKMODAL));
}

void MessageBoxPresenter::showMessage(const std::string& text) { show(text, 0); }

void MessageBoxPresenter::showError(const std::string& text) { show(errorBoxText(text), MB_ICONSTOP); }

}  // namespace tavrelle::window
