// Paths are held as UTF-8, so that any folder name survives whatever the
// system's code page is, and reach the W calls as UTF-16.
#pragma once

#include <string>
#include <string_view>

namespace tavrelle::settings {

std::wstring utf8ToWide(std::string_view text);
std::wstring wideFromCodePage(std::string_view text, unsigned codePage);
std::string wideToUtf8(std::wstring_view text);

// A path for the W file calls, as extendedLengthPath gives it.
std::wstring widePath(const std::string& utf8Path);

}  // namespace tavrelle::settings
