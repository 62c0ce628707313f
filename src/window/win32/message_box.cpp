#include "window/win32/message_box.h"
#include "window/win32/text.h"

#include <vector>

namespace tavrelle::window {

namespace {

std::wstring toWide(const std::string& text, UINT codePage)
{
    if (text.empty()) {
        return {};
    }
    const int size = static_cast<int>(text.size());
    const int length = MultiByteToWideChar(codePage, 0, text.data(), size, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(codePage, 0, text.data(), size, wide.data(), length);
    return wide;
}

}  // namespace

std::wstring utf8ToWide(const std::string& text) { return toWide(text, CP_UTF8); }

std::wstring systemToWide(const std::string& text) { return toWide(text, CP_ACP); }

std::wstring applicationTitle(const std::wstring& executablePath)
{
    std::wstring name = executablePath.substr(executablePath.find_last_of(L"\\/:") + 1);
    name = name.substr(0, name.find(L'.'));
    if (name.size() > 1) {
        CharLowerBuffW(name.data() + 1, static_cast<DWORD>(name.size() - 1));
    }
    return name;
}

std::wstring applicationTitle()
{
    std::vector<wchar_t> buffer(32768);
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    return applicationTitle(std::wstring(buffer.data(), length));
}

std::string errorBoxText(const std::string& message)
{
    if (!message.empty() && static_cast<unsigned char>(message.back()) > 0x2E) {
        return message + ".";
    }
    return message;
}

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
