#include "settings/settings_file.h"

#include <limits>
#include <utility>

namespace tavrelle::settings {
namespace {

constexpr std::string_view kLineEnd = "\r\n";

bool IsBlank(char byte) { return static_cast<unsigned char>(byte) <= 0x20; }

std::string_view Trim(std::string_view text)
{
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// A line break inside a written name or value would split it into lines that
// load back as other entries or even other sections.
std::string SingleLine(std::string_view text)
{
    std::string line(text);
    for (char& byte : line) {
        if (byte == '\r' || byte == '\n') {
            byte = ' ';
        }
    }
    return line;
}

// The one place where names become lookup keys: ASCII upper case, so that
// bytes of other encodings never change, and line breaks folded the way
// SingleLine stores them.
std::string LookupKey(std::string_view name)
{
    std::string key = SingleLine(name);
    for (char& byte : key) {
        if (byte >= 'a' && byte <= 'z') {
            byte = static_cast<char>(byte - 'a' + 'A');
        }
    }
    return key;
}

int HexDigitValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<std::int32_t> ParseHexadecimal(std::string_view digits)
{
    if (digits.empty()) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (char c : digits) {
        const int digit = HexDigitValue(c);
        if (digit < 0) {
            return std::nullopt;
        }
        value = value * 16 + static_cast<std::uint64_t>(digit);
        if (value > std::numeric_limits<std::uint32_t>::max()) {
            return std::nullopt;
        }
    }
    // The 32 bits are a two's complement pattern: FFFFFFFF is -1.
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
}

std::optional<std::int32_t> ParseDecimal(std::string_view text)
{
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    constexpr std::int64_t kMagnitudeLimit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
    std::int64_t magnitude = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        magnitude = magnitude * 10 + (c - '0');
        if (magnitude > kMagnitudeLimit) {
            return std::nullopt;
        }
    }
    const std::int64_t value = negative ? -magnitude : magnitude;
    if (value > std::numeric_limits<std::int32_t>::max()) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(value);
}

}  // namespace

std::optional<std::int32_t> ParseInteger(std::string_view text)
{
    while (!text.empty() && text.front() == ' ') {
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    if (text.front() == '$' || text.front() == 'x' || text.front() == 'X') {
        return ParseHexadecimal(text.substr(1));
    }
    if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        return ParseHexadecimal(text.substr(2));
    }
    return ParseDecimal(text);
}

SettingsFile SettingsFile::FromBytes(std::string_view bytes, std::string path)
{
    SettingsFile file(std::move(path));
    std::size_t position = 0;
    while (position < bytes.size()) {
        std::size_t end = position;
        while (end < bytes.size() && bytes[end] != '\r' && bytes[end] != '\n') {
            ++end;
        }
        const std::string_view line = Trim(bytes.substr(position, end - position));
        position = end;
        if (position < bytes.size()) {
            const bool crlf = bytes[position] == '\r' && position + 1 < bytes.size() && bytes[position + 1] == '\n';
            position += crlf ? 2 : 1;
        }

        if (line.empty() || line.front() == ';') {
            continue;
        }
        if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
            file.AppendSection(std::string(Trim(line.substr(1, line.size() - 2))));
            continue;
        }
        if (file.sections_.empty()) {
            continue;
        }
        Section& section = file.sections_.back();
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos) {
            file.AppendEntry(section, std::string(line));
            continue;
        }
        const std::string_view name = Trim(line.substr(0, equals));
        const std::string_view value = Trim(line.substr(equals + 1));
        std::string entry;
        entry.reserve(name.size() + 1 + value.size());
        entry.append(name).append(1, '=').append(value);
        file.AppendEntry(section, std::move(entry));
    }
    return file;
}

void SettingsFile::AppendSection(std::string name)
{
    sectionIndex_.insert_or_assign(LookupKey(name), sections_.size());
    sections_.push_back(Section{std::move(name), {}, {}});
}

void SettingsFile::AppendEntry(Section& section, std::string line)
{
    const std::size_t nameLength = line.find('=');
    if (nameLength != std::string::npos) {
        section.entryIndex.insert_or_assign(LookupKey(std::string_view(line).substr(0, nameLength)),
                                            section.entries.size());
    }
    section.entries.push_back(Entry{std::move(line), nameLength});
}

const SettingsFile::Section* SettingsFile::FindSection(std::string_view name) const
{
    const auto found = sectionIndex_.find(LookupKey(name));
    return found == sectionIndex_.end() ? nullptr : &sections_[found->second];
}

std::optional<std::string_view> SettingsFile::FindValue(std::string_view section, std::string_view name) const
{
    const Section* found = FindSection(section);
    if (found == nullptr) {
        return std::nullopt;
    }
    const auto entry = found->entryIndex.find(LookupKey(name));
    if (entry == found->entryIndex.end()) {
        return std::nullopt;
    }
    const Entry& e = found->entries[entry->second];
    return std::string_view(e.line).substr(e.nameLength + 1);
}

std::string SettingsFile::ReadString(std::string_view section, std::string_view name, std::string_view def) const
{
    return std::string(FindValue(section, name).value_or(def));
}

std::int32_t SettingsFile::ReadInteger(std::string_view section, std::string_view name, std::int32_t def) const
{
    const std::optional<std::string_view> text = FindValue(section, name);
    if (!text) {
        return def;
    }
    return ParseInteger(*text).value_or(def);
}

void SettingsFile::WriteString(std::string_view section, std::string_view name, std::string_view value)
{
    const auto foundSection = sectionIndex_.find(LookupKey(section));
    std::size_t sectionPosition = 0;
    if (foundSection == sectionIndex_.end()) {
        sectionPosition = sections_.size();
        AppendSection(SingleLine(section));
    } else {
        sectionPosition = foundSection->second;
    }
    Section& target = sections_[sectionPosition];

    std::string line = SingleLine(name);
    line += '=';
    line += SingleLine(value);

    // The index holds only names taken from before a line's first "=", so a
    // name that itself holds "=" never finds an entry and is appended.
    const auto foundEntry = target.entryIndex.find(LookupKey(name));
    if (foundEntry == target.entryIndex.end()) {
        AppendEntry(target, std::move(line));
        return;
    }
    Entry& entry = target.entries[foundEntry->second];
    entry.nameLength = name.size();
    entry.line = std::move(line);
}

void SettingsFile::WriteInteger(std::string_view section, std::string_view name, std::int32_t value)
{
    WriteString(section, name, std::to_string(value));
}

std::string SettingsFile::ToBytes() const
{
    std::size_t size = 0;
    for (const Section& section : sections_) {
        size += section.name.size() + 2 + 2 * kLineEnd.size();
        for (const Entry& entry : section.entries) {
            size += entry.line.size() + kLineEnd.size();
        }
    }
    std::string bytes;
    bytes.reserve(size);
    for (const Section& section : sections_) {
        bytes.append(1, '[').append(section.name).append(1, ']').append(kLineEnd);
        for (const Entry& entry : section.entries) {
            bytes.append(entry.line).append(kLineEnd);
        }
        bytes.append(kLineEnd);
    }
    return bytes;
}

}  // namespace tavrelle::settings
