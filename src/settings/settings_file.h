// The settings file: an in-memory copy of an INI-style file of named sections
// holding "name=value" entries, read whole at start-up and written back whole
// at shut-down.
//
// Text is bytes, kept exactly as read or written. Names match ignoring ASCII
// letter case, and of several matching sections or entries the last one wins;
// earlier duplicates are kept and written back untouched.
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
    // Loads the file at `readPath` into a copy that save() writes to
    // `savePath`. A missing file, a directory of that name or a `readPath`
    // that is not absolute gives an empty copy; a file that exists but cannot be read
    // (permissions, another program's exclusive lock, a read error) throws
    // SettingsError naming `readPath`.
    static SettingsFile open(const std::string& readPath, const std::string& savePath);
    static SettingsFile open(const std::string& path) { return open(path, path); }
    // Parses `bytes` into a copy that save() writes to `path`; never touches disk.
    static SettingsFile fromBytes(std::string_view bytes, std::string path = {});

    // The value of the entry, or `def` when the section or entry is missing.
    // An entry with an empty value gives empty text, not the default.
    std::string readString(std::string_view section, std::string_view name, std::string_view def) const;
    // The entry's value read by parseInteger, or `def` when the entry is
    // missing, empty or not a valid number.
    std::int32_t readInteger(std::string_view section, std::string_view name, std::int32_t def) const;

    // Replaces the entry in place (the name takes the case passed now), or
    // appends it to the section, appending the section when it is missing.
    // A CR or LF in any argument is stored as a space, so that one write
    // stays one line of the file.
    void writeString(std::string_view section, std::string_view name, std::string_view value);
    void writeInteger(std::string_view section, std::string_view name, std::int32_t value);

    // The exact bytes save writes: each section's header, its lines and an
    // empty line, every line ended by CR LF; nothing at all for an empty copy.
    std::string toBytes() const;
    // Replaces the file at path() with toBytes(), atomically wherever the
    // folder allows a new file. On failure throws SettingsError naming path()
    // and leaves the old file and the copy in memory as they were.
    void save() const;

    // Where save writes.
    const std::string& path() const { return path_; }

private:
    // A line is "name=value" split at its first "=", or a bare line without
    // "=" that is only carried along. The copy is kept compact, as a file can
    // be large: every line's bytes sit in one text, each followed by a line
    // feed (which no line holds), and each line is one number in file order,
    // its start in that text with kHeader set for a section's header (whose
    // bytes are the section's name). A line written over is rewritten at the
    // end of the text.
    static constexpr std::uint64_t kHeader = std::uint64_t{1} << 63;

    explicit SettingsFile(std::string path) : path_(std::move(path)) {}

    void appendLine(std::string_view bytes, std::uint64_t flags = 0);
    std::string_view lineAt(std::size_t line) const;
    bool isHeader(std::size_t line) const { return (lines_[line] & kHeader) != 0; }
    // The line after the section whose header is at `header`.
    std::size_t sectionEnd(std::size_t header) const;

    // The position of the header of the last section, or of the section's
    // last line, whose name matches `name`, if any.
    std::optional<std::size_t> findSection(std::string_view name) const;
    std::optional<std::size_t> findLine(std::size_t header, std::string_view name) const;
    std::optional<std::string_view> findValue(std::string_view section, std::string_view name) const;

    std::string text_;
    std::vector<std::uint64_t> lines_;
    std::string path_;
};

// Reads integer text strictly: optional leading spaces (0x20 only), then
// either an optional sign and decimal digits within the 32-bit signed range,
// or one of the prefixes $ x X 0x 0X and at most 32 significant bits of
// hexadecimal digits taken as signed. Anything else, trailing bytes
// included, gives no value.
std::optional<std::int32_t> parseInteger(std::string_view text);

}  // namespace tavrelle::settings
