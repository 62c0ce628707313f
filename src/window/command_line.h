// What the program does before it opens a window: answer --help and
// --version, refuse other arguments, and stop with one line when there is no
// display to open the window on. Runs before any Qt object exists, so none
// of this needs a display or touches the settings file.
#pragma once

#include <optional>

namespace tavrelle::window {

// Prints what these arguments and the environment call for and returns the
// exit code, or nothing when the window is to open.
std::optional<int> handleCommandLine(int argc, const char* const* argv);

}  // namespace tavrelle::window
