#pragma once

#include <optional>
#include <string_view>

namespace tavrelle::midi::backend {

// Whether something accepts connections on the local socket at `path` (in
// the abstract namespace when `abstract`); nothing when the path cannot be
// probed, being too long or no socket being had.
std::optional<bool> unixSocketAnswers(std::string_view path, bool abstract = false);

}  // namespace tavrelle::midi::backend
