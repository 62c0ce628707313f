// Turning a short message word into the bytes that go on the wire.
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
    ShortMessageBytes out;
    const auto status = static_cast<unsigned char>(word & 0xFF);
    const auto data1 = static_cast<unsigned char>((word >> 8) & 0x7F);
    const auto data2 = static_cast<unsigned char>((word >> 16) & 0x7F);
    std::size_t size = 0;
    if (status < 0x80 || status == 0xF0 || status == 0xF7 || status == 0xF4 || status == 0xF5 ||
        status == 0xF9 || status == 0xFD) {
        size = 0;
    } else if (status < 0xF0) {
        const unsigned kind = status & 0xF0;
        size = (kind == 0xC0 || kind == 0xD0) ? 2 : 3;
    } else if (status == 0xF1 || status == 0xF3) {
        size = 2;
    } else if (status == 0xF2) {
        size = 3;
    } else {
        size = 1;  // real-time and tune request
    }
    out.size = size;
    out.bytes = {status, data1, data2};
    return out;
}

}  // namespace tavrelle::midi
