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
    static SettingsFile open(const std::string& path);
    // Parses `bytes` as if they had been read from `path`; never touches disk.
    static SettingsFile fromBytes(std::string_view bytes, std::string path = {});

    // The value of the entry, or `def` when the section or entry is missing.
    // An entry with an empty value gives empty text, not the default.
    std::string readString(std::string_view section, std::string_view name, std::string_view def) const;
    // The entry's value read by ParseInteger, or `def` when the entry is
    // missing, empty or not a valid number.
    std::int32_t readInteger(std::string_view section, std::string_view name, std::int32_t def) const;

    // Replaces the entry in place (the name takes the case passed now), or
    // appends it to the section, appending the section when it is missing.
    // A CR or LF in any argument is stored as a space, so that one write
    // stays one line of the file.
    void writeString(std::string_view section, std::string_view name, std::string_view value);
    void writeInteger(std::string_view section, std::string_view name, std::int32_t value);

    // The exact bytes Save writes: each section's header, its entries and an
    // empty line, every line ended by CR LF; nothing at all for an empty copy.
    std::string toBytes() const;
    // Replaces the file at path() atomically with toBytes(). On failure throws
    // SettingsError and leaves the old file and the copy in memory as they were.
    void save() const;

    const std::string& path() const { return path_; }

private:
    // Sizes and offsets are 32-bit to keep the per-entry records small, which
    // matters for speed once a file outgrows the processor's caches; texts
    // of 4 GiB and more are refused.
    static constexpr std::uint32_t kNone = 0xFFFFFFFF;

    // Where a piece of text lives: inside the loaded file's bytes, or, once
    // written or rebuilt, in the written text. Offsets rather than pointers
    // keep copies and moves of the whole object valid.
    struct TextRef {
        std::uint32_t offset = 0;
        std::uint32_t length = 0;
        bool written = false;
    };
    // One line of a section: "name=value" split at its first "=", or a bare
    // line (nameLength == kNone) that is only carried along.
    struct Entry {
        TextRef line;
        std::uint32_t nameLength = kNone;
    };

    // Open-addressing hash index from names, matched as lookup keys, to the
    // position of the last section or entry of that name. It stores no
    // names: `nameAt` gives the name at a position.
    class NameIndex {
    public:
        template <typename NameAt>
        std::optional<std::size_t> Find(std::string_view name, NameAt nameAt) const;
        // Points `name` at `position`, replacing an earlier one of that name.
        template <typename NameAt>
        void Assign(std::string_view name, std::size_t position, NameAt nameAt);
        // Makes room for `count` names at once, so that no growing follows.
        void Reserve(std::size_t count);

    private:
        struct Slot {
            std::uint32_t hash = 0;
            std::uint32_t positionPlusOne = 0;  // 0: the slot is free
        };
        void Grow(std::size_t size);

        std::vector<Slot> slots_;
        std::size_t count_ = 0;
    };

    struct Section {
        TextRef name;
        std::vector<Entry> entries;
        NameIndex entryIndex;
    };

    explicit SettingsFile(std::string path) : path_(std::move(path)) {}
    static SettingsFile Parse(std::string bytes, std::string path);

    std::string_view Text(const TextRef& ref) const;
    std::string_view EntryName(const Section& section, std::size_t position) const;
    std::string_view SectionName(std::size_t position) const;
    // Appends `name`, or the line "name=value" when a value is given, to the
    // written text, with line breaks stored as spaces.
    TextRef AppendWritten(std::string_view name, std::optional<std::string_view> value);
    // Counts `old` as unused once it is replaced, and packs the written text
    // when unused bytes outweigh both what is in use and a pass over every
    // line, so that repeated writes take amortised constant time and memory.
    void Discard(const TextRef& old);
    void PackWritten();
    void AppendSection(TextRef name);
    void AppendEntry(Section& section, Entry entry);
    void IndexAllEntries(Section& section);
    std::optional<std::size_t> FindSection(std::string_view name) const;
    std::optional<std::string_view> FindValue(std::string_view section, std::string_view name) const;

    std::string loaded_;
    std::string written_;
    std::size_t unusedWritten_ = 0;
    std::size_t lineCount_ = 0;
    std::vector<Section> sections_;
    NameIndex sectionIndex_;
    std::string path_;
};

// Reads integer text strictly: optional leading spaces (0x20 only), then
// either an optional sign and decimal digits within the 32-bit signed range,
// or one of the prefixes $ x X 0x 0X and at most 32 significant bits of
// hexadecimal digits taken as signed. Anything else, trailing bytes
// included, gives no value.
std::optional<std::int32_t> parseInteger(std::string_view text);

// "/a/b.c/tool.old" -> "/a/b.c/tool.ini": the extension starts at the last "."
// of the file name; a name without one gets ".ini" appended.
std::string settingsPathForExecutable(const std::string& executablePath);

// The file beside the executable when it exists or its folder is writable;
// otherwise the same file name in `perUserConfigDir`, which is created
// when missing so that the first save can succeed.
std::string locateSettingsFile(const std::string& executablePath, const std::string& perUserConfigDir);

}  // namespace tavrelle::settings
