// What both platforms' file code shares.
#pragma once

#include "settings/settings_file.h"

#include <optional>
#include <string>
#include <string_view>

namespace tavrelle::settings {

// The extension starts at the last "." after the last of `separators`;
// without one ".ini" is appended.
std::string withIniExtension(const std::string& path, std::string_view separators);

SettingsError cannotOpen(const std::string& path);
SettingsError cannotCreate(const std::string& path);
SettingsError writeFailed();

// What the platform found at a settings path, read whole where it is a file.
struct FoundAtPath {
    // Nothing: certainly nothing, or a relative path, which cannot mean the
    // user's file. Unknown: the look failed, and what is there may hold the
    // user's settings, which a later save would overwrite. A File whose read
    // failed has no bytes.
    enum Kind { Nothing, NotAFile, File, Unknown };
    Kind kind = Nothing;
    std::optional<std::string> bytes;
};

FoundAtPath readAtPath(const std::string& path);

}  // namespace tavrelle::settings
