// Apart from the Windows calls, so that every build tests them.
#pragma once

#include <string>

namespace tavrelle::settings {

// "C:\Apps\x.y\tool.exe" -> "C:\Apps\x.y\tool.ini"; "\", "/" and a drive ":"
// end a folder.
std::string iniPathForExecutable(const std::string& executablePath);

bool isAbsoluteWindowsPath(const std::string& path);

// An absolute path with the "\\?\" prefix ("\\?\UNC\" for a UNC path) and
// "\" for every "/", which lifts the 260-character limit; the prefix also
// turns off the system's own clean-up. Others come back as they are.
std::string extendedLengthPath(const std::string& path);

}  // namespace tavrelle::settings
