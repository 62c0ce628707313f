// Which window system the tool asks Qt for.
#pragma once

#include <optional>
#include <string>

namespace tavrelle::window {

// The window is placed where it was last closed, and only X lets a window
// place itself: on a Wayland session that also offers X (XWayland), the tool
// runs through X unless QT_QPA_PLATFORM names a platform. Given the values of
// QT_QPA_PLATFORM, WAYLAND_DISPLAY, XDG_SESSION_TYPE and DISPLAY (null when
// unset), the value QT_QPA_PLATFORM is to take, or nothing to leave Qt's own
// choice. Native Wayland stays the fallback where X does not answer.
std::optional<std::string> preferredPlatform(const char* qpaPlatform, const char* waylandDisplay,
                                             const char* sessionType, const char* display);

// False on native Wayland, which tells a window nothing of where it is; after
// the QApplication exists.
bool platformReportsWindowPosition();

// Sets QT_QPA_PLATFORM from the environment as above; before the QApplication
// exists and before any other thread reads the environment.
void preferXWayland();

}  // namespace tavrelle::window
