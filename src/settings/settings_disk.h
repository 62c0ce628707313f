// What both platforms' file code shares: the failure texts, and what opening
// makes of what each platform finds at the path.
#pragma once

#include "settings/settings_file.h"

#include <optional>
#include <string>

namespace tavrelle::settings {

SettingsError cannotOpen(const std::string& path);
SettingsError cannotCreate(const std::string& path);
SettingsError writeFailed();

// What the platform found at a settings path, read whole where it is a file.
struct FoundAtPath {
    enum Kind {
        // Certainly nothing there, or a path that is not absolute, which
        // could not mean the user's file wherever the program was started.
        Nothing,
        // A folder or another file that is not a regular one.
        NotAFile,
        // A file; `bytes` has no value where reading it failed.
        File,
        // The look itself failed: something there may hold the user's
        // settings, which a later save would overwrite.
        Unknown,
    };
    Kind kind = Nothing;
    std::optional<std::string> bytes;
};

FoundAtPath readAtPath(const std::string& path);

}  // namespace tavrelle::settings
