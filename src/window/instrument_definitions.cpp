#include "window/instrument_definitions.h"

#include "window/text_decoding.h"

#include <algorithm>
#include <charconv>

namespace tavrelle::window {
namespace {

enum class Section { Other, PatchNames, Instruments };

std::string_view trim(std::string_view text)
{
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!text.empty() && blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && blank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool sameName(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return upper(x) == upper(y);
           });
}

// A whole decimal number within [low, high], nothing else.
std::optional<int> numberIn(std::string_view text, int low, int high)
{
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

constexpr int kLargestFileBank = 16383;

}  // namespace

bool InstrumentDefinitions::NameOrder::operator()(std::string_view a, std::string_view b) const
{
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [](char x, char y) { return upper(x) < upper(y); });
}

void InstrumentDefinitions::add(std::string_view bytes)
{
    const std::string text = decodeToUtf8(bytes);
    Section section = Section::Other;
    PatchList* list = nullptr;
    Instrument* instrument = nullptr;
    std::string_view rest = text;
    while (!rest.empty()) {
        const std::size_t end = std::min(rest.find('\n'), rest.size());
        const std::string_view line = trim(rest.substr(0, end));
        rest.remove_prefix(std::min(end + 1, rest.size()));
        if (line.empty() || line.front() == ';') {
            continue;
        }
        if (line.front() == '.') {
            const std::string_view name = trim(line.substr(1));
            section = sameName(name, "Patch Names")              ? Section::PatchNames
                      : sameName(name, "Instrument Definitions") ? Section::Instruments
                                                                 : Section::Other;
            list = nullptr;
            instrument = nullptr;
            continue;
        }
        if (line.front() == '[' && line.back() == ']' && line.size() > 2) {
            const std::string name(trim(line.substr(1, line.size() - 2)));
            list = nullptr;
            instrument = nullptr;
            if (section == Section::PatchNames) {
                list = &(patchLists_[name] = PatchList{});
            } else if (section == Section::Instruments) {
                instrument = &(instruments_[name] = Instrument{});
            }
            continue;
        }
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos) {
            continue;
        }
        const std::string_view key = trim(line.substr(0, equals));
        const std::string_view value = trim(line.substr(equals + 1));
        if (list != nullptr) {
            if (sameName(key, "BasedOn")) {
                list->basedOn = value;
            } else if (const auto number = numberIn(key, 0, 127)) {
                list->names[*number] = value;
            }
        } else if (instrument != nullptr) {
            if (sameName(key, "BasedOn")) {
                instrument->basedOn = value;
            } else if (sameName(key, "BankSelMethod")) {
                if (const auto method = numberIn(value, 0, 3)) {
                    instrument->bankSelectMethod = static_cast<BankSelectMethod>(*method);
                }
            } else if (key.size() > 7 && sameName(key.substr(0, 6), "Patch[") && key.back() == ']') {
                const std::string_view bank = trim(key.substr(6, key.size() - 7));
                const auto number = bank == "*" ? std::optional<int>(kAnyBank) : numberIn(bank, 0, kLargestFileBank);
                if (number) {
                    instrument->patchLists[*number] = value;
                }
            }
        }
    }
}

const InstrumentDefinitions::Instrument* InstrumentDefinitions::findInstrument(std::string_view name) const
{
    const auto found = instruments_.find(name);
    return found != instruments_.end() ? &found->second : nullptr;
}

std::vector<const InstrumentDefinitions::Instrument*> InstrumentDefinitions::instrumentChain(
    std::string_view name) const
{
    std::vector<const Instrument*> chain;
    for (const Instrument* at = findInstrument(name);
         at != nullptr && std::find(chain.begin(), chain.end(), at) == chain.end(); at = findInstrument(at->basedOn)) {
        chain.push_back(at);
    }
    return chain;
}

std::optional<std::string_view> InstrumentDefinitions::patchListOf(std::string_view instrument, int fileBank) const
{
    for (const Instrument* at : instrumentChain(instrument)) {
        for (const int bank : {fileBank, kAnyBank}) {
            const auto found = at->patchLists.find(bank);
            if (found != at->patchLists.end()) {
                return found->second;
            }
        }
    }
    return std::nullopt;
}

std::optional<std::string_view> InstrumentDefinitions::bankName(std::string_view instrument, int fileBank) const
{
    for (const Instrument* at : instrumentChain(instrument)) {
        const auto found = at->patchLists.find(fileBank);
        if (found != at->patchLists.end()) {
            return found->second;
        }
    }
    return std::nullopt;
}

BankSelectMethod InstrumentDefinitions::bankSelectMethod(std::string_view instrument) const
{
    for (const Instrument* at : instrumentChain(instrument)) {
        if (at->bankSelectMethod) {
            return *at->bankSelectMethod;
        }
    }
    return BankSelectMethod::MsbAndLsb;
}

std::optional<std::string_view> InstrumentDefinitions::patchName(std::string_view list, int number) const
{
    std::vector<const PatchList*> seen;
    for (auto found = patchLists_.find(list); found != patchLists_.end();
         found = patchLists_.find(found->second.basedOn)) {
        const PatchList* at = &found->second;
        if (std::find(seen.begin(), seen.end(), at) != seen.end()) {
            break;
        }
        seen.push_back(at);
        const auto name = at->names.find(number);
        if (name != at->names.end()) {
            return name->second.empty() ? std::nullopt : std::optional<std::string_view>(name->second);
        }
    }
    return std::nullopt;
}

bool isDefinitionFileName(std::string_view name)
{
    return name.size() > 4 && sameName(name.substr(name.size() - 4), ".ins");
}

InstrumentDefinitions readDefinitionsBeside(const std::string& settingsPath)
{
    InstrumentDefinitions definitions;
    std::vector<std::string> files = definitionFilesBeside(settingsPath);
    std::sort(files.begin(), files.end());
    std::size_t left = kLargestDefinitionTotal;
    for (const std::string& file : files) {
        if (const auto bytes = readDefinitionFile(file, std::min(left, kLargestDefinitionFile))) {
            left -= bytes->size();
            definitions.add(*bytes);
        }
    }
    return definitions;
}

}  // namespace tavrelle::window
