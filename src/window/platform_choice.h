#pragma once

#include <optional>
#include <string>

namespace tavrelle::window {

// Only X lets a window place itself where it was last closed: on a Wayland
// session that also offers X, the value QT_QPA_PLATFORM is to take (X, then
// native Wayland where X does not answer) unless it names a platform; nothing
// to leave Qt's own choice. Each argument is null when unset.
std::optional<std::string> preferredPlatform(const char* qpaPlatform, const char* waylandDisplay,
                                             const char* sessionType, const char* display);

// False on native Wayland; after the QApplication exists.
bool platformReportsWindowPosition();

// Before the QApplication exists and any other thread reads the environment.
void preferXWayland();

}  // namespace tavrelle::window
