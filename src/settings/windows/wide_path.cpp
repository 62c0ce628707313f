#include "settings/windows/wide_path.h"
#include "settings/windows/path_rules.h"

#include <windows.h>

namespace tavrelle::settings {

std::wstring wideFromCodePage(std::string_view text, unsigned codePage)
{
    if (text.empty()) {
        return {};
    }
    const int size = static_cast<int>(text.size());
    std::wstring wide(static_cast<std::size_t>(MultiByteToWideChar(codePage, 0, text.data(), size, nullptr, 0)), L'\0');
    MultiByteToWideChar(codePage, 0, text.data(), size, wide.data(), static_cast<int>(wide.size()));
    return wide;
}

std::wstring utf8ToWide(std::string_view text) { return wideFromCodePage(text, CP_UTF8); }

std::string wideToUtf8(std::wstring_view text)
{
    if (text.empty()) {
        return {};
    }
    const int size = static_cast<int>(text.size());
    const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), size, utf8.data(), length, nullptr, nullptr);
    return utf8;
}

std::wstring widePath(const std::string& utf8Path) { return utf8ToWide(extendedLengthPath(utf8Path)); }

}  // namespace tavrelle::settings
