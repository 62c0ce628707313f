#include "settings/settings_file.h"

#include <limits>
#include <utility>

namespace tavrelle::settings {
namespace {

constexpr std::string_view kLineEnd = "\r\n";

bool isBlank(char byte) { return static_cast<unsigned char>(byte) <= 0x20; }

std::string_view trim(std::string_view text)
{
    while (!text.empty() && isBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// A line break inside a written name or value would split it into lines that
// load back as other entries or even other sections.
std::string singleLine(std::string_view piece)
{
    std::string line(piece);
    for (char& byte : line) {
        if (byte == '\r' || byte == '\n') {
            byte = ' ';
        }
    }
    return line;
}

// The one place where names become lookup keys, byte by byte: ASCII upper
// case, so that bytes of other encodings never change, and line breaks
// folded the way singleLine stores them.
char keyByte(char byte)
{
    if (byte >= 'a' && byte <= 'z') {
        return static_cast<char>(byte - 'a' + 'A');
    }
    if (byte == '\r' || byte == '\n') {
        return ' ';
    }
    return byte;
}

bool keysEqual(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (keyByte(a[i]) != keyByte(b[i])) {
            return false;
        }
    }
    return true;
}

int hexDigitValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<std::int32_t> parseHexadecimal(std::string_view digits)
{
    if (digits.empty()) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (char c : digits) {
        const int digit = hexDigitValue(c);
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

std::optional<std::int32_t> parseDecimal(std::string_view text)
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
        return parseHexadecimal(text.substr(1));
    }
    if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        return parseHexadecimal(text.substr(2));
    }
    return parseDecimal(text);
}

SettingsFile SettingsFile::fromBytes(std::string_view text, std::string path)
{
    SettingsFile file(std::move(path));
    // Room for every line at once (none is longer than in the file): a copy
    // growing by doubling would need up to three times its size as it moves.
    std::size_t lineCount = 1;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' || (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n'))) {
            ++lineCount;
        }
    }
    file.text_.reserve(text.size() + 1);
    file.lines_.reserve(lineCount);
    std::string entry;
    std::size_t position = 0;
    while (position < text.size()) {
        std::size_t end = position;
        while (end < text.size() && text[end] != '\r' && text[end] != '\n') {
            ++end;
        }
        const std::string_view line = trim(text.substr(position, end - position));
        position = end;
        if (position < text.size()) {
            const bool crlf = text[position] == '\r' && position + 1 < text.size() && text[position + 1] == '\n';
            position += crlf ? 2 : 1;
        }

        if (line.empty() || line.front() == ';') {
            continue;
        }
        if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
            file.appendLine(trim(line.substr(1, line.size() - 2)), kHeader);
            continue;
        }
        if (file.lines_.empty()) {
            continue;
        }
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos) {
            file.appendLine(line);
            continue;
        }
        entry.assign(trim(line.substr(0, equals))).append(1, '=').append(trim(line.substr(equals + 1)));
        file.appendLine(entry);
    }
    return file;
}

void SettingsFile::appendLine(std::string_view bytes, std::uint64_t flags)
{
    lines_.push_back(static_cast<std::uint64_t>(text_.size()) | flags);
    text_.append(bytes).append(1, '\n');
}

std::string_view SettingsFile::lineAt(std::size_t line) const
{
    const auto start = static_cast<std::size_t>(lines_[line] & ~kHeader);
    return std::string_view(text_).substr(start, text_.find('\n', start) - start);
}

std::size_t SettingsFile::sectionEnd(std::size_t header) const
{
    std::size_t line = header + 1;
    while (line < lines_.size() && !isHeader(line)) {
        ++line;
    }
    return line;
}

std::optional<std::size_t> SettingsFile::findSection(std::string_view name) const
{
    for (std::size_t i = lines_.size(); i-- > 0;) {
        if (isHeader(i) && keysEqual(lineAt(i), name)) {
            return i;
        }
    }
    return std::nullopt;
}

std::optional<std::size_t> SettingsFile::findLine(std::size_t header, std::string_view name) const
{
    // A line's name ends at its first "=", so a name that holds one never
    // matches; the comparison costs the name's length, not the line's.
    if (name.find('=') != std::string_view::npos) {
        return std::nullopt;
    }
    for (std::size_t i = sectionEnd(header); i-- > header + 1;) {
        const std::string_view line = lineAt(i);
        if (line.size() > name.size() && line[name.size()] == '=' && keysEqual(line.substr(0, name.size()), name)) {
            return i;
        }
    }
    return std::nullopt;
}

std::optional<std::string_view> SettingsFile::findValue(std::string_view section, std::string_view name) const
{
    const std::optional<std::size_t> header = findSection(section);
    if (!header) {
        return std::nullopt;
    }
    const std::optional<std::size_t> line = findLine(*header, name);
    if (!line) {
        return std::nullopt;
    }
    return lineAt(*line).substr(name.size() + 1);
}

std::string SettingsFile::readString(std::string_view section, std::string_view name, std::string_view def) const
{
    return std::string(findValue(section, name).value_or(def));
}

std::int32_t SettingsFile::readInteger(std::string_view section, std::string_view name, std::int32_t def) const
{
    const std::optional<std::string_view> text = findValue(section, name);
    if (!text) {
        return def;
    }
    return parseInteger(*text).value_or(def);
}

void SettingsFile::writeString(std::string_view section, std::string_view name, std::string_view value)
{
    const std::string line = singleLine(name).append(1, '=').append(singleLine(value));
    const std::optional<std::size_t> header = findSection(section);
    if (!header) {
        appendLine(singleLine(section), kHeader);
        appendLine(line);
        return;
    }
    const std::optional<std::size_t> found = findLine(*header, name);
    const std::size_t at = found ? *found : sectionEnd(*header);
    const auto start = static_cast<std::uint64_t>(text_.size());
    text_.append(line).append(1, '\n');
    if (found) {
        lines_[at] = start;
    } else {
        lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(at), start);
    }
}

void SettingsFile::writeInteger(std::string_view section, std::string_view name, std::int32_t value)
{
    writeString(section, name, std::to_string(value));
}

std::string SettingsFile::toBytes() const
{
    // Each header gains its brackets and the empty line that ends its section.
    std::size_t size = 0;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        size += lineAt(i).size() + kLineEnd.size() + (isHeader(i) ? 2 + kLineEnd.size() : 0);
    }
    std::string bytes;
    bytes.reserve(size);
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        if (isHeader(i)) {
            if (i > 0) {
                bytes.append(kLineEnd);
            }
            bytes.append(1, '[').append(lineAt(i)).append(1, ']').append(kLineEnd);
        } else {
            bytes.append(lineAt(i)).append(kLineEnd);
        }
    }
    if (!lines_.empty()) {
        bytes.append(kLineEnd);
    }
    return bytes;
}

}  // namespace tavrelle::settings
