#include "settings/windows/wide_path.h"

#include <windows.h>

#include <algorithm>

namespace tavrelle::settings {

std::wstring widePath(const std::string& utf8Path)
{
    std::wstring wide;
    if (!utf8Path.empty()) {
        const int size = static_cast<int>(utf8Path.size());
        wide.resize(static_cast<std::size_t>(MultiByteToWideChar(CP_UTF8, 0, utf8Path.data(), size, nullptr, 0)));
        MultiByteToWideChar(CP_UTF8, 0, utf8Path.data(), size, wide.data(), static_cast<int>(wide.size()));
    }
    if (!isAbsoluteWindowsPath(utf8Path) || wide.starts_with(L"\\\\?\\")) {
        return wide;
    }
    // The prefix turns off the system's own clean-up, "/" included.
    std::replace(wide.begin(), wide.end(), L'/', L'\\');
    return wide.starts_with(L"\\\\") ? L"\\\\?\\UNC\\" + wide.substr(2) : L"\\\\?\\" + wide;
}

std::string utf8FromWide(const std::wstring& text)
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

bool isAbsoluteWindowsPath(const std::string& path)
{
    const auto separator = [](char c) { return c == '\\' || c == '/'; };
    if (path.size() >= 2 && separator(path[0]) && separator(path[1])) {
        return true;
    }
    return path.size() >= 3 && path[1] == ':' && separator(path[2]) &&
           ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
}

}  // namespace tavrelle::settings
