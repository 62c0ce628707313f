#include "midi/midi_out_port.h"
#include "midi/short_message.h"
#include "midi/voice_selection.h"
#include "midi/winmm/winmm_results.h"
#include "support/fake_midi_out_service.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <set>
#include <string>
#include <vector>

namespace tavrelle {
namespace {

using midi::MidiOutPort;
using midi::StepDirection;
using midi::VoiceSelection;
using testing::FakeEventPump;
using testing::FakeMidiOutService;
using testing::CapturingPresenter;
using testing::ServiceCall;
using testing::VectorDeviceList;
using Words = std::vector<std::uint32_t>;
namespace result = midi::result;

// A port with one open device, as after a successful start-up.
struct Rig {
    FakeMidiOutService service;
    VectorDeviceList list;
    CapturingPresenter messages;
    FakeEventPump pump;
    MidiOutPort port{service, list, messages, pump};
    VoiceSelection selection{port};

    explicit Rig(std::vector<std::string> devices = {"Synth A", "Synth B", "Synth C"})
    {
        service.devices = std::move(devices);
        port.setDeviceCount(static_cast<int>(service.deviceCount()));
    }
    void openFirst()
    {
        port.listMidiOutDevices();
        port.restoreDeviceSelection(0, "none");
        port.openMidiOutWithRetries(static_cast<unsigned>(port.selectedDeviceId()));
    }
    // Steps from the start (program 1, bank 0, channel 1) to these values.
    void choose(int program, int bank, int channel)
    {
        for (int i = 1; i < program; ++i) {
            selection.stepProgramNumber(StepDirection::Up);
        }
        for (int i = 0; i < bank; ++i) {
            selection.stepBankNumber(StepDirection::Up);
        }
        for (int i = 1; i < channel; ++i) {
            selection.stepChannel(StepDirection::Up);
        }
    }
    std::vector<std::string> shown() const
    {
        std::vector<std::string> texts;
        for (const auto& entry : messages.shown) {
            texts.push_back(entry.substr(2));
        }
        return texts;
    }
};

TEST(midi_test, steps_wrap_at_both_ends_and_reach_the_display)
{
    Rig rig;
    testing::ShownVoice display;
    rig.selection.setDisplay(&display);
    EXPECT_EQ(display.program, 1);
    rig.selection.stepProgramNumber(StepDirection::Down);
    EXPECT_EQ(display.program, 128);
    rig.selection.stepProgramNumber(StepDirection::Up);
    rig.selection.stepProgramNumber(StepDirection::Up);
    EXPECT_EQ(display.program, 2);

    rig.selection.stepBankNumber(StepDirection::Down);
    EXPECT_EQ(display.bank, 127);
    rig.selection.stepBankNumber(StepDirection::Up);
    rig.selection.stepBankNumber(StepDirection::Up);
    EXPECT_EQ(display.bank, 1);

    rig.selection.stepChannel(StepDirection::Down);
    EXPECT_EQ(rig.selection.channel(), 15);
    EXPECT_EQ(display.channel, 16);
    rig.selection.stepChannel(StepDirection::Up);
    EXPECT_EQ(display.channel, 1);
    for (int i = 0; i < 17; ++i) {
        rig.selection.stepChannel(StepDirection::Up);
    }
    EXPECT_EQ(display.channel, 2);
}

TEST(midi_test, stepping_sends_nothing_and_the_send_carries_final_values)
{
    Rig rig;
    rig.openFirst();
    for (int i = 0; i < 5; ++i) {
        rig.selection.stepProgramNumber(StepDirection::Up);
        rig.selection.stepBankNumber(StepDirection::Up);
    }
    rig.selection.stepChannel(StepDirection::Up);
    EXPECT_TRUE(rig.service.sentWords().empty());

    rig.selection.sendVoiceSelection();
    EXPECT_EQ(rig.service.deliveredWords(), (Words{0x0020B1, 0x0500B1, 0x05C1}));
}

TEST(midi_test, send_in_msb_mode_puts_controller_32_first_with_zero)
{
    Rig rig;
    rig.openFirst();
    rig.choose(10, 5, 3);
    rig.selection.setBankLsbValue(4);  // as loaded from the settings
    rig.selection.sendVoiceSelection();

    EXPECT_EQ(rig.service.deliveredWords(), (Words{0x0020B2, 0x0500B2, 0x09C2}));
    EXPECT_EQ(rig.selection.bankLsbValue(), 0);
    std::vector<std::vector<unsigned char>> wire;
    for (auto word : rig.service.deliveredWords()) {
        const auto bytes = midi::shortMessageBytes(word);
        wire.emplace_back(bytes.bytes.begin(), bytes.bytes.begin() + static_cast<long>(bytes.size));
    }
    EXPECT_EQ(wire, (std::vector<std::vector<unsigned char>>{{0xB2, 0x20, 0x00}, {0xB2, 0x00, 0x05}, {0xC2, 0x09}}));
}

TEST(midi_test, send_in_lsb_mode_carries_the_bank_in_controller_32)
{
    Rig rig;
    rig.openFirst();
    rig.selection.setBankMode(midi::BankMode::Lsb);
    rig.choose(10, 5, 3);
    rig.selection.sendVoiceSelection();
    EXPECT_EQ(rig.service.deliveredWords(), (Words{0x0520B2, 0x0000B2, 0x09C2}));
}

TEST(midi_test, wrapped_values_reach_the_wire_as_0_and_127)
{
    Rig rig;
    rig.openFirst();
    rig.choose(128, 0, 1);
    rig.selection.stepProgramNumber(StepDirection::Up);
    rig.selection.sendVoiceSelection();
    rig.selection.stepProgramNumber(StepDirection::Down);
    rig.selection.stepBankNumber(StepDirection::Down);
    rig.selection.sendVoiceSelection();
    EXPECT_EQ(rig.service.deliveredWords(),
              (Words{0x0020B0, 0x0000B0, 0x00C0, 0x0020B0, 0x7F00B0, 0x7FC0}));
}

TEST(midi_test, short_message_words_carry_two_or_three_bytes)
{
    EXPECT_EQ(midi::shortMessageBytes(0x7F00B0).size, 3u);
    EXPECT_EQ(midi::shortMessageBytes(0x09C2).size, 2u);
    EXPECT_EQ(midi::shortMessageBytes(0x40D0).size, 2u);
    EXPECT_EQ(midi::shortMessageBytes(0x78B9).size, 3u);
    EXPECT_EQ(midi::shortMessageBytes(0xFE).size, 1u);
    EXPECT_EQ(midi::shortMessageBytes(0x7F).size, 0u);   // data byte, not a status
    EXPECT_EQ(midi::shortMessageBytes(0xF0).size, 0u);   // System Exclusive is no short message
    // Data bytes never carry the top bit, whatever the word's upper bits hold.
    EXPECT_EQ(midi::shortMessageBytes(0xFFFF90).bytes[1], 0x7F);
}

TEST(midi_test, device_whose_name_fails_is_skipped_and_later_ones_keep_their_ids)
{
    Rig rig({"A", "B", "C", "D"});
    rig.service.failingNameQueries = {1};
    rig.port.listMidiOutDevices();
    EXPECT_EQ(rig.list.items, (std::vector<std::string>{"A", "C", "D"}));
    EXPECT_EQ(rig.port.deviceIdTable().at(0), 0u);
    EXPECT_EQ(rig.port.deviceIdTable().at(1), 2u);
    EXPECT_EQ(rig.port.deviceIdTable().at(2), 3u);
    EXPECT_EQ(rig.port.deviceIdTable().at(3), 0u);  // never filled

    // Picking "C" opens device 2, not device 1.
    rig.list.selectIndex(1);
    rig.port.switchMidiOutDevice();
    EXPECT_EQ(rig.port.selectedDeviceId(), 2);
    EXPECT_EQ(rig.service.callsOf(ServiceCall::Kind::Open).back().deviceId, 2u);
}

TEST(midi_test, every_device_is_listed_and_one_saved_past_129_is_restored)
{
    std::vector<std::string> many;
    for (int i = 0; i < 140; ++i) {
        many.push_back("Port " + std::to_string(i));
    }
    Rig rig(many);
    rig.service.failingNameQueries = {3};
    rig.port.listMidiOutDevices();
    ASSERT_EQ(rig.list.items.size(), 139u);
    EXPECT_EQ(rig.port.deviceIdTable().size(), 139u);
    EXPECT_EQ(rig.list.items.back(), "Port 139");
    EXPECT_EQ(rig.port.deviceIdTable().at(138), 139u);
    // Saved as identifier 139; listed one place earlier.
    rig.port.restoreDeviceSelection(139, "Port 139");
    EXPECT_EQ(rig.list.selectedIndex(), 138);
    EXPECT_EQ(rig.port.selectedDeviceId(), 139);
    EXPECT_EQ(rig.port.selectedDeviceName(), "Port 139");
    // Listing again starts from an empty list and table.
    rig.port.listMidiOutDevices();
    EXPECT_EQ(rig.list.items.size(), 139u);
}

TEST(midi_test, open_that_succeeds_at_the_third_attempt_sleeps_one_second)
{
    Rig rig;
    rig.service.openResults[1] = {4, 4};
    EXPECT_EQ(rig.port.openMidiOutWithRetries(1), 0);
    EXPECT_EQ(rig.pump.sleeps, (std::vector<int>{500, 500}));
    EXPECT_EQ(rig.service.callsOf(ServiceCall::Kind::Open).size(), 3u);
    // Each failed attempt is followed by a close of whatever the handle holds.
    ASSERT_EQ(rig.service.calls.size(), 5u);
    EXPECT_EQ(rig.service.calls[1].kind, ServiceCall::Kind::Close);
    EXPECT_EQ(rig.service.calls[3].kind, ServiceCall::Kind::Close);
    EXPECT_NE(rig.port.handle(), 0u);
}

TEST(midi_test, open_that_never_succeeds_tries_six_times_and_sleeps_two_and_a_half_seconds)
{
    Rig rig;
    rig.service.openResults[0] = {4, 4, 4, 4, 4, 4, 4};
    EXPECT_EQ(rig.port.openMidiOutWithRetries(0), 4);
    EXPECT_EQ(rig.pump.totalSleepMilliseconds(), 2500);
    EXPECT_EQ(rig.service.callsOf(ServiceCall::Kind::Open).size(), 6u);
    EXPECT_EQ(rig.service.callsOf(ServiceCall::Kind::Close).size(), 5u);
    // Later sends go to the failed handle and are lost quietly.
    rig.selection.sendVoiceSelection();
    EXPECT_FALSE(rig.service.sentWords().empty());
    EXPECT_TRUE(rig.service.deliveredWords().empty());
    EXPECT_TRUE(rig.messages.shown.empty());
}

TEST(midi_test, startup_message_by_result_code)
{
    const std::vector<std::pair<int, std::string>> table = {
        {1, "ERROR"},          {2, "BADDEVICEID"},  {3, "NOTENABLED"},   {4, "ALLOCATED"},
        {5, "指定されたデバイス ハンドルが無効です。"},                    {6, "NODRIVER"},
        {7, "メモリの割り当てまたはロックができません。"},                  {8, "NOTSUPPORTED"},
        {9, "BADERRNUM"},      {10, "INVALFLAG"},   {11, "INVALPARAM"},  {12, "HANDLEBUSY"},
        {13, "INVALIDALIAS"},  {20, "LASTERROR"},   {14, "ＭＩＤＩデバイスが開けません"},
        {19, "ＭＩＤＩデバイスが開けません"},       {21, "ＭＩＤＩデバイスが開けません"},
        {-1, "ＭＩＤＩデバイスが開けません"},       {64, "ＭＩＤＩデバイスが開けません"},
    };
    for (const auto& [code, text] : table) {
        Rig rig;
        rig.port.reportStartupOpenFailure(code);
        EXPECT_EQ(rig.shown(), std::vector<std::string>{text}) << "result " << code;
    }
    Rig rig;
    rig.port.reportStartupOpenFailure(0);
    EXPECT_TRUE(rig.messages.shown.empty());
}

TEST(midi_test, switch_silences_channel_10_on_the_old_device_before_closing_it)
{
    Rig rig;
    rig.openFirst();
    const auto oldHandle = rig.port.handle();
    rig.list.selectIndex(2);
    rig.service.calls.clear();

    rig.port.switchMidiOutDevice();
    ASSERT_GE(rig.service.calls.size(), 3u);
    EXPECT_EQ(rig.service.calls[0], (ServiceCall{ServiceCall::Kind::Send, oldHandle, 0, 0x78B9, 0}));
    EXPECT_EQ(rig.service.calls[1], (ServiceCall{ServiceCall::Kind::Close, oldHandle, 0, 0, 0}));
    EXPECT_EQ(rig.service.calls[2].kind, ServiceCall::Kind::Open);
    EXPECT_EQ(rig.service.calls[2].deviceId, 2u);
    EXPECT_EQ(rig.port.selectedDeviceId(), 2);
    EXPECT_EQ(rig.port.lastOpenResult(), 0);
    EXPECT_EQ(rig.service.openHandles().size(), 1u);
    EXPECT_GE(rig.pump.pendingEventRuns, 1);
    EXPECT_TRUE(rig.messages.shown.empty());
}

TEST(midi_test, switch_that_opens_at_the_third_attempt_shows_nothing)
{
    Rig rig;
    rig.openFirst();
    rig.service.openResults[1] = {4, 4};
    rig.list.selectIndex(1);
    rig.port.switchMidiOutDevice();
    EXPECT_EQ(rig.pump.totalSleepMilliseconds(), 1000);
    EXPECT_TRUE(rig.messages.shown.empty());
}

TEST(midi_test, failed_switch_shows_the_second_message_for_four_results)
{
    const std::vector<std::pair<int, std::string>> seconds = {
        {5, "error3"}, {11, "error4"}, {64, "error2"}, {67, "error1"}, {4, ""}, {2, ""}, {1, ""}};
    for (const auto& [code, second] : seconds) {
        Rig rig;
        rig.openFirst();
        rig.service.openResults[1] = std::deque<int>(6, code);
        rig.list.selectIndex(1);
        rig.port.switchMidiOutDevice();
        std::vector<std::string> expected{"ＭＩＤＩデバイスが開けません"};
        if (!second.empty()) {
            expected.push_back(second);
        }
        EXPECT_EQ(rig.shown(), expected) << "result " << code;
        EXPECT_EQ(rig.port.lastOpenResult(), code);
        EXPECT_EQ(rig.pump.totalSleepMilliseconds(), 2500);
    }
}

TEST(midi_test, close_sends_nothing_first_and_a_second_close_is_harmless)
{
    Rig rig;
    rig.openFirst();
    rig.service.calls.clear();
    rig.port.closeMidiOut();
    rig.port.closeMidiOut();
    ASSERT_EQ(rig.service.calls.size(), 2u);
    EXPECT_EQ(rig.service.calls[0].kind, ServiceCall::Kind::Close);
    EXPECT_EQ(rig.service.calls[0].result, 0);
    EXPECT_NE(rig.service.calls[1].result, 0);
    EXPECT_TRUE(rig.service.openHandles().empty());
}

struct RestoreCase {
    const char* what;
    int savedPosition;
    std::string savedName;
    int expectedSelection;
    int expectedDeviceId;
};

TEST(midi_test, restore_rules_at_startup)
{
    const std::vector<RestoreCase> cases = {
        {"first run", 0, "none", 0, 0},
        {"saved device still there", 2, "Synth C", 2, 2},
        {"device moved to another position", 2, "Synth B", 1, 1},
        {"device gone", 2, "Gone Synth", 0, 0},
        {"position beyond the list with a name", 7, "Synth C", 2, 2},
        {"position beyond the list with a gone name", 7, "Gone Synth", 0, 0},
        {"position beyond the list with an empty name", 7, "", -1, 0},
        {"negative position with an empty name", -1, "", -1, 0},
        {"name matches case-sensitively only", 1, "synth b", 0, 0},
        {"line breaks saved as blanks", 0, "Line Synth", 3, 3},
    };
    for (const auto& c : cases) {
        Rig rig({"Synth A", "Synth B", "Synth C", "Line\nSynth"});
        rig.port.listMidiOutDevices();
        rig.port.restoreDeviceSelection(c.savedPosition, c.savedName);
        EXPECT_EQ(rig.list.selectedIndex(), c.expectedSelection) << c.what;
        EXPECT_EQ(rig.port.selectedDeviceName(), c.expectedSelection >= 0 ? rig.list.items[static_cast<std::size_t>(c.expectedSelection)] : "") << c.what;
        EXPECT_EQ(rig.port.selectedDeviceId(), c.expectedDeviceId) << c.what;
    }
}

// Windows numbers devices that share a name, and the numbers move between
// sessions; a saved name finds its device without them, but only when one
// device fits, and never by a shared beginning.
TEST(midi_test, restore_drops_windows_numbering_only_for_one_device)
{
    struct Case {
        const char* what;
        std::vector<std::string> devices;
        std::string savedName;
        int expectedSelection;
    };
    const std::vector<Case> cases = {
        {"number gone", {"Synth A", "UM-ONE"}, "2- UM-ONE", 1},
        {"number added", {"Synth A", "3- UM-ONE"}, "UM-ONE", 1},
        {"number changed", {"Synth A", "3- UM-ONE"}, "2- UM-ONE", 1},
        {"number with a blank", {"Synth A", "2 - UM-ONE"}, "UM-ONE", 1},
        {"trailing number", {"Synth A", "Port (2)"}, "Port", 1},
        {"other parentheses stay", {"Synth A", "MIDIOUT2 (UM-ONE) (2)"}, "MIDIOUT2 (UM-ONE)", 1},
        {"exact name first", {"Synth A", "UM-ONE", "2- UM-ONE"}, "2- UM-ONE", 2},
        {"two candidates: no guess", {"Synth A", "UM-ONE", "2- UM-ONE"}, "3- UM-ONE", 0},
        {"no partial match", {"Synth A", "Port 10"}, "Port 1", 0},
        {"no partial match with a number", {"Synth A", "2- Port 10"}, "Port 1 (2)", 0},
        {"a name that is only a number", {"Synth A", "2- "}, "3- ", 0},
    };
    for (const auto& c : cases) {
        Rig rig(c.devices);
        rig.port.listMidiOutDevices();
        rig.port.restoreDeviceSelection(0, c.savedName);
        EXPECT_EQ(rig.list.selectedIndex(), c.expectedSelection) << c.what;
        EXPECT_EQ(rig.port.selectedDeviceId(), c.expectedSelection) << c.what;
    }
}

TEST(midi_test, restore_maps_positions_through_the_table)
{
    Rig rig({"A", "B", "C"});
    rig.service.failingNameQueries = {0};
    rig.port.listMidiOutDevices();
    rig.port.restoreDeviceSelection(1, "C");
    EXPECT_EQ(rig.port.selectedDeviceName(), "C");
    EXPECT_EQ(rig.port.selectedDeviceId(), 2);
}

TEST(midi_test, restore_with_no_devices_selects_nothing_and_opens_device_0)
{
    Rig rig(std::vector<std::string>{});
    rig.port.listMidiOutDevices();
    rig.port.restoreDeviceSelection(0, "none");
    EXPECT_EQ(rig.list.selectedIndex(), -1);
    EXPECT_EQ(rig.port.selectedDeviceId(), 0);
    EXPECT_EQ(rig.port.openMidiOutWithRetries(0), 2);
    rig.port.reportStartupOpenFailure(2);
    EXPECT_EQ(rig.shown(), std::vector<std::string>{"BADDEVICEID"});
}

// The list follows the system's ports while the tool runs; the open device
// keeps running untouched.
TEST(midi_test, refresh_lists_the_ports_of_now_and_keeps_the_open_device)
{
    Rig rig({"Synth A", "Synth B", "Synth C"});
    rig.port.listMidiOutDevices();
    rig.port.restoreDeviceSelection(1, "Synth B");
    rig.port.openMidiOutWithRetries(static_cast<unsigned>(rig.port.selectedDeviceId()));
    const auto handle = rig.port.handle();
    rig.service.calls.clear();

    rig.service.portsOnNextRescan = {"New Synth", "Synth C", "Synth B"};
    rig.port.refreshDeviceList();
    EXPECT_EQ(rig.service.rescans, 1u);
    EXPECT_EQ(rig.list.items, (std::vector<std::string>{"New Synth", "Synth C", "Synth B"}));
    EXPECT_EQ(rig.list.selectedIndex(), 2);
    EXPECT_EQ(rig.port.selectedDeviceId(), 2);  // what the close saves
    EXPECT_EQ(rig.port.handle(), handle);
    EXPECT_TRUE(rig.service.calls.empty());

    // The table follows the new list: picking "Synth C" opens it, and it is
    // the one the next re-read keeps selected.
    rig.list.selectIndex(1);
    rig.port.switchMidiOutDevice();
    EXPECT_EQ(rig.service.deviceNameOf(rig.port.handle()), "Synth C");
    rig.service.portsOnNextRescan = {"Synth C", "New Synth", "Synth B"};
    rig.port.refreshDeviceList();
    EXPECT_EQ(rig.list.selectedIndex(), 0);

    // The open device goes: nothing is selected, nothing is touched, and the
    // device the settings keep is still the one chosen.
    rig.service.calls.clear();
    rig.service.portsOnNextRescan = {"New Synth"};
    rig.port.refreshDeviceList();
    EXPECT_EQ(rig.list.items, std::vector<std::string>{"New Synth"});
    EXPECT_EQ(rig.list.selectedIndex(), -1);
    EXPECT_EQ(rig.port.chosenDeviceName(), "Synth C");
    EXPECT_EQ(rig.port.selectedDeviceId(), 0);
    EXPECT_TRUE(rig.service.calls.empty());
    EXPECT_TRUE(rig.messages.shown.empty());
}

// A module switched off and on again: the list follows it, and the device in
// use is opened again when it is back, however briefly it was away and
// however the service shows it gone, for the caller to send to; nothing is
// silenced first, the list shows the name greyed while it is away, and a
// device the user left is never opened on its own.
TEST(midi_test, the_device_in_use_is_opened_again_when_it_comes_back)
{
    using Shows = FakeMidiOutService::GoneShows;
    for (const Shows shows : {Shows::DeviceLeft, Shows::FailedSends}) {
        SCOPED_TRACE(shows == Shows::DeviceLeft ? "gone shows as deviceLeft" : "gone shows as failed sends");
        Rig rig({"Synth A", "Synth B"});
        rig.service.shows = shows;
        rig.port.listMidiOutDevices();
        rig.port.restoreDeviceSelection(1, "Synth B");
        rig.port.openMidiOutWithRetries(static_cast<unsigned>(rig.port.selectedDeviceId()));
        EXPECT_FALSE(rig.port.refreshDeviceList());  // nothing changed
        EXPECT_EQ(rig.list.away, "");

        rig.service.calls.clear();
        rig.service.portsOnNextRescan = {"Synth A"};
        EXPECT_FALSE(rig.port.refreshDeviceList());
        EXPECT_EQ(rig.list.items, std::vector<std::string>{"Synth A"});
        EXPECT_EQ(rig.list.selectedIndex(), -1);
        EXPECT_EQ(rig.list.away, "Synth B");
        EXPECT_TRUE(rig.service.calls.empty());

        rig.service.portsOnNextRescan = {"Synth B", "Synth A"};
        ASSERT_TRUE(rig.port.refreshDeviceList());
        EXPECT_EQ(rig.list.selectedIndex(), 0);
        EXPECT_EQ(rig.list.away, "");
        EXPECT_EQ(rig.service.deviceNameOf(rig.port.handle()), "Synth B");
        EXPECT_TRUE(rig.service.sentWords().empty());
        rig.service.portsOnNextRescan = {"Synth B", "Synth A", "Synth C"};
        EXPECT_FALSE(rig.port.refreshDeviceList());  // already open: nothing again

        // Away so briefly that the list never showed it gone: a send tells
        // where the service does not.
        rig.service.left.insert(rig.port.handle());
        rig.selection.sendVoiceSelection();
        ASSERT_TRUE(rig.port.refreshDeviceList());
        EXPECT_EQ(rig.service.callsOf(ServiceCall::Kind::Open).size(), 2u);
        EXPECT_FALSE(rig.port.refreshDeviceList());

        // Its open fails when it is back: the next listing tries again.
        rig.service.portsOnNextRescan = {"Synth A"};
        rig.port.refreshDeviceList();
        rig.service.openResults[0] = {result::kAllocated};
        rig.service.portsOnNextRescan = {"Synth B", "Synth A"};
        EXPECT_FALSE(rig.port.refreshDeviceList());
        ASSERT_TRUE(rig.port.refreshDeviceList());
        EXPECT_EQ(rig.service.openHandles(), std::set<midi::MidiOutHandle>{rig.port.handle()});

        // Gone and back, but the user picked another device meanwhile.
        rig.service.portsOnNextRescan = {"Synth A"};
        rig.port.refreshDeviceList();
        rig.list.selectIndex(0);
        rig.port.switchMidiOutDevice();
        EXPECT_EQ(rig.list.away, "");
        rig.service.calls.clear();
        rig.service.portsOnNextRescan = {"Synth A", "Synth B"};
        EXPECT_FALSE(rig.port.refreshDeviceList());
        EXPECT_TRUE(rig.service.callsOf(ServiceCall::Kind::Open).empty());
    }
}

// Nothing answered at start-up, or a resume from sleep may have made the
// handle stale: the next listing that finds the device opens it afresh.
TEST(midi_test, a_device_not_reached_is_opened_when_listed)
{
    Rig rig({"Synth A"});
    rig.service.openResults[0] = std::deque<int>(6, result::kAllocated);
    rig.openFirst();
    ASSERT_TRUE(rig.service.openHandles().empty());
    ASSERT_TRUE(rig.port.refreshDeviceList());
    EXPECT_EQ(rig.service.openHandles().size(), 1u);

    const auto before = rig.port.handle();
    rig.port.deviceMayBeGone();
    ASSERT_TRUE(rig.port.refreshDeviceList());
    EXPECT_NE(rig.port.handle(), before);
    EXPECT_EQ(rig.service.openHandles(), std::set<midi::MidiOutHandle>{rig.port.handle()});
}

// Only the results that say the handle's device or driver went away.
TEST(midi_test, winmm_results_that_mean_the_device_is_gone)
{
    for (const unsigned gone : {5u, 6u, 68u}) {
        EXPECT_TRUE(midi::winmmResultMeansDeviceGone(gone)) << gone;
    }
    for (const unsigned other : {0u, 1u, 2u, 4u, 7u, 11u, 64u, 67u}) {
        EXPECT_FALSE(midi::winmmResultMeansDeviceGone(other)) << other;
    }
}

// The saved device was not there at start-up and another was opened in its
// stead: when it appears, it is chosen and opened for the caller to send to,
// the stand-in silenced as a switch would; once the user has picked a device,
// the saved one is left alone.
TEST(midi_test, the_saved_device_is_opened_when_it_appears_until_the_user_picks_one)
{
    Rig rig({"Synth A"});
    rig.port.listMidiOutDevices();
    rig.port.restoreDeviceSelection(0, "Synth B");
    rig.port.openMidiOutWithRetries(static_cast<unsigned>(rig.port.selectedDeviceId()));
    const auto standIn = rig.port.handle();
    rig.service.calls.clear();

    rig.service.portsOnNextRescan = {"Synth A", "Synth B"};
    ASSERT_TRUE(rig.port.refreshDeviceList());
    EXPECT_EQ(rig.list.selectedIndex(), 1);
    EXPECT_EQ(rig.port.chosenDeviceName(), "Synth B");
    EXPECT_EQ(rig.service.deviceNameOf(rig.port.handle()), "Synth B");
    EXPECT_EQ(rig.service.calls.front(),
              (ServiceCall{ServiceCall::Kind::Send, standIn, 0, MidiOutPort::kAllSoundOffChannel10, 0}));
    EXPECT_FALSE(rig.port.refreshDeviceList());
    EXPECT_EQ(rig.list.away, "");

    // Nothing listed at start-up: the saved device shows as away, and is
    // opened when it comes, numbered by Windows or not.
    Rig empty(std::vector<std::string>{});
    empty.port.listMidiOutDevices();
    empty.port.restoreDeviceSelection(0, "Synth B");
    EXPECT_EQ(empty.list.away, "Synth B");
    empty.service.portsOnNextRescan = {"2 - Synth B"};
    ASSERT_TRUE(empty.port.refreshDeviceList());
    EXPECT_EQ(empty.service.deviceNameOf(empty.port.handle()), "2 - Synth B");
    EXPECT_EQ(empty.list.away, "");
    EXPECT_FALSE(empty.port.refreshDeviceList());

    Rig picked({"Synth A", "Synth C"});
    picked.port.listMidiOutDevices();
    picked.port.restoreDeviceSelection(0, "Synth B");
    picked.list.selectIndex(1);
    picked.port.switchMidiOutDevice();
    picked.service.portsOnNextRescan = {"Synth A", "Synth C", "Synth B"};
    picked.service.calls.clear();
    EXPECT_FALSE(picked.port.refreshDeviceList());
    EXPECT_EQ(picked.port.chosenDeviceName(), "Synth C");
    EXPECT_TRUE(picked.service.calls.empty());
}

}  // namespace
}  // namespace tavrelle
