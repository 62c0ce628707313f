#include "window/win32/text.h"

#include <windows.h>

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

std::string wideToUtf8(const std::wstring& text)
{
    const int size = static_cast<int>(text.size());
    const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), size, narrow.data(), length, nullptr, nullptr);
    return narrow;
}

}  // namespace tavrelle::window
