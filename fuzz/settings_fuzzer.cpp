// Loads arbitrary bytes as a settings file. Besides crashes and sanitizer
// reports it checks that saving is a fixed point (what one save writes loads
// and saves back to the same bytes), that a write is read back, and that
// every integer read prints and reads back as itself.
#include "settings/settings_file.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

using tavrelle::settings::parseInteger;
using tavrelle::settings::SettingsFile;

void checkSavingIsFixed(const SettingsFile& file)
{
    const std::string first = SettingsFile::fromBytes(file.toBytes()).toBytes();
    const std::string second = SettingsFile::fromBytes(first).toBytes();
    if (first != second) {
        std::abort();
    }
}

// The next piece of `bytes` up to a NUL byte, which ends the piece.
std::string_view nextPiece(std::string_view& bytes)
{
    const std::size_t end = bytes.find('\0');
    const std::string_view piece = bytes.substr(0, end);
    bytes.remove_prefix(end == std::string_view::npos ? bytes.size() : end + 1);
    return piece;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    SettingsFile file = SettingsFile::fromBytes(bytes);
    const std::string saved = file.toBytes();
    if (SettingsFile::fromBytes(saved).toBytes() != saved) {
        std::abort();
    }

    std::string_view rest = bytes;
    const std::string_view section = nextPiece(rest);
    const std::string_view name = nextPiece(rest);
    const std::string_view value = nextPiece(rest);
    file.writeString(section, name, value);
    std::string expected(value);
    for (char& byte : expected) {
        if (byte == '\r' || byte == '\n') {
            byte = ' ';
        }
    }
    // A name holding "=" can never be found again: the entry's name ends there.
    if (name.find('=') == std::string_view::npos) {
        if (file.readString(section, name, "\x01missing") != expected) {
            std::abort();
        }
        const auto number = parseInteger(value);
        if (number && (parseInteger(std::to_string(*number)) != number || file.readInteger(section, name, 0) != *number)) {
            std::abort();
        }
    }
    checkSavingIsFixed(file);
    return 0;
}
