// Where the settings file lives: beside the executable for a copy that is not
// installed and may write there, otherwise in the user's configuration folder.
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

// "/a/b.c/tool.old" -> "/a/b.c/tool.ini": the extension starts at the last "."
// of the file name; a name without one gets ".ini" appended.
std::string settingsPathForExecutable(const std::string& executablePath);

// Where the running executable (as /proc/self/exe names it) keeps its
// settings. A copy in `installBinFolder`, or one that cannot save beside
// itself, uses $XDG_CONFIG_HOME/tavrelle/tavrelle.ini (by default under
// ~/.config), creating its folders; without a usable home that path names
// what was tried, reads nothing and cannot be saved.
SettingsLocation locateSettings(const std::string& installBinFolder);
// The same for the bin folder of the install prefix this build was made for.
SettingsLocation locateSettings();

}  // namespace tavrelle::settings
