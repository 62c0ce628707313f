#include "window/platform_choice.h"

#include <QGuiApplication>

#include <cstdlib>
#include <string_view>

namespace tavrelle::window {
namespace {

bool isSet(const char* value) { return value != nullptr && *value != '\0'; }

}  // namespace

std::optional<std::string> preferredPlatform(const char* qpaPlatform, const char* waylandDisplay,
                                             const char* sessionType, const char* display)
{
    const bool wayland = isSet(waylandDisplay) || (isSet(sessionType) && std::string_view(sessionType) == "wayland");
    if (isSet(qpaPlatform) || !wayland || !isSet(display)) {
        return std::nullopt;
    }
    return "xcb;wayland";
}

bool platformReportsWindowPosition()
{
    return !QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

void preferXWayland()
{
    const auto platform = preferredPlatform(std::getenv("QT_QPA_PLATFORM"), std::getenv("WAYLAND_DISPLAY"),
                                            std::getenv("XDG_SESSION_TYPE"), std::getenv("DISPLAY"));
    if (platform) {
        setenv("QT_QPA_PLATFORM", platform->c_str(), 1);
    }
}

}  // namespace tavrelle::window
