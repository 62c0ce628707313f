// The settings file's path from the executable's, as Windows paths go:
// the extension is replaced by ".ini".
#pragma once

#include <functional>
#include <string>

namespace tavrelle::settings {

// "C:\Apps\tool.old.exe" -> "C:\Apps\tool.old.ini"; "C:\Apps\x.y\tool" ->
// "C:\Apps\x.y\tool.ini". The extension starts at the last "." after the last
// "\", "/" or drive ":"; without one ".ini" is appended. `isLeadByte` tells
// the first byte of a double-byte character, whose second byte is never
// taken for a separator or a dot.
std::string iniPathForExecutable(const std::string& executablePath,
                                 const std::function<bool(unsigned char)>& isLeadByte);

}  // namespace tavrelle::settings
