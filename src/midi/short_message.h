#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace tavrelle::midi {

struct ShortMessageBytes {
    std::array<unsigned char, 3> bytes{};
    std::size_t size = 0;  // 0 when the word is not a short message
};

// The bytes a word carries: status, then one or two data bytes as the status
// requires (Program Change and Channel Pressure take one). Words whose low
// byte is not a status byte, or that start a System Exclusive, give size 0.
constexpr ShortMessageBytes shortMessageBytes(std::uint32_t word)
{
    const auto status = static_cast<unsigned char>(word & 0xFF);
    ShortMessageBytes out{{status, static_cast<unsigned char>((word >> 8) & 0x7F),
                           static_cast<unsigned char>((word >> 16) & 0x7F)}, 3};
    if (status < 0x80 || status == 0xF0 || status == 0xF7 || status == 0xF4 || status == 0xF5 ||
        status == 0xF9 || status == 0xFD) {
        out.size = 0;
    } else if ((status & 0xE0) == 0xC0 || status == 0xF1 || status == 0xF3) {
        out.size = 2;
    } else if (status > 0xF2) {
        out.size = 1;  // real-time and tune request
    }
    return out;
}

}  // namespace tavrelle::midi
