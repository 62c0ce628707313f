// Start-up, shut-down and the window's rules without a window: the fake MIDI
// service, the window's views as plain values, and a real settings file in a
// scratch folder. Each window is held to these rules by its own thin test
// (window_test, tests/windows/wine_test.sh).
#include "support/window_support.h"
#include "window/startup_shutdown.h"
#include "window/window_rules.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <string>
#include <vector>

namespace tavrelle {
namespace {

namespace fs = std::filesystem;
using testing::FakeWindowBounds;
using testing::readFile;
using testing::ServiceCall;
using testing::ShownVoice;
using testing::VectorDeviceList;
using testing::writeFile;
using window::Button;
using window::Control;
using window::Key;
using window::OuterBounds;
using window::StartupShutdown;
using Words = std::vector<std::uint32_t>;

constexpr const char* kNoDevice = "ＭＩＤＩ音源がないのでこのソフトは利用できません";

class StartupTest : public testing::ServicesFixture {
protected:
    FakeWindowBounds bounds;
    VectorDeviceList list;
    ShownVoice voice;
    std::unique_ptr<StartupShutdown> tool;

    StartupShutdown& start(const std::string& readPath = {})
    {
        tool = std::make_unique<StartupShutdown>(
            window::StartupServices{service, presenter, pump, settingsPath, readPath},
            window::WindowViews{bounds, list, voice});
        tool->runStartup();
        return *tool;
    }
    std::string errorSaving() const { return "E:ファイル " + settingsPath + " を作成できません"; }
};

TEST_F(StartupTest, first_run_opens_the_first_device_sends_once_and_saves_the_settings_layout)
{
    StartupShutdown& t = start();
    EXPECT_TRUE(presenter.shown.empty());
    EXPECT_EQ(bounds.bounds, (OuterBounds{193, 159, 221, 125}));
    EXPECT_EQ(list.items.size(), 3u);
    EXPECT_EQ(list.selected, 0);
    ASSERT_EQ(service.callsOf(ServiceCall::Kind::Open).size(), 1u);
    EXPECT_EQ(service.callsOf(ServiceCall::Kind::Open)[0].deviceId, 0u);
    EXPECT_EQ(service.deliveredWords(), (Words{0x0020B0, 0x0000B0, 0x0000C0}));
    EXPECT_EQ(voice.program, 1);
    EXPECT_EQ(voice.bank, 0);
    EXPECT_EQ(voice.channel, 1);

    service.calls.clear();
    ASSERT_TRUE(t.runShutdown());
    EXPECT_EQ(readFile(settingsPath), testing::firstRunFile());
    EXPECT_FALSE(t.hasSettingsStore());
    // The device is closed and nothing is sent on the way out.
    ASSERT_EQ(service.calls.size(), 1u);
    EXPECT_EQ(service.calls[0].kind, ServiceCall::Kind::Close);
    EXPECT_TRUE(service.openHandles().empty());
}

// A failed open is told by its result code (the port's own test has every
// code and the retries); with no device at all, both messages come in order.
TEST_F(StartupTest, a_failed_open_is_told_and_start_up_still_ends)
{
    service.openResults[0] = std::deque<int>(6, 4);
    start();
    EXPECT_EQ(presenter.shown, std::vector<std::string>{"M:ALLOCATED"});

    presenter.shown.clear();
    service.devices.clear();
    service.calls.clear();
    start();
    EXPECT_EQ(presenter.shown, (std::vector<std::string>{std::string("M:") + kNoDevice, "M:BADDEVICEID"}));
    EXPECT_TRUE(list.items.empty());
    // The selection still goes out, to a handle that holds nothing.
    EXPECT_FALSE(service.sentWords().empty());
    EXPECT_TRUE(service.deliveredWords().empty());
}

TEST_F(StartupTest, saved_bounds_and_device_are_restored)
{
    writeFile(settingsPath, "[window]\r\nHeight=140\r\nWidth=300\r\nTop=-500\r\nLeft=4000\r\n\r\n"
                            "[dev]\r\ndev_num=1\r\ngakki=Synth B\r\nmap=0\r\n\r\n");
    start();
    // An off-screen position is kept as it is.
    EXPECT_EQ(bounds.bounds, (OuterBounds{4000, -500, 300, 140}));
    EXPECT_EQ(list.selected, 1);
    EXPECT_EQ(service.callsOf(ServiceCall::Kind::Open)[0].deviceId, 1u);
}

// A close saves the bounds the window has then; native Wayland tells a
// window nothing of where it is, so there the saved position is kept as read.
TEST_F(StartupTest, a_close_saves_the_bounds_and_keeps_a_position_it_cannot_know)
{
    for (const bool known : {true, false}) {
        SCOPED_TRACE(known ? "position known" : "position unknown");
        writeFile(settingsPath, "[window]\r\nHeight=140\r\nWidth=300\r\nTop=-500\r\nLeft=4000\r\n\r\n");
        bounds.knowsPosition = known;
        start();
        bounds.bounds = {-3, -30, 310, 150};
        ASSERT_TRUE(tool->runShutdown());
        const std::string position = known ? "Top=-30\r\nLeft=-3\r\n" : "Top=-500\r\nLeft=4000\r\n";
        EXPECT_NE(readFile(settingsPath).find("[window]\r\nHeight=150\r\nWidth=310\r\n" + position), std::string::npos);
    }
}

TEST_F(StartupTest, saved_device_is_found_by_name_and_a_gone_one_is_kept_until_the_user_picks)
{
    // Device 1 does not answer, so Synth C is listed second but keeps its
    // identifier 2, which is what is saved.
    service.failingNameQueries = {1};
    writeFile(settingsPath, "[dev]\r\ndev_num=0\r\ngakki=Synth C\r\n\r\n");
    start();
    EXPECT_EQ(list.selected, 1);
    ASSERT_EQ(service.callsOf(ServiceCall::Kind::Open).size(), 1u);
    EXPECT_EQ(service.deviceNameOf(service.callsOf(ServiceCall::Kind::Open)[0].handle), "Synth C");
    ASSERT_TRUE(tool->runShutdown());
    EXPECT_NE(readFile(settingsPath).find("dev_num=2\r\ngakki=Synth C\r\n"), std::string::npos);
    service.failingNameQueries.clear();

    // A saved device that is not listed gives way to the first, and its
    // entries are kept as they were unless the user picks one; a dev_num
    // that was missing is written all the same.
    writeFile(settingsPath, "[dev]\r\ndev_num=2\r\ngakki=Gone Synth\r\n\r\n");
    service.calls.clear();
    start();
    EXPECT_EQ(list.selected, 0);
    EXPECT_EQ(service.deviceNameOf(service.callsOf(ServiceCall::Kind::Open)[0].handle), "Synth A");
    ASSERT_TRUE(tool->runShutdown());
    EXPECT_NE(readFile(settingsPath).find("dev_num=2\r\ngakki=Gone Synth\r\nmap=0\r\n"), std::string::npos);

    start();
    list.selectIndex(1);
    tool->port().switchMidiOutDevice();
    ASSERT_TRUE(tool->runShutdown());
    EXPECT_NE(readFile(settingsPath).find("dev_num=1\r\ngakki=Synth B\r\n"), std::string::npos);

    writeFile(settingsPath, "[dev]\r\ngakki=Gone Synth\r\n\r\n");
    start();
    ASSERT_TRUE(tool->runShutdown());
    EXPECT_NE(readFile(settingsPath).find("[dev]\r\ngakki=Gone Synth\r\ndev_num=0\r\nmap=0\r\n\r\n"), std::string::npos)
        << readFile(settingsPath);

    // An empty saved name names nothing to keep: the identifier in use is saved.
    writeFile(settingsPath, "[dev]\r\ndev_num=7\r\ngakki=\r\n\r\n");
    start();
    ASSERT_TRUE(tool->runShutdown());
    EXPECT_NE(readFile(settingsPath).find("dev_num=0\r\ngakki=\r\n"), std::string::npos) << readFile(settingsPath);
}

// Windows renumbered the saved device: it is used, and saved under the name
// it has now, which the next start finds exactly.
TEST_F(StartupTest, a_renumbered_device_is_saved_under_its_name_of_now)
{
    service.devices = {"Synth A", "2- UM-ONE"};
    writeFile(settingsPath, "[dev]\r\ndev_num=0\r\ngakki=UM-ONE\r\n\r\n");
    start();
    EXPECT_EQ(list.selected, 1);
    ASSERT_TRUE(tool->runShutdown());
    EXPECT_NE(readFile(settingsPath).find("dev_num=1\r\ngakki=2- UM-ONE\r\n"), std::string::npos) << readFile(settingsPath);
}

// Started while the MIDI system is away: nothing is listed, and the next
// start with it back must still find the saved device.
TEST_F(StartupTest, a_start_without_the_midi_system_keeps_the_saved_device)
{
    writeFile(settingsPath, "[Dev]\r\nDev_num=3\r\ngakki=capture:input\r\nmap=0\r\n\r\n");
    service.devices.clear();
    start();
    ASSERT_TRUE(tool->runShutdown());
    EXPECT_NE(readFile(settingsPath).find("[Dev]\r\ndev_num=3\r\ngakki=capture:input\r\nmap=0\r\n\r\n"),
              std::string::npos)
        << readFile(settingsPath);

    service.devices = {"Synth A", "Synth B", "Synth C", "capture:input"};
    start();
    EXPECT_EQ(list.selected, 3);
}

TEST_F(StartupTest, unreadable_settings_file_stops_startup_and_is_never_overwritten)
{
    const std::string original = "[window]\r\nHeight=300\r\n";
    writeFile(settingsPath, original);
    const int locker = ::open(settingsPath.c_str(), O_RDWR);
    ASSERT_GE(locker, 0);
    ASSERT_EQ(::flock(locker, LOCK_EX), 0);

    StartupShutdown& t = start();
    ::close(locker);
    EXPECT_EQ(presenter.shown, std::vector<std::string>{"E:ファイル " + settingsPath + " は開けません"});
    EXPECT_EQ(bounds.bounds, window::kDesignedBounds);
    EXPECT_TRUE(list.items.empty());
    EXPECT_TRUE(service.callsOf(ServiceCall::Kind::Open).empty());
    EXPECT_TRUE(service.sentWords().empty());

    EXPECT_TRUE(t.runShutdown());
    EXPECT_EQ(readFile(settingsPath), original);
}

// An installed copy takes its first values from a file it must never write.
TEST_F(StartupTest, defaults_read_from_another_file_are_saved_to_the_users_own)
{
    const std::string defaults = (folder / "defaults.ini").string();
    const std::string original = "[dev]\r\ngakki=Synth B\r\n";
    writeFile(defaults, original);
    start(defaults);
    EXPECT_EQ(list.selected, 1);
    ASSERT_TRUE(tool->runShutdown());
    EXPECT_EQ(readFile(defaults), original);
    EXPECT_NE(readFile(settingsPath).find("[dev]\r\ngakki=Synth B\r\ndev_num=1\r\n"), std::string::npos);
}

// A failed save abandons the first close and leaves the device open, so the
// window that stays still reaches the module; the second failure in a row
// lets the window close unsaved, and only then is the device closed.
TEST_F(StartupTest, a_failing_save_holds_the_window_once_and_never_twice_in_a_row)
{
    fs::create_directory(settingsPath);  // a folder in the way
    StartupShutdown& t = start();
    service.calls.clear();
    EXPECT_FALSE(t.runShutdown());
    EXPECT_TRUE(t.hasSettingsStore());
    EXPECT_EQ(presenter.shown, std::vector<std::string>{errorSaving()});
    t.rules().keyDown(Key::Up);
    t.rules().keyUp();
    EXPECT_EQ(service.deliveredWords(), (Words{0x0020B0, 0x0000B0, 0x0001C0}));
    EXPECT_TRUE(service.callsOf(ServiceCall::Kind::Close).empty());

    EXPECT_TRUE(t.runShutdown());
    EXPECT_EQ(presenter.shown, (std::vector<std::string>{errorSaving(), errorSaving()}));
    EXPECT_TRUE(fs::is_directory(settingsPath));
    EXPECT_EQ(service.callsOf(ServiceCall::Kind::Close).size(), 1u);
    EXPECT_TRUE(service.openHandles().empty());

    presenter.shown.clear();
    start();
    EXPECT_FALSE(tool->runShutdown());
    fs::remove(settingsPath);
    EXPECT_TRUE(tool->runShutdown());
    EXPECT_NE(readFile(settingsPath).find("[dev]\r\ndev_num=0\r\n"), std::string::npos);
    EXPECT_EQ(presenter.shown.size(), 1u);
}

using WindowRulesTest = StartupTest;

TEST_F(WindowRulesTest, keys_step_while_down_and_every_real_release_sends)
{
    window::WindowRules& rules = start().rules();
    service.calls.clear();
    rules.keyDown(Key::Down);
    EXPECT_EQ(voice.program, 128);
    EXPECT_TRUE(service.sentWords().empty());
    rules.keyUp();
    EXPECT_EQ(service.deliveredWords(), (Words{0x0020B0, 0x0000B0, 0x7FC0}));

    const std::pair<Key, std::array<int, 3>> steps[] = {
        {Key::Up, {1, 0, 1}},       {Key::Left, {1, 127, 1}},   {Key::Right, {1, 0, 1}},
        {Key::PageDown, {1, 0, 16}}, {Key::PageUp, {1, 0, 1}},   {Key::Other, {1, 0, 1}},
    };
    for (const auto& [key, shown] : steps) {
        rules.keyDown(key);
        EXPECT_EQ((std::array<int, 3>{voice.program, voice.bank, voice.channel}), shown);
    }
    // A held key steps on every repeat; its one release sends the end result.
    service.calls.clear();
    for (int repeat = 0; repeat < 5; ++repeat) {
        rules.keyDown(Key::Right);
    }
    rules.keyUp();
    EXPECT_EQ(service.deliveredWords(), (Words{0x0020B0, 0x0500B0, 0x00C0}));
}

TEST_F(WindowRulesTest, presses_step_and_send_on_the_program_and_bank_labels_only)
{
    window::WindowRules& rules = start().rules();
    struct Press {
        Control control;
        Button button;
        int program, bank;
        bool sends;
    };
    const Press presses[] = {
        {Control::ProgramCaption, Button::Left, 2, 0, true},    {Control::ProgramCaption, Button::Right, 1, 0, true},
        {Control::ProgramCaption, Button::Middle, 1, 0, false}, {Control::ProgramValue, Button::Right, 128, 0, true},
        {Control::ProgramValue, Button::Left, 1, 0, true},      {Control::ProgramValue, Button::Middle, 1, 0, true},
        {Control::BankCaption, Button::Right, 1, 127, true},    {Control::BankCaption, Button::Left, 1, 0, true},
        {Control::BankCaption, Button::Middle, 1, 0, false},    {Control::BankValue, Button::Left, 1, 1, true},
        {Control::BankValue, Button::Right, 1, 0, true},        {Control::BankValue, Button::Middle, 1, 0, false},
        {Control::ChannelValue, Button::Left, 1, 0, false},     {Control::ChannelCaption, Button::Right, 1, 0, false},
        {Control::DeviceCaption, Button::Left, 1, 0, false},    {Control::Version, Button::Middle, 1, 0, false},
        {Control::ProgramValue, Button::Other, 1, 0, false},
    };
    for (const Press& press : presses) {
        SCOPED_TRACE(::testing::Message() << "control " << static_cast<int>(press.control) << " button "
                                          << static_cast<int>(press.button));
        service.calls.clear();
        rules.pressed(press.control, press.button);
        EXPECT_EQ(voice.program, press.program);
        EXPECT_EQ(voice.bank, press.bank);
        const Words sent{0x0020B0, static_cast<std::uint32_t>(press.bank << 16 | 0xB0),
                         static_cast<std::uint32_t>((press.program - 1) << 8 | 0xC0)};
        EXPECT_EQ(service.deliveredWords(), press.sends ? sent : Words{});
    }
}

TEST_F(WindowRulesTest, a_picked_device_is_switched_to_then_sent_even_when_it_fails_to_open)
{
    window::WindowRules& rules = start().rules();
    service.calls.clear();
    list.selectIndex(1);
    rules.devicePicked();
    EXPECT_EQ(service.deviceNameOf(tool->port().handle()), "Synth B");
    EXPECT_EQ(service.deliveredWords(), (Words{0x78B9, 0x20B0, 0xB0, 0xC0}));

    service.calls.clear();
    service.openResults[2] = std::deque<int>(6, 4);
    list.selectIndex(2);
    rules.devicePicked();
    // The selection still goes out, to a handle that holds nothing.
    EXPECT_GE(service.sentWords().size(), 2u);
    EXPECT_EQ(service.deliveredWords(), Words{0x78B9});
}

// Typed characters reach the list's search as blanks: with ordinary names a
// letter never picks a device, and only an entry that starts with a blank
// can be found, which is then the user's pick.
TEST_F(WindowRulesTest, typed_characters_find_only_names_that_start_with_a_blank)
{
    window::WindowRules& rules = start().rules();
    service.calls.clear();
    for (const char32_t typed : {U's', U'S', U'a', U' ', U'\r', U'\x1b', U'ア'}) {
        rules.characterTyped(typed);
    }
    EXPECT_EQ(list.selected, 0);
    EXPECT_TRUE(service.calls.empty());

    service.devices = {"Synth A", " Space Lead", "Synth C", " Second"};
    start();
    service.calls.clear();
    rules.characterTyped(U'\t');
    EXPECT_TRUE(service.calls.empty());
    tool->rules().characterTyped(U's');
    EXPECT_EQ(list.selected, 1);
    EXPECT_EQ(service.deviceNameOf(tool->port().handle()), " Space Lead");
    EXPECT_EQ(service.deliveredWords(), (Words{0x78B9, 0x20B0, 0xB0, 0xC0}));
    tool->rules().characterTyped(U'x');
    EXPECT_EQ(list.selected, 3);
    tool->rules().characterTyped(U'x');
    EXPECT_EQ(list.selected, 1);
}

// The device in use that left and is listed again is opened again and given
// the selection once, with no All Sound Off for a module that was away.
TEST_F(WindowRulesTest, a_relist_gives_the_device_in_use_that_is_back_the_selection)
{
    window::WindowRules& rules = start().rules();
    service.calls.clear();
    service.portsOnNextRescan = std::vector<std::string>{"Synth B"};
    rules.relistDevices();
    EXPECT_EQ(list.items, std::vector<std::string>{"Synth B"});
    EXPECT_TRUE(service.calls.empty());
    service.portsOnNextRescan = std::vector<std::string>{"Synth B", "Synth A"};
    rules.relistDevices();
    EXPECT_EQ(list.selected, 1);
    EXPECT_EQ(service.deviceNameOf(tool->port().handle()), "Synth A");
    EXPECT_EQ(service.deliveredWords(), (Words{0x20B0, 0xB0, 0xC0}));
}

TEST(window_rules_test, title_and_error_text)
{
    const auto asciiLower = [](std::string_view text) {
        std::string lower(text);
        for (char& c : lower) {
            c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        }
        return lower;
    };
    EXPECT_EQ(window::applicationTitle("tavrelle", asciiLower), "tavrelle");
    EXPECT_EQ(window::applicationTitle("TavRelle.Old.EXE", asciiLower), "Tavrelle");
    // The first character is kept whole, however many bytes it takes.
    EXPECT_EQ(window::applicationTitle("\xc3\x84RGER.exe", asciiLower), "\xc3\x84rger");
    EXPECT_EQ(window::applicationTitle(".hidden", asciiLower), "");
    EXPECT_EQ(window::errorBoxText("ストリームへの書き込みエラー"), "ストリームへの書き込みエラー.");
    EXPECT_EQ(window::errorBoxText("Done."), "Done.");
    EXPECT_EQ(window::errorBoxText("Done!"), "Done!");
    EXPECT_EQ(window::errorBoxText("Done"), "Done.");
    EXPECT_EQ(window::errorBoxText(""), "");
}

// Any local program names its own ports: a name must not take several rows
// or read in another order than its bytes.
TEST(window_rules_test, device_names_are_drawn_on_one_line_in_their_own_order)
{
    using window::shownDeviceName;
    EXPECT_EQ(shownDeviceName("FLUID Synth \xe9\x9f\xb3\xf0\x9f\x8e\xb9"), "FLUID Synth \xe9\x9f\xb3\xf0\x9f\x8e\xb9");
    EXPECT_EQ(shownDeviceName(std::string("a\nb\r\tc\x7f\0d", 9)), "a\\x0Ab\\x0D\\x09c\\x7F\\x00d");
    EXPECT_EQ(shownDeviceName("x\xc2\x85y\xe2\x80\xa8z"), "x\\x85y\\u2028z");
    EXPECT_EQ(shownDeviceName("\xe2\x80\xae" "A\xe2\x81\xa7" "B\xe2\x80\x8f\xd8\x9c\xe2\x80\x8e\xe2\x81\xa9"),
              "\\u202EA\\u2067B\\u200F\\u061C\\u200E\\u2069");
    // Bytes that are not UTF-8: stray, overlong, a surrogate, past U+10FFFF,
    // and a sequence cut short at the end.
    EXPECT_EQ(shownDeviceName("\xff\xc0\xaf"), "\\xFF\\xC0\\xAF");
    EXPECT_EQ(shownDeviceName("\xed\xa0\x80|\xf4\x90\x80\x80|\xe3\x81"),
              "\\xED\\xA0\\x80|\\xF4\\x90\\x80\\x80|\\xE3\\x81");
}

}  // namespace
}  // namespace tavrelle
