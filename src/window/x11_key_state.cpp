#include "window/x11_key_state.h"

#include <QGuiApplication>
#include <QKeyEvent>

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>

namespace tavrelle::window {

bool keyStillHeld(const QKeyEvent& release)
{
    const auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t* connection = x11 != nullptr ? x11->connection() : nullptr;
    // On X11 the native scan code is the X key code, 8 to 255.
    const quint32 code = release.nativeScanCode();
    if (connection == nullptr || code == 0 || code > 255) {
        return false;
    }
    // One round trip: the keys that are down now, not when the event was sent.
    const std::unique_ptr<xcb_query_keymap_reply_t, decltype(&std::free)> keys(
        xcb_query_keymap_reply(connection, xcb_query_keymap(connection), nullptr), &std::free);
    return keys != nullptr && (keys->keys[code / 8] & (1U << (code % 8))) != 0;
}

}  // namespace tavrelle::window
