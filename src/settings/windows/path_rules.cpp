#include "settings/windows/path_rules.h"
#include "settings/settings_disk.h"

#include <algorithm>

namespace tavrelle::settings {
namespace {

bool isSeparator(char c) { return c == '\\' || c == '/'; }

}  // namespace

std::string iniPathForExecutable(const std::string& executablePath)
{
    // In UTF-8 no byte of a longer character is a separator or a ".".
    return withIniExtension(executablePath, "\\/:");
}

bool isAbsoluteWindowsPath(const std::string& path)
{
    if (path.size() >= 2 && isSeparator(path[0]) && isSeparator(path[1])) {
        return true;
    }
    return path.size() >= 3 && path[1] == ':' && isSeparator(path[2]) &&
           ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
}

std::string extendedLengthPath(const std::string& path)
{
    if (!isAbsoluteWindowsPath(path) || path.starts_with("\\\\?\\")) {
        return path;
    }
    std::string native = path;
    std::replace(native.begin(), native.end(), '/', '\\');
    return native.starts_with("\\\\") ? "\\\\?\\UNC\\" + native.substr(2) : "\\\\?\\" + native;
}

}  // namespace tavrelle::settings
