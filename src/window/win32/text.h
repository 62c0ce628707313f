// UTF-16 for the W calls: the tool's UTF-8 texts through the settings' pair,
// and device names from the system code page's bytes.
#pragma once

#include "settings/windows/wide_path.h"

#include <string>

namespace tavrelle::window {

using settings::utf8ToWide;
using settings::wideToUtf8;
std::wstring systemToWide(const std::string& text);

}  // namespace tavrelle::window
