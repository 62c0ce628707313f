#include "window/win32/text.h"

#include <windows.h>

namespace tavrelle::window {

std::wstring systemToWide(const std::string& text) { return settings::wideFromCodePage(text, CP_ACP); }

}  // namespace tavrelle::window
