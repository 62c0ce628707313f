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
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tavrelle::settings {

// Thrown by Open and Save; what() is the exact UTF-8 message to show.
class SettingsError : public std::runtime_error {
public:
    using runtime_error::runtime_error;
};

class SettingsFile {
public:
    // Loads the file at `path`. A missing file, or a directory of that name,
    // gives an empty copy; a file that exists but cannot be read (permissions,
    // another program's exclusive lock, a read error) throws SettingsError.
    static SettingsFile Open(const std::string& path);
    // Parses `bytes` as if they had been read from `path`; never touches disk.
    static SettingsFile FromBytes(std::string_view bytes, std::string path = {});

    // The value of the entry, or `def` when the section or entry is missing.
    // An entry with an empty value gives empty text, not the default.
    std::string ReadString(std::string_view section, std::string_view name, std::string_view def) const;
    // The entry's value read by ParseInteger, or `def` when the entry is
    // missing, empty or not a valid number.
    std::int32_t ReadInteger(std::string_view section, std::string_view name, std::int32_t def) const;

    // Replaces the entry in place (the name takes the case passed now), or
    // appends it to the section, appending the section when it is missing.
    // A CR or LF in any argument is stored as a space, so that one write
    // stays one line of the file.
    void WriteString(std::string_view section, std::string_view name, std::string_view value);
    void WriteInteger(std::string_view section, std::string_view name, std::int32_t value);

    // The exact bytes Save writes: each section's header, its entries and an
    // empty line, every line ended by CR LF; nothing at all for an empty copy.
    std::string ToBytes() const;
    // Replaces the file at path() atomically with ToBytes(). On failure throws
    // SettingsError and leaves the old file and the copy in memory as they were.
    void Save() const;

    const std::string& path() const { return path_; }

private:
    struct KeyHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view key) const { return std::hash<std::string_view>{}(key); }
    };
    // Upper-cased name -> position of the last section or entry with that name.
    using KeyIndex = std::unordered_map<std::string, std::size_t, KeyHash, std::equal_to<>>;

    // One line of a section: "name=value" split at its first "=", or a bare
    // line (nameLength == npos) that is only carried along.
    struct Entry {
        std::string line;
        std::size_t nameLength;
    };
    struct Section {
        std::string name;
        std::vector<Entry> entries;
        KeyIndex entryIndex;
    };

    explicit SettingsFile(std::string path) : path_(std::move(path)) {}

    void AppendSection(std::string name);
    void AppendEntry(Section& section, std::string line);
    const Section* FindSection(std::string_view name) const;
    std::optional<std::string_view> FindValue(std::string_view section, std::string_view name) const;

    std::vector<Section> sections_;
    KeyIndex sectionIndex_;
    std::string path_;
};

// Reads integer text strictly: optional leading spaces (0x20 only), then
// either an optional sign and decimal digits within the 32-bit signed range,
// or one of the prefixes $ x X 0x 0X and at most 32 significant bits of
// hexadecimal digits taken as signed. Anything else, trailing bytes
// included, gives no value.
std::optional<std::int32_t> ParseInteger(std::string_view text);

// "/a/b.c/tool.old" -> "/a/b.c/tool.ini": the extension starts at the last "."
// of the file name; a name without one gets ".ini" appended.
std::string SettingsPathForExecutable(const std::string& executablePath);

// The file beside the executable when it exists or its folder is writable;
// otherwise the same file name in `perUserConfigDir`, which is created
// when missing so that the first save can succeed.
std::string LocateSettingsFile(const std::string& executablePath, const std::string& perUserConfigDir);

}  // namespace tavrelle::settings
