// The naming and ordering rules of the system's MIDI output ports, over names
// as RtMidi and libjack report them.
#include "midi/system_port_list.h"

#include <gtest/gtest.h>

namespace tavrelle::midi::system {
namespace {

std::vector<std::string> namesOf(const std::vector<PortEntry>& list)
{
    std::vector<std::string> names;
    for (const auto& entry : list) {
        names.push_back(entry.name);
    }
    return names;
}

TEST(midi_system_test, alsa_names_lose_the_numbers_rtmidi_appends)
{
    EXPECT_EQ(stripAlsaPortNumbers("Midi Through:Midi Through Port-0 14:0"), "Midi Through:Midi Through Port-0");
    EXPECT_EQ(stripAlsaPortNumbers("FLUID Synth (1234):Synth input port (1234:0) 128:0"),
              "FLUID Synth (1234):Synth input port (1234:0)");
    EXPECT_EQ(stripAlsaPortNumbers("SC-8850:SC-8850 Part A 20:1"), "SC-8850:SC-8850 Part A");
}

TEST(midi_system_test, alsa_names_without_appended_numbers_stay_whole)
{
    EXPECT_EQ(stripAlsaPortNumbers("Module:Port"), "Module:Port");
    EXPECT_EQ(stripAlsaPortNumbers("Module:Port 2"), "Module:Port 2");
    EXPECT_EQ(stripAlsaPortNumbers("Module:Port 20:"), "Module:Port 20:");
    EXPECT_EQ(stripAlsaPortNumbers("Module:Port :1"), "Module:Port :1");
    EXPECT_EQ(stripAlsaPortNumbers("Module:Port 2x:1"), "Module:Port 2x:1");
    EXPECT_EQ(stripAlsaPortNumbers(""), "");
}

TEST(midi_system_test, only_the_kernel_loopback_client_counts_as_midi_through)
{
    EXPECT_TRUE(isAlsaMidiThrough("Midi Through:Midi Through Port-0 14:0"));
    EXPECT_FALSE(isAlsaMidiThrough("Synth:Midi Through 20:0"));
    EXPECT_FALSE(isAlsaMidiThrough("Midi Throughput:Port 20:0"));
}

TEST(midi_system_test, list_puts_alsa_then_jack_then_midi_through)
{
    const auto list = combinedPortList(
        {"Midi Through:Midi Through Port-0 14:0", "SC-8850:Part A 20:0", "Midi Through:Midi Through Port-1 14:1",
         "USB Keys:USB Keys MIDI 1 24:0"},
        {"fsynth:midi_00", "a2j:Out 1"});
    EXPECT_EQ(namesOf(list), (std::vector<std::string>{"SC-8850:Part A", "USB Keys:USB Keys MIDI 1", "fsynth:midi_00",
                                                       "a2j:Out 1", "Midi Through:Midi Through Port-0",
                                                       "Midi Through:Midi Through Port-1"}));
    EXPECT_EQ(list[0], (PortEntry{Backend::Alsa, "SC-8850:Part A", "SC-8850:Part A 20:0"}));
    EXPECT_EQ(list[2], (PortEntry{Backend::Jack, "fsynth:midi_00", "fsynth:midi_00"}));
    EXPECT_EQ(list[4].backend, Backend::Alsa);
    EXPECT_EQ(list[4].systemName, "Midi Through:Midi Through Port-0 14:0");
}

TEST(midi_system_test, only_namesakes_keep_their_numbers)
{
    const auto list = combinedPortList({"Synth:In 128:0", "Other:In 130:0", "Synth:In 129:0"}, {});
    EXPECT_EQ(namesOf(list), (std::vector<std::string>{"Synth:In 128:0", "Other:In", "Synth:In 129:0"}));
}

TEST(midi_system_test, alsa_port_named_like_a_jack_port_keeps_its_numbers)
{
    const auto list = combinedPortList({"fsynth:midi_00 130:0"}, {"fsynth:midi_00"});
    EXPECT_EQ(namesOf(list), (std::vector<std::string>{"fsynth:midi_00 130:0", "fsynth:midi_00"}));
}

TEST(midi_system_test, no_ports_give_an_empty_list)
{
    EXPECT_TRUE(combinedPortList({}, {}).empty());
    EXPECT_EQ(namesOf(combinedPortList({}, {"fsynth:midi_00"})), (std::vector<std::string>{"fsynth:midi_00"}));
}

TEST(midi_system_test, alsa_port_is_found_where_it_moved)
{
    const PortEntry synth{Backend::Alsa, "Synth:In", "Synth:In 128:0"};
    EXPECT_EQ(findAlsaPort({"Keys:Out 24:0", "Synth:In 128:0"}, synth), 1u);
    // The synth was restarted and came back as another client.
    EXPECT_EQ(findAlsaPort({"Synth:In 131:0", "Keys:Out 24:0"}, synth), 0u);
}

TEST(midi_system_test, gone_or_ambiguous_alsa_port_is_not_found)
{
    const PortEntry synth{Backend::Alsa, "Synth:In", "Synth:In 128:0"};
    EXPECT_EQ(findAlsaPort({}, synth), std::nullopt);
    EXPECT_EQ(findAlsaPort({"Keys:Out 24:0", "Synth:Input 128:0"}, synth), std::nullopt);
    EXPECT_EQ(findAlsaPort({"Synth:In 131:0", "Synth:In 132:0"}, synth), std::nullopt);
}

TEST(midi_system_test, alsa_port_told_apart_by_numbers_needs_those_numbers)
{
    const PortEntry second{Backend::Alsa, "Synth:In 129:0", "Synth:In 129:0"};
    EXPECT_EQ(findAlsaPort({"Synth:In 128:0", "Synth:In 129:0"}, second), 1u);
    EXPECT_EQ(findAlsaPort({"Synth:In 128:0"}, second), std::nullopt);
}

}  // namespace
}  // namespace tavrelle::midi::system
