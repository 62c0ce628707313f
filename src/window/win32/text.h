// UTF-16 for the W calls, from the tool's UTF-8 texts and from the system
// code page's bytes (device names), and back to UTF-8.
#pragma once

#include <string>

namespace tavrelle::window {

std::wstring utf8ToWide(const std::string& text);
std::wstring systemToWide(const std::string& text);
std::string wideToUtf8(const std::wstring& text);

}  // namespace tavrelle::window
