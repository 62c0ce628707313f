// Text in the system's code page, as the A calls take and give it.
#pragma once

#include <string>

namespace tavrelle::settings {

// Bytes in the system's code page as UTF-8, for the messages the window shows.
std::string systemToUtf8(const std::string& text);

// True for an absolute path: a drive letter, colon and separator, or a UNC
// path.
bool isAbsoluteWindowsPath(const std::string& path);

}  // namespace tavrelle::settings
