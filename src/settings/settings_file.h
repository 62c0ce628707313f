// Read whole at start-up, written back whole at shut-down; text is bytes,
// kept exactly. Names match ignoring ASCII case; of several matches the last
// wins, and the earlier ones are written back untouched.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tavrelle::settings {

// Thrown by open and save; what() is the exact UTF-8 message to show.
class SettingsError : public std::runtime_error {
public:
    using runtime_error::runtime_error;
};

class SettingsFile {
public:
    // Loads `readPath` into a copy that save() writes to `savePath`. Nothing
    // there, a non-regular file (on Windows: a folder) or a relative `readPath`
    // gives an empty copy; an unreadable file throws SettingsError naming it.
    static SettingsFile open(const std::string& readPath, const std::string& savePath);
    static SettingsFile open(const std::string& path) { return open(path, path); }
    static SettingsFile fromBytes(std::string_view bytes, std::string path = {});

    // `def` when the section or entry is missing; an empty value is kept.
    std::string readString(std::string_view section, std::string_view name, std::string_view def) const;
    // `def` when the entry is missing or not a number to parseInteger.
    std::int32_t readInteger(std::string_view section, std::string_view name, std::int32_t def) const;

    // Replaces the entry in place (the name takes the case passed now), or
    // appends it, and its section when missing; CR or LF is stored as a space.
    void writeString(std::string_view section, std::string_view name, std::string_view value);
    void writeInteger(std::string_view section, std::string_view name, std::int32_t value);

    // Every line ended by CR LF, each section by an empty line.
    std::string toBytes() const;
    // Failing, throws SettingsError naming path() and keeps the old file.
    void save() const;

    const std::string& path() const { return path_; }

private:
    // Compact, as a file can be large: all lines' bytes in one text, each ended
    // by a line feed (which no line holds); a line is its start there, kHeader
    // set for a header. A line written over is appended anew.
    static constexpr std::uint64_t kHeader = std::uint64_t{1} << 63;

    explicit SettingsFile(std::string path) : path_(std::move(path)) {}

    void appendLine(std::string_view bytes, std::uint64_t flags = 0);
    std::string_view lineAt(std::size_t line) const;
    bool isHeader(std::size_t line) const { return (lines_[line] & kHeader) != 0; }
    std::size_t sectionEnd(std::size_t header) const;

    std::optional<std::size_t> findSection(std::string_view name) const;
    std::optional<std::size_t> findLine(std::size_t header, std::string_view name) const;
    std::optional<std::string_view> findValue(std::string_view section, std::string_view name) const;

    std::string text_;
    std::vector<std::uint64_t> lines_;
    std::string path_;
};

// Strict: optional leading spaces (0x20 only), then either an optional sign
// and decimal digits within the 32-bit signed range, or one of the prefixes
// $ x X 0x 0X and at most 32 significant bits of hexadecimal taken as signed.
// Anything else, trailing bytes included, gives no value.
std::optional<std::int32_t> parseInteger(std::string_view text);

}  // namespace tavrelle::settings
