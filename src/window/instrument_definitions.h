// Instrument definition files (.ins): only the patch name lists and the
// instruments are kept; the other sections are read past.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavrelle::window {

// How a module reads the bank: the file numbers its banks by this method.
enum class BankSelectMethod { MsbAndLsb = 0, MsbOnly = 1, LsbOnly = 2, ProgramOnly = 3 };

class InstrumentDefinitions {
public:
    // Decoded by decodeToUtf8. A list or instrument of a name already known
    // replaces it; lines that mean nothing here are skipped.
    void add(std::string_view bytes);

    bool hasInstrument(std::string_view name) const { return findInstrument(name) != nullptr; }
    // The patch list the instrument gives `fileBank`: its own entry for that
    // bank, else for any bank ("Patch[*]"), else its BasedOn instrument's.
    std::optional<std::string_view> patchListOf(std::string_view instrument, int fileBank) const;
    // The instrument's own list for exactly `fileBank`, as the bank's name.
    std::optional<std::string_view> bankName(std::string_view instrument, int fileBank) const;
    BankSelectMethod bankSelectMethod(std::string_view instrument) const;
    // Entry 0..127, else the BasedOn list's; empty entries name nothing.
    std::optional<std::string_view> patchName(std::string_view list, int number) const;

private:
    static constexpr int kAnyBank = -1;
    struct PatchList {
        std::string basedOn;
        std::map<int, std::string> names;
    };
    struct Instrument {
        std::string basedOn;
        std::map<int, std::string> patchLists;
        std::optional<BankSelectMethod> bankSelectMethod;
    };
    // ASCII case ignored: a BasedOn written "roland gs" finds "Roland GS".
    struct NameOrder {
        using is_transparent = void;
        bool operator()(std::string_view a, std::string_view b) const;
    };

    const Instrument* findInstrument(std::string_view name) const;
    // The BasedOn chain, each once; a loop is cut where it closes.
    std::vector<const Instrument*> instrumentChain(std::string_view name) const;

    std::map<std::string, PatchList, NameOrder> patchLists_;
    std::map<std::string, Instrument, NameOrder> instruments_;
};

// The most a file may hold to be read, and what all files together may.
inline constexpr std::size_t kLargestDefinitionFile = std::size_t{8} << 20;
inline constexpr std::size_t kLargestDefinitionTotal = std::size_t{32} << 20;

// Every *.ins file (any letter case) beside `settingsPath`, in name order,
// read only, leaving out non-regular files, ones over kLargestDefinitionFile
// and those beyond the total; nothing when the folder cannot be read.
InstrumentDefinitions readDefinitionsBeside(const std::string& settingsPath);

// The system's side (instrument_files.cpp, win32/instrument_files.cpp): a
// file larger than `largest` reads as none; opening never waits on a pipe.
std::vector<std::string> definitionFilesBeside(const std::string& settingsPath);
bool isDefinitionFileName(std::string_view name);
std::optional<std::string> readDefinitionFile(const std::string& path, std::size_t largest);

}  // namespace tavrelle::window
