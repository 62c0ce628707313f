#pragma once

#include <optional>

namespace tavrelle::window {

// Answers --help and --version, refuses other arguments and stops with one
// line without a display; before any Qt object exists. The exit code, or
// nothing when the window is to open.
std::optional<int> handleCommandLine(int argc, const char* const* argv);

}  // namespace tavrelle::window
