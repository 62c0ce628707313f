// Paths on Windows: held as UTF-8, so that any folder name survives whatever
// the system's code page is, and handed to the W calls as UTF-16.
#pragma once

#include <string>

namespace tavrelle::settings {

// A path for the W file calls. An absolute one gets the "\\?\" prefix, which
// lifts the 260-character limit.
std::wstring widePath(const std::string& utf8Path);
// UTF-16 from the system as UTF-8.
std::string utf8FromWide(const std::wstring& text);

// True for an absolute path: a drive letter, colon and separator, or a UNC
// path.
bool isAbsoluteWindowsPath(const std::string& path);

}  // namespace tavrelle::settings
