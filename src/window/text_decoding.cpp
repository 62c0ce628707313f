#include "window/text_decoding.h"

#include <optional>

namespace tavrelle::window {
namespace {

// Windows-1252's 80-9F; the rest of its upper half is Latin-1.
constexpr char16_t kWindows1252High[32] = {
    0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0xFFFD,
    0x017D, 0xFFFD, 0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A,
    0x0153, 0xFFFD, 0x017E, 0x0178,
};

void appendUtf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

unsigned char byteAt(std::string_view bytes, std::size_t i) { return static_cast<unsigned char>(bytes[i]); }

std::size_t asciiRun(std::string_view bytes, std::size_t from)
{
    std::size_t end = from;
    while (end < bytes.size() && byteAt(bytes, end) < 0x80) {
        ++end;
    }
    return end - from;
}

bool isValidUtf8(std::string_view bytes)
{
    std::size_t i = 0;
    while (i < bytes.size()) {
        const unsigned char lead = byteAt(bytes, i);
        if (lead < 0x80) {
            ++i;
            continue;
        }
        // Overlong forms, surrogates and values beyond U+10FFFF are refused
        // through the first continuation byte's range.
        std::size_t length = 0;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            low = lead == 0xE0 ? 0xA0 : 0x80;
            high = lead == 0xED ? 0x9F : 0xBF;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF;
        } else {
            return false;
        }
        if (bytes.size() - i < length) {
            return false;
        }
        for (std::size_t k = 1; k < length; ++k) {
            const unsigned char next = byteAt(bytes, i + k);
            if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF)) {
                return false;
            }
        }
        i += length;
    }
    return true;
}

int shiftJisRow(unsigned char lead)
{
    if (lead >= 0x81 && lead <= 0x9F) return lead - 0x81;
    if (lead >= 0xE0 && lead <= 0xEF) return lead - 0xE0 + 31;
    if (lead >= 0xFA && lead <= 0xFC) return lead - 0xFA + 47;
    return -1;
}

int shiftJisColumn(unsigned char trail)
{
    if (trail >= 0x40 && trail <= 0x7E) return trail - 0x40;
    if (trail >= 0x80 && trail <= 0xFC) return trail - 0x80 + 63;
    return -1;
}

std::optional<std::string> decodeShiftJis(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 2);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const unsigned char lead = byteAt(bytes, i);
        if (lead < 0x80) {
            const std::size_t ascii = asciiRun(bytes, i);
            out.append(bytes.substr(i, ascii));
            i += ascii - 1;
        } else if (lead >= 0xA1 && lead <= 0xDF) {
            appendUtf8(out, 0xFF61 + (lead - 0xA1));  // half-width katakana
        } else {
            const int row = shiftJisRow(lead);
            const int column = i + 1 < bytes.size() ? shiftJisColumn(byteAt(bytes, i + 1)) : -1;
            if (row < 0 || column < 0 || kShiftJisDoubleBytes[row][column] == 0) {
                return std::nullopt;
            }
            appendUtf8(out, kShiftJisDoubleBytes[row][column]);
            ++i;
        }
    }
    return out;
}

std::string decodeWindows1252(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 4);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const unsigned char c = byteAt(bytes, i);
        if (c < 0x80) {
            const std::size_t ascii = asciiRun(bytes, i);
            out.append(bytes.substr(i, ascii));
            i += ascii - 1;
        } else {
            appendUtf8(out, c >= 0xA0 ? char32_t{c} : char32_t{kWindows1252High[c - 0x80]});
        }
    }
    return out;
}

}  // namespace

std::string decodeToUtf8(std::string_view bytes)
{
    if (bytes.starts_with("\xEF\xBB\xBF")) {
        bytes.remove_prefix(3);
    }
    if (isValidUtf8(bytes)) {
        return std::string(bytes);
    }
    if (std::optional<std::string> japanese = decodeShiftJis(bytes)) {
        return std::move(*japanese);
    }
    return decodeWindows1252(bytes);
}

}  // namespace tavrelle::window
