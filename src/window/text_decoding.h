// Text of the user's own files, whose encoding nothing records.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tavrelle::window {

// UTF-8 (a byte order mark dropped) as it is, else Shift-JIS (code page 932)
// when every byte decodes to an assigned character, else Windows-1252, whose
// five unassigned bytes become U+FFFD. No system table is consulted.
std::string decodeToUtf8(std::string_view bytes);

// Code page 932's double-byte characters by lead byte (81-9F, E0-EF, FA-FC)
// and trail byte (40-7E, 80-FC); 0 where none is assigned.
extern const std::uint16_t kShiftJisDoubleBytes[50][188];

}  // namespace tavrelle::window
