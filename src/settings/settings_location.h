#pragma once

#include <string>

namespace tavrelle::settings {

// Start-up reads the settings from readPath and shut-down saves them to
// savePath. They differ only while a per-user file does not exist yet and a
// file beside the executable gives its first values.
struct SettingsLocation {
    std::string readPath;
    std::string savePath;
};

// "/a/b.c/tool.old" -> "/a/b.c/tool.ini"; a name without extension gets ".ini".
std::string settingsPathForExecutable(const std::string& executablePath);

// Where the running executable keeps its settings. Without a usable home the
// path names what was tried, reads nothing and cannot be saved.
SettingsLocation locateSettings();

}  // namespace tavrelle::settings
