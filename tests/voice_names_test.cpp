// The names of voices and banks from instrument definition files: decoding,
// the file's rules, the choice of instrument and reading the folder.
#include "settings/settings_file.h"
#include "support/scratch_files.h"
#include "window/instrument_definitions.h"
#include "window/text_decoding.h"
#include "window/voice_names.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <string>

namespace tavrelle {
namespace {

using testing::ScratchFolder;
using testing::readFile;
using testing::writeFile;
using window::BankSelectMethod;
using window::InstrumentDefinitions;
using window::VoiceHints;
using window::decodeToUtf8;
using window::describeVoice;

const std::string kData = TAVRELLE_TEST_DATA_DIR "/ins";

InstrumentDefinitions parsed(std::string_view text)
{
    InstrumentDefinitions definitions;
    definitions.add(text);
    return definitions;
}

TEST(text_decoding_test, utf8_stays_shift_jis_decodes_strictly_and_anything_else_is_windows_1252)
{
    EXPECT_EQ(decodeToUtf8("\xEF\xBB\xBFÜrban"), "Ürban");
    EXPECT_EQ(decodeToUtf8("Ürban"), "Ürban");
    // ソ and 表 end in the byte of a backslash; ｱ is one byte.
    EXPECT_EQ(decodeToUtf8("\x83\x5C\x95\x5C\xB1"), "ソ表ｱ");
    // A lead byte cut off at the end, a user-defined character, an
    // unassigned one: none is Shift-JIS, so the text is Western.
    EXPECT_EQ(decodeToUtf8("Cl\xE9]\xE9"), "Clé]é");
    EXPECT_EQ(decodeToUtf8("Fl\xF6te"), "Flöte");
    EXPECT_EQ(decodeToUtf8("\x85\x40"), "…@");
    // Bytes no code page assigns, and overlong or surrogate UTF-8.
    EXPECT_EQ(decodeToUtf8("\x81\x8D \x80"), "\xEF\xBF\xBD\xEF\xBF\xBD €");
    EXPECT_EQ(decodeToUtf8("\xC0\xAF\x80"), "À¯€");
    EXPECT_EQ(decodeToUtf8("\xED\xA0\x80"), "í\u00A0€");
    EXPECT_EQ(decodeToUtf8(std::string("a\0b", 3)), std::string("a\0b", 3));
}

TEST(instrument_definitions_test, lists_follow_based_on_and_instruments_their_banks)
{
    const InstrumentDefinitions d = parsed(readFile(kData + "/stage_modules.ins"));
    EXPECT_EQ(d.patchName("Stage Variation", 0), "Concert Grand Wide");
    EXPECT_EQ(d.patchName("stage variation", 1), "Bright Grand");
    EXPECT_EQ(d.patchName("Stage Variation", 2), std::nullopt);
    EXPECT_EQ(d.patchListOf("Stage One", 16256), "Stage Drums");
    EXPECT_EQ(d.patchListOf("Stage One", 1), std::nullopt);
    // Stage Two's own banks, and its BasedOn instrument's for the rest.
    EXPECT_EQ(d.bankSelectMethod("Stage Two"), BankSelectMethod::MsbOnly);
    EXPECT_EQ(d.patchListOf("Stage Two", 127), "Stage Drums");
    EXPECT_EQ(d.patchListOf("Stage Two", 128), "Stage Variation");
    EXPECT_EQ(d.bankName("Stage Two", 128), "Stage Variation");
    EXPECT_EQ(d.patchListOf("Ürban Synth", 77), "Stage Variation");
    EXPECT_EQ(d.bankName("Ürban Synth", 77), std::nullopt);
    // Note and controller names are no patch names.
    EXPECT_EQ(d.patchName("Stage Drum Keys", 36), std::nullopt);
    EXPECT_FALSE(d.hasInstrument("Stage Capital"));
}

TEST(instrument_definitions_test, loops_missing_bases_duplicates_and_stray_lines_name_nothing_wrong)
{
    const InstrumentDefinitions d = parsed(
        "0=outside any list\n"
        ".Patch Names\n[A]\nBasedOn=B\n1=A one\n[B]\nBasedOn=A\n2=B two\n[C]\nBasedOn=missing\n"
        "[Twice]\n0=first\n[Twice]\n1=second\n"
        "[Odd]\n128=too high\n-1=negative\n1x=not a number\n 3 = Spaced \n4=\n"
        ".Instrument Definitions\n[Loop]\nBasedOn=Loop\nPatch[0]=A\nPatch[16384]=B\nBankSelMethod=4\n"
        "[Up]\nBasedOn=Down\n[Down]\nBasedOn=Up\n");
    EXPECT_EQ(d.patchName("A", 2), "B two");
    EXPECT_EQ(d.patchName("A", 5), std::nullopt);
    EXPECT_EQ(d.patchName("B", 1), "A one");
    EXPECT_EQ(d.patchName("C", 1), std::nullopt);
    EXPECT_EQ(d.patchName("Twice", 0), std::nullopt);
    EXPECT_EQ(d.patchName("Twice", 1), "second");
    EXPECT_EQ(d.patchName("Odd", 3), "Spaced");
    EXPECT_EQ(d.patchName("Odd", 4), std::nullopt);
    EXPECT_EQ(d.patchName("Odd", 1), std::nullopt);
    EXPECT_EQ(d.patchListOf("Loop", 16384), std::nullopt);
    EXPECT_EQ(d.bankSelectMethod("Loop"), BankSelectMethod::MsbAndLsb);
    EXPECT_EQ(d.patchListOf("Up", 0), std::nullopt);
    // Neither an INI file nor random bytes define anything.
    const InstrumentDefinitions other = parsed("[dev]\ngakki=Synth A\n\x01\xFF\xFE[\n=\n.\n[]\n");
    EXPECT_FALSE(other.hasInstrument("dev"));
}

TEST(voice_names_test, hints_name_the_voice_and_bank_as_sent_or_say_they_are_unnamed)
{
    const InstrumentDefinitions d = parsed(readFile(kData + "/stage_modules.ins"));
    // MSB 1 is file bank 128 for a module that reads MSB and LSB, 1 for one
    // that reads the MSB only.
    EXPECT_EQ(describeVoice(d, "Stage One", 1, 1, 1), (VoiceHints{"Concert Grand Wide", "Stage Variation"}));
    EXPECT_EQ(describeVoice(d, "Stage Two", 41, 1, 1), (VoiceHints{"Slow Violin", "Stage Variation"}));
    EXPECT_EQ(describeVoice(d, "Stage One", 9, 127, 10), (VoiceHints{"Room Kit", "Stage Drums"}));
    EXPECT_EQ(describeVoice(d, "Stage One", 3, 0, 1),
              (VoiceHints{"「Stage One」に名前のない音色", "Stage Capital"}));
    EXPECT_EQ(describeVoice(d, "Stage One", 1, 5, 1),
              (VoiceHints{"「Stage One」に名前のない音色", "「Stage One」に名前のないバンク"}));
    EXPECT_EQ(describeVoice(d, "", 41, 5, 1), (VoiceHints{"Violin", ""}));
    EXPECT_EQ(window::fileBankOf(BankSelectMethod::LsbOnly, 5), 0);
    EXPECT_EQ(window::fileBankOf(BankSelectMethod::ProgramOnly, 5), 0);

    EXPECT_EQ(window::instrumentForDevice(d, "Stage Two", "Stage One"), "Stage Two");
    EXPECT_EQ(window::instrumentForDevice(d, "", "Stage One"), "Stage One");
    EXPECT_EQ(window::instrumentForDevice(d, "Not Defined", "Stage One"), "");
    EXPECT_EQ(window::instrumentForDevice(d, "", "Synth A"), "");
}

TEST(voice_names_test, the_folder_gives_every_encoding_and_leaves_out_what_is_no_file_to_read)
{
    ScratchFolder folder;
    for (const char* name : {"stage_modules.ins", "western.ins", "japanese.ins"}) {
        std::filesystem::copy_file(kData + "/" + name, folder / name);
    }
    const std::string settingsBytes = "[instruments]\r\nSynth A=和音源\r\n";
    writeFile(folder / "tavrelle.ini", settingsBytes);
    // Too large, a pipe no writer opens (the test's timeout catches a wait on
    // it), and a folder: all read past.
    std::string huge = ".Patch Names\n[Big]\n2=Too Big\n.Instrument Definitions\n[Synth B]\nPatch[*]=Big\n";
    huge.resize(window::kLargestDefinitionFile + 1, ';');
    writeFile(folder / "huge.INS", huge);
    ASSERT_EQ(::mkfifo((folder / "pipe.ins").c_str(), 0600), 0);
    std::filesystem::create_directory(folder / "folder.ins");

    window::VoiceNames names((folder / "tavrelle.ini").string());
    const auto settings = settings::SettingsFile::open((folder / "tavrelle.ini").string());
    EXPECT_EQ(names.describe(&settings, "Synth A", "Synth A", 3, 0, 1).program, "Electric Grand Piano");
    names.load();
    EXPECT_EQ(names.describe(&settings, "Synth A", "Synth A", 3, 0, 1), (VoiceHints{"表現力のある三味線", "和楽器"}));
    EXPECT_EQ(names.describe(&settings, "Clavier Français", "Clavier Français", 2, 9, 1).program, "Flûte douce");
    EXPECT_EQ(names.describe(nullptr, "Stage Two", "Stage Two", 1, 127, 1).program, "Standard Kit");
    EXPECT_EQ(names.describe(&settings, "Synth B", "Synth B", 3, 0, 1).program, "Electric Grand Piano");
    EXPECT_EQ(readFile(folder / "tavrelle.ini"), settingsBytes);

    window::VoiceNames nowhere((folder / "missing" / "tavrelle.ini").string());
    nowhere.load();
    EXPECT_EQ(nowhere.describe(nullptr, "Stage One", "Stage One", 1, 0, 1).program, "Acoustic Grand Piano");
}

}  // namespace
}  // namespace tavrelle
