#include "settings/settings_file.h"

#include <algorithm>
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
void AppendSingleLine(std::string& text, std::string_view piece)
{
    const std::size_t start = text.size();
    text.append(piece);
    for (std::size_t i = start; i < text.size(); ++i) {
        if (text[i] == '\r' || text[i] == '\n') {
            text[i] = ' ';
        }
    }
}

// The one place where names become lookup keys, byte by byte: ASCII upper
// case, so that bytes of other encodings never change, and line breaks
// folded the way AppendSingleLine stores them.
unsigned char KeyByte(char byte)
{
    if (byte >= 'a' && byte <= 'z') {
        return static_cast<unsigned char>(byte - 'a' + 'A');
    }
    if (byte == '\r' || byte == '\n') {
        return ' ';
    }
    return static_cast<unsigned char>(byte);
}

bool KeysEqual(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (KeyByte(a[i]) != KeyByte(b[i])) {
            return false;
        }
    }
    return true;
}

std::uint32_t KeyHash(std::string_view name)
{
    std::uint32_t hash = 2166136261u;  // FNV-1a
    for (char byte : name) {
        hash = (hash ^ KeyByte(byte)) * 16777619u;
    }
    // Spreads the low bits that pick the slot (MurmurHash3's finaliser).
    hash ^= hash >> 16;
    hash *= 0x85ebca6bu;
    hash ^= hash >> 13;
    hash *= 0xc2b2ae35u;
    hash ^= hash >> 16;
    return hash;
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

std::optional<std::int32_t> parseInteger(std::string_view text)
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

template <typename NameAt>
std::optional<std::size_t> SettingsFile::NameIndex::Find(std::string_view name, NameAt nameAt) const
{
    if (slots_.empty()) {
        return std::nullopt;
    }
    const std::uint32_t hash = KeyHash(name);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
        const Slot& slot = slots_[i];
        if (slot.positionPlusOne == 0) {
            return std::nullopt;
        }
        if (slot.hash == hash && KeysEqual(nameAt(slot.positionPlusOne - 1), name)) {
            return slot.positionPlusOne - 1;
        }
    }
}

template <typename NameAt>
void SettingsFile::NameIndex::Assign(std::string_view name, std::size_t position, NameAt nameAt)
{
    if (position >= std::numeric_limits<std::uint32_t>::max()) {
        throw std::length_error("too many settings entries");
    }
    if ((count_ + 1) * 2 > slots_.size()) {
        Grow(slots_.empty() ? 16 : slots_.size() * 2);
    }
    const std::uint32_t hash = KeyHash(name);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
        Slot& slot = slots_[i];
        if (slot.positionPlusOne == 0) {
            slot = Slot{hash, static_cast<std::uint32_t>(position + 1)};
            ++count_;
            return;
        }
        if (slot.hash == hash && KeysEqual(nameAt(slot.positionPlusOne - 1), name)) {
            slot.positionPlusOne = static_cast<std::uint32_t>(position + 1);
            return;
        }
    }
}

void SettingsFile::NameIndex::Reserve(std::size_t count)
{
    std::size_t size = 16;
    while (size < 2 * (count_ + count)) {
        size *= 2;
    }
    if (size > slots_.size()) {
        Grow(size);
    }
}

void SettingsFile::NameIndex::Grow(std::size_t size)
{
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(size, Slot{});
    const std::size_t mask = slots_.size() - 1;
    for (const Slot& slot : old) {
        if (slot.positionPlusOne != 0) {
            std::size_t i = slot.hash & mask;
            while (slots_[i].positionPlusOne != 0) {
                i = (i + 1) & mask;
            }
            slots_[i] = slot;
        }
    }
}

SettingsFile SettingsFile::fromBytes(std::string_view bytes, std::string path)
{
    return Parse(std::string(bytes), std::move(path));
}

SettingsFile SettingsFile::Parse(std::string bytes, std::string path)
{
    if (bytes.size() >= kNone) {
        throw SettingsError("ファイル " + path + " は開けません");
    }
    SettingsFile file(std::move(path));
    file.loaded_ = std::move(bytes);
    const std::string_view text = file.loaded_;
    const auto refTo = [&](std::string_view piece) {
        return TextRef{static_cast<std::uint32_t>(piece.data() - text.data()), static_cast<std::uint32_t>(piece.size())};
    };

    std::size_t position = 0;
    while (position < text.size()) {
        std::size_t end = position;
        while (end < text.size() && text[end] != '\r' && text[end] != '\n') {
            ++end;
        }
        const std::string_view line = Trim(text.substr(position, end - position));
        position = end;
        if (position < text.size()) {
            const bool crlf = text[position] == '\r' && position + 1 < text.size() && text[position + 1] == '\n';
            position += crlf ? 2 : 1;
        }

        if (line.empty() || line.front() == ';') {
            continue;
        }
        if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
            if (!file.sections_.empty()) {
                file.IndexAllEntries(file.sections_.back());
            }
            file.AppendSection(refTo(Trim(line.substr(1, line.size() - 2))));
            continue;
        }
        if (file.sections_.empty()) {
            continue;
        }
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos) {
            file.sections_.back().entries.push_back(Entry{refTo(line), kNone});
            ++file.lineCount_;
            continue;
        }
        const std::string_view name = Trim(line.substr(0, equals));
        const std::string_view value = Trim(line.substr(equals + 1));
        Entry entry{refTo(line.substr(0, name.size() + 1 + value.size())), static_cast<std::uint32_t>(name.size())};
        // Blanks around the "=" are dropped; only then does the stored line
        // differ from the file's bytes and need text of its own.
        const bool blanksAroundEquals =
            name.size() != equals || (!value.empty() && value.data() != line.data() + equals + 1);
        if (blanksAroundEquals) {
            entry.line = file.AppendWritten(name, value);
        }
        file.sections_.back().entries.push_back(entry);
        ++file.lineCount_;
    }
    if (!file.sections_.empty()) {
        file.IndexAllEntries(file.sections_.back());
    }
    return file;
}

std::string_view SettingsFile::Text(const TextRef& ref) const
{
    return std::string_view(ref.written ? written_ : loaded_).substr(ref.offset, ref.length);
}

std::string_view SettingsFile::EntryName(const Section& section, std::size_t position) const
{
    const Entry& entry = section.entries[position];
    return Text(entry.line).substr(0, entry.nameLength);
}

std::string_view SettingsFile::SectionName(std::size_t position) const
{
    return Text(sections_[position].name);
}

SettingsFile::TextRef SettingsFile::AppendWritten(std::string_view name, std::optional<std::string_view> value)
{
    const std::size_t length = name.size() + (value ? 1 + value->size() : 0);
    if (written_.size() + length >= kNone) {
        throw std::length_error("settings text too long");
    }
    const auto offset = static_cast<std::uint32_t>(written_.size());
    AppendSingleLine(written_, name);
    if (value) {
        written_ += '=';
        AppendSingleLine(written_, *value);
    }
    return TextRef{offset, static_cast<std::uint32_t>(length), true};
}

void SettingsFile::Discard(const TextRef& old)
{
    if (!old.written) {
        return;
    }
    unusedWritten_ += old.length;
    if (unusedWritten_ > written_.size() / 2 && unusedWritten_ > 16 * (lineCount_ + sections_.size())) {
        PackWritten();
    }
}

void SettingsFile::PackWritten()
{
    std::string packed;
    packed.reserve(written_.size() - unusedWritten_);
    const auto keep = [&](TextRef& ref) {
        if (ref.written) {
            const auto offset = static_cast<std::uint32_t>(packed.size());
            packed.append(written_, ref.offset, ref.length);
            ref.offset = offset;
        }
    };
    for (Section& section : sections_) {
        keep(section.name);
        for (Entry& entry : section.entries) {
            keep(entry.line);
        }
    }
    written_ = std::move(packed);
    unusedWritten_ = 0;
}

void SettingsFile::AppendSection(TextRef name)
{
    sectionIndex_.Assign(Text(name), sections_.size(), [this](std::size_t at) { return SectionName(at); });
    sections_.push_back(Section{name, {}, {}});
}

void SettingsFile::AppendEntry(Section& section, Entry entry)
{
    section.entries.push_back(entry);
    ++lineCount_;
    if (entry.nameLength != kNone) {
        section.entryIndex.Assign(EntryName(section, section.entries.size() - 1), section.entries.size() - 1,
                                  [&](std::size_t at) { return EntryName(section, at); });
    }
}

// Indexes a section that loading has filled, in one go with no regrowing.
void SettingsFile::IndexAllEntries(Section& section)
{
    section.entryIndex.Reserve(section.entries.size());
    const auto nameAt = [&](std::size_t at) { return EntryName(section, at); };
    for (std::size_t position = 0; position < section.entries.size(); ++position) {
        if (section.entries[position].nameLength != kNone) {
            section.entryIndex.Assign(nameAt(position), position, nameAt);
        }
    }
}

std::optional<std::size_t> SettingsFile::FindSection(std::string_view name) const
{
    return sectionIndex_.Find(name, [this](std::size_t at) { return SectionName(at); });
}

std::optional<std::string_view> SettingsFile::FindValue(std::string_view section, std::string_view name) const
{
    const std::optional<std::size_t> sectionPosition = FindSection(section);
    if (!sectionPosition) {
        return std::nullopt;
    }
    const Section& found = sections_[*sectionPosition];
    const std::optional<std::size_t> entry =
        found.entryIndex.Find(name, [&](std::size_t at) { return EntryName(found, at); });
    if (!entry) {
        return std::nullopt;
    }
    const Entry& e = found.entries[*entry];
    return Text(e.line).substr(e.nameLength + 1);
}

std::string SettingsFile::readString(std::string_view section, std::string_view name, std::string_view def) const
{
    return std::string(FindValue(section, name).value_or(def));
}

std::int32_t SettingsFile::readInteger(std::string_view section, std::string_view name, std::int32_t def) const
{
    const std::optional<std::string_view> text = FindValue(section, name);
    if (!text) {
        return def;
    }
    return parseInteger(*text).value_or(def);
}

void SettingsFile::writeString(std::string_view section, std::string_view name, std::string_view value)
{
    std::optional<std::size_t> sectionPosition = FindSection(section);
    if (!sectionPosition) {
        sectionPosition = sections_.size();
        AppendSection(AppendWritten(section, std::nullopt));
    }
    Section& target = sections_[*sectionPosition];
    const Entry entry{AppendWritten(name, value), static_cast<std::uint32_t>(std::min(name.find('='), name.size()))};

    // Entry names end at a line's first "=", so a name that holds "=" never
    // finds an entry and is appended, to be found by its part before the "=".
    const std::optional<std::size_t> found =
        target.entryIndex.Find(name, [&](std::size_t at) { return EntryName(target, at); });
    if (!found) {
        AppendEntry(target, entry);
        return;
    }
    const TextRef old = target.entries[*found].line;
    target.entries[*found] = entry;
    Discard(old);
}

void SettingsFile::writeInteger(std::string_view section, std::string_view name, std::int32_t value)
{
    writeString(section, name, std::to_string(value));
}

std::string SettingsFile::toBytes() const
{
    std::size_t size = 0;
    for (const Section& section : sections_) {
        size += section.name.length + 2 + 2 * kLineEnd.size();
        for (const Entry& entry : section.entries) {
            size += entry.line.length + kLineEnd.size();
        }
    }
    std::string bytes;
    bytes.reserve(size);
    for (const Section& section : sections_) {
        bytes.append(1, '[').append(Text(section.name)).append(1, ']').append(kLineEnd);
        for (const Entry& entry : section.entries) {
            bytes.append(Text(entry.line)).append(kLineEnd);
        }
        bytes.append(kLineEnd);
    }
    return bytes;
}

}  // namespace tavrelle::settings
