#pragma once

#include <algorithm>
#include <string_view>

namespace tavrelle::midi {

inline bool allDigits(std::string_view text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace tavrelle::midi
