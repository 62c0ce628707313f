// The window on Qt's offscreen platform, with the fake MIDI service and the
// message boxes captured (support/window_fixture.h).
#include "support/window_fixture.h"
#include "window/startup_shutdown.h"
#include "window/general_midi.h"
#include "window/main_window.h"
#include "window/message_box.h"
#include "window/platform_choice.h"

#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QDir>
#include <QHelpEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <QWheelEvent>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <deque>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

namespace tavrelle {
namespace {

using testing::ServiceCall;
using testing::readFile;
using testing::writeFile;
using window::Control;
using window::MainWindow;
using window::OuterBounds;
using Words = std::vector<std::uint32_t>;

class WindowTest : public testing::WindowFixture {
protected:
    Words sent() const { return service.sentWords(); }
    // The program, bank and channel as the window shows them.
    static std::string shown(MainWindow& w)
    {
        return (w.label(Control::ProgramValue)->text() + u' ' + w.label(Control::BankValue)->text() + u' ' +
                w.label(Control::ChannelValue)->text())
            .toStdString();
    }
};

// Start-up runs while the window is built, so its messages come before the
// window is shown; the window then shows what start-up set.
TEST_F(WindowTest, startup_messages_come_before_the_window_which_shows_what_startup_set)
{
    service.openResults[0] = std::deque<int>(6, 4);
    std::vector<bool> windowVisibleAtMessage;
    presenter.onShow = [&] {
        bool visible = false;
        for (const QWidget* widget : QApplication::topLevelWidgets()) {
            visible = visible || (widget->objectName() == "mainWindow" && widget->isVisible());
        }
        windowVisibleAtMessage.push_back(visible);
    };
    MainWindow& w = start();
    EXPECT_EQ(windowVisibleAtMessage, std::vector<bool>{false});
    EXPECT_EQ(presenter.shown, std::vector<std::string>{"M:ALLOCATED"});
    EXPECT_EQ(service.callsOf(ServiceCall::Kind::Send).size(), 1u);  // one send, to the failed handle

    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    EXPECT_EQ(w.outerBounds(), (OuterBounds{193, 159, 221, 125}));
    EXPECT_EQ(w.deviceList()->count(), 3);
    EXPECT_EQ(w.deviceList()->currentIndex(), 0);
    EXPECT_EQ(shown(w), "1 0 1");
    EXPECT_EQ(w.windowTitle(), "Tavrelle");
    const auto* msb = w.findChild<QRadioButton*>("msbModeButton");
    ASSERT_NE(msb, nullptr);
    EXPECT_TRUE(msb->isChecked());
    EXPECT_TRUE(msb->isHidden());
    EXPECT_TRUE(w.findChild<QRadioButton*>("lsbModeButton")->isHidden());
}

// The designed bounds hold with the frame included, also when the settings
// file cannot be read and start-up stops before placing the window.
TEST_F(WindowTest, unreadable_settings_leave_the_designed_outer_bounds)
{
    writeFile(settingsPath, "[window]\r\nHeight=300\r\n");
    const int locker = ::open(settingsPath.c_str(), O_RDWR);
    ASSERT_GE(locker, 0);
    ASSERT_EQ(::flock(locker, LOCK_EX), 0);
    MainWindow& w = start();
    ::close(locker);
    EXPECT_EQ(presenter.shown.size(), 1u);
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    QCoreApplication::processEvents();
    EXPECT_EQ(w.outerBounds(), window::kDesignedBounds);
    tap(&w, Qt::Key_Up);
    EXPECT_EQ(w.label(Control::ProgramValue)->text(), "2");
}

// A close saves the position the window was placed at, also where the
// window system tells a window nothing of where it is (native Wayland, run
// by tests/e2e/wayland_e2e.sh).
TEST_F(WindowTest, a_close_keeps_the_saved_position)
{
    writeFile(settingsPath, "[window]\r\nHeight=140\r\nWidth=300\r\nTop=100\r\nLeft=200\r\n");
    MainWindow& w = startShown();
    ASSERT_TRUE(w.close());
    const std::string saved = readFile(settingsPath);
    EXPECT_NE(saved.find("Top=100\r\nLeft=200\r\n"), std::string::npos) << saved;
}

// Every way of closing ends in the same shut-down, and the window follows
// its answer: held open when it refuses, closed when it allows. When it
// refuses and what is saved are startup_test's.
TEST_F(WindowTest, closing_runs_shutdown_and_a_failing_save_holds_the_window_only_once)
{
    std::filesystem::create_directory(settingsPath);  // a folder in the way
    MainWindow& w = startShown();
    EXPECT_FALSE(w.close());
    EXPECT_TRUE(w.isVisible());
    EXPECT_TRUE(w.close());
    EXPECT_FALSE(w.isVisible());
}

// Qt's keys reach the rules: each bound key steps while down, every real
// release sends, an auto-repeated one does not, and Tab moves nothing.
TEST_F(WindowTest, keys_reach_the_rules_and_only_real_releases_send)
{
    MainWindow& w = startShown();
    const std::pair<Qt::Key, const char*> keys[] = {{Qt::Key_Down, "128 0 1"},  {Qt::Key_Up, "1 0 1"},
                                                    {Qt::Key_Left, "1 127 1"},   {Qt::Key_Right, "1 0 1"},
                                                    {Qt::Key_PageDown, "1 0 16"}, {Qt::Key_PageUp, "1 0 1"}};
    for (const auto& [key, shown] : keys) {
        QTest::keyPress(&w, key);
        EXPECT_EQ(this->shown(w), shown);
    }
    EXPECT_TRUE(sent().empty());
    for (int repeat = 0; repeat < 4; ++repeat) {
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_Right, Qt::NoModifier, QString(), true);
        QApplication::sendEvent(&w, &release);
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Right, Qt::NoModifier, QString(), true);
        QApplication::sendEvent(&w, &press);
    }
    EXPECT_TRUE(sent().empty());
    QTest::keyRelease(&w, Qt::Key_Right);
    EXPECT_EQ(sent(), (Words{0x0020B0, 0x0400B0, 0x00C0}));

    service.calls.clear();
    tap(&w, Qt::Key_A);
    tap(&w, Qt::Key_Shift);
    tap(&w, Qt::Key_X, Qt::AltModifier);
    tap(&w, Qt::Key_Tab);
    // Alt+X is two releases: X, then Alt.
    EXPECT_EQ(sent().size(), 15u);
    EXPECT_FALSE(w.deviceList()->hasFocus());
}

TEST_F(WindowTest, keys_on_the_device_list_step_the_selection_and_never_touch_the_list)
{
    MainWindow& w = startShown();
    w.deviceList()->setFocus();
    const std::vector<std::pair<Qt::Key, Qt::KeyboardModifiers>> keys = {
        {Qt::Key_Down, Qt::NoModifier}, {Qt::Key_Down, Qt::AltModifier}, {Qt::Key_F4, Qt::NoModifier},
        {Qt::Key_End, Qt::NoModifier},  {Qt::Key_Home, Qt::NoModifier},  {Qt::Key_F4, Qt::AltModifier},
        {Qt::Key_PageDown, Qt::NoModifier}};
    for (const auto& [key, modifiers] : keys) {
        tap(w.deviceList(), key, modifiers);
    }
    EXPECT_EQ(w.deviceList()->currentIndex(), 0);
    EXPECT_FALSE(w.deviceList()->view()->isVisible());
    EXPECT_TRUE(w.isVisible());
    EXPECT_EQ(w.label(Control::ProgramValue)->text(), "127");  // Down twice
    EXPECT_EQ(w.label(Control::ChannelValue)->text(), "16");
    EXPECT_TRUE(service.callsOf(ServiceCall::Kind::Open).empty());
    // Each key sends on release, and so does each Alt released after it.
    EXPECT_EQ(sent().size(), 3u * (keys.size() + 2));
}

TEST_F(WindowTest, typed_characters_reach_the_list_as_blanks)
{
    service.devices = {"Synth A", "Synth B", " Space Lead"};
    MainWindow& w = startShown();
    w.deviceList()->setFocus();
    tap(w.deviceList(), Qt::Key_S);
    // Only the entry that starts with a blank can be found, and finding it is
    // a user's change of device.
    EXPECT_EQ(w.deviceList()->currentIndex(), 2);
    ASSERT_FALSE(service.callsOf(ServiceCall::Kind::Open).empty());
    EXPECT_EQ(service.callsOf(ServiceCall::Kind::Open).back().deviceId, 2u);
}

// Each button reaches the rules, the second press of a double click too.
TEST_F(WindowTest, presses_on_the_labels_reach_the_rules)
{
    MainWindow& w = startShown();
    QTest::mousePress(w.label(Control::BankCaption), Qt::RightButton);
    EXPECT_EQ(shown(w), "1 127 1");
    EXPECT_EQ(sent(), (Words{0x0020B0, 0x7F00B0, 0x00C0}));
    service.calls.clear();
    // X11 delivers a double click as press, release, double-click, release.
    QTest::mouseClick(w.label(Control::ProgramValue), Qt::LeftButton);
    QTest::mouseDClick(w.label(Control::ProgramValue), Qt::LeftButton);
    EXPECT_EQ(shown(w), "3 127 1");
    EXPECT_EQ(sent().size(), 6u);
    service.calls.clear();
    QTest::mousePress(w.label(Control::ProgramValue), Qt::MiddleButton);
    QTest::mousePress(w.label(Control::ChannelValue), Qt::LeftButton);
    EXPECT_EQ(sent(), (Words{0x0020B0, 0x7F00B0, 0x02C0}));
}

// The wheel changes nothing anywhere in the window, the list included.
TEST_F(WindowTest, wheel_does_nothing_over_the_window_labels_or_list)
{
    MainWindow& w = startShown();
    for (QWidget* target : {static_cast<QWidget*>(&w), static_cast<QWidget*>(w.label(Control::ProgramValue)),
                            static_cast<QWidget*>(w.deviceList())}) {
        QWheelEvent wheel(QPointF(5, 5), w.mapToGlobal(QPointF(5, 5)), QPoint(), QPoint(0, -120), Qt::NoButton,
                          Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(target, &wheel);
    }
    EXPECT_EQ(w.deviceList()->currentIndex(), 0);
    EXPECT_EQ(w.label(Control::ProgramValue)->text(), "1");
    EXPECT_TRUE(service.calls.empty());
}

// A pick with the mouse is the rules' device pick; a selection the program
// makes is none.
TEST_F(WindowTest, picking_a_device_switches_and_sends)
{
    MainWindow& w = startShown();
    w.deviceList()->setCurrentIndex(2);
    EXPECT_TRUE(service.calls.empty());
    w.deviceList()->setCurrentIndex(1);
    emit w.deviceList()->activated(1);
    EXPECT_EQ(service.deviceNameOf(w.port().handle()), "Synth B");
    EXPECT_EQ(service.deliveredWords(), (Words{0x78B9, 0x20B0, 0xB0, 0xC0}));
}

TEST_F(WindowTest, program_tool_tip_names_the_general_midi_voice_and_follows_every_step)
{
    MainWindow& w = startShown();
    const QPoint labelAt = w.label(Control::ProgramValue)->pos();
    EXPECT_EQ(w.label(Control::ProgramValue)->toolTip(), "Acoustic Grand Piano");
    EXPECT_EQ(w.label(Control::ProgramCaption)->toolTip(), "Acoustic Grand Piano");
    tap(&w, Qt::Key_Down);
    EXPECT_EQ(w.label(Control::ProgramValue)->toolTip(), "Gunshot");
    EXPECT_EQ(w.label(Control::ProgramValue)->accessibleDescription(), "Gunshot");
    EXPECT_EQ(w.label(Control::ProgramValue)->accessibleName(), "プログラムナンバー = 128");
    tap(&w, Qt::Key_Up);
    EXPECT_EQ(w.label(Control::ProgramCaption)->toolTip(), "Acoustic Grand Piano");
    service.calls.clear();
    for (int i = 0; i < 9; ++i) {
        QTest::keyPress(&w, Qt::Key_PageUp);
    }
    EXPECT_EQ(w.label(Control::ChannelValue)->text(), "10");
    const QString hint = w.label(Control::ProgramValue)->toolTip();
    EXPECT_TRUE(hint.startsWith("Percussion")) << hint.toStdString();
    EXPECT_EQ(w.label(Control::ChannelValue)->accessibleName(), "チャンネル = 10");
    EXPECT_EQ(w.label(Control::BankValue)->accessibleName(), "バンクセレクト = 0");
    EXPECT_EQ(w.deviceList()->accessibleName(), "音源");
    // Describing the voice sends nothing and moves nothing.
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(w.label(Control::ProgramValue)->pos(), labelAt);
}

// The first tool tip reads the instrument files beside the settings; the
// hints then follow the device picked since, and the choice stays saved.
TEST_F(WindowTest, tool_tips_name_the_voice_and_bank_of_the_devices_instrument_once_one_is_asked_for)
{
    std::filesystem::copy_file(TAVRELLE_TEST_DATA_DIR "/ins/stage_modules.ins", folder / "stage_modules.ins");
    writeFile(settingsPath, "[instruments]\r\nSynth A=Stage One\r\n");
    MainWindow& w = startShown();
    const auto hintOf = [&w](Control control) {
        QLabel* target = w.label(control);
        QHelpEvent ask(QEvent::ToolTip, QPoint(1, 1), target->mapToGlobal(QPoint(1, 1)));
        QApplication::sendEvent(target, &ask);
        return target->toolTip().toStdString();
    };
    EXPECT_EQ(w.label(Control::ProgramValue)->toolTip(), "Acoustic Grand Piano");
    EXPECT_EQ(hintOf(Control::ProgramValue), "Concert Grand");
    tap(&w, Qt::Key_Right);
    EXPECT_EQ(w.label(Control::ProgramCaption)->toolTip(), "Concert Grand Wide");
    EXPECT_EQ(hintOf(Control::BankCaption), "Stage Variation");
    w.deviceList()->setCurrentIndex(1);
    emit w.deviceList()->activated(1);
    EXPECT_EQ(hintOf(Control::ProgramCaption), "Acoustic Grand Piano");
    EXPECT_EQ(hintOf(Control::BankValue), "");
    ASSERT_TRUE(w.close());
    EXPECT_NE(readFile(settingsPath).find("[instruments]\r\nSynth A=Stage One\r\n"), std::string::npos);
}

// Run a second time by ctest with QT_SCALE_FACTOR=2: at 192 dpi the window
// and its font scale together and every text still fits inside the window.
TEST_F(WindowTest, nothing_is_clipped_at_this_scale)
{
    MainWindow& w = startShown();
    for (int i = 0; i < 40; ++i) {
        tap(&w, Qt::Key_Up);
    }
    for (int i = 0; i < 120; ++i) {
        tap(&w, Qt::Key_Right);
    }
    const QRect inside = w.rect();
    for (QLabel* label : w.findChildren<QLabel*>()) {
        EXPECT_TRUE(inside.contains(label->geometry())) << label->objectName().toStdString();
        EXPECT_GE(label->width(), label->fontMetrics().horizontalAdvance(label->text()))
            << label->objectName().toStdString();
    }
    EXPECT_TRUE(inside.contains(w.deviceList()->geometry()));
    const QString picture = QDir(QCoreApplication::applicationDirPath())
                                .filePath(QStringLiteral("window-at-scale-%1.png").arg(w.devicePixelRatioF()));
    ASSERT_TRUE(w.grab().save(picture));
    std::cout << "window picture: " << picture.toStdString() << "\n";
    if (qEnvironmentVariableIsSet("QT_SCALE_FACTOR")) {
        EXPECT_DOUBLE_EQ(w.devicePixelRatioF(), qEnvironmentVariable("QT_SCALE_FACTOR").toDouble());
    }
}

TEST_F(WindowTest, keys_while_the_drop_down_is_open_never_switch_the_device)
{
    MainWindow& w = startShown();
    w.deviceList()->showPopup();
    QAbstractItemView* popup = w.deviceList()->view();
    ASSERT_TRUE(popup->isVisible());
    service.calls.clear();
    for (Qt::Key key : {Qt::Key_Down, Qt::Key_Down, Qt::Key_End, Qt::Key_Return, Qt::Key_Enter, Qt::Key_Space,
                        Qt::Key_S, Qt::Key_Escape}) {
        tap(popup, key);
    }
    EXPECT_EQ(w.deviceList()->currentIndex(), 0);
    EXPECT_TRUE(service.callsOf(ServiceCall::Kind::Open).empty());
    EXPECT_TRUE(service.callsOf(ServiceCall::Kind::Close).empty());
    // The keys acted on the selection as anywhere else in the window, and
    // Esc closed the drop-down.
    EXPECT_EQ(w.label(Control::ProgramValue)->text(), "127");
    EXPECT_FALSE(popup->isVisible());
}

// Opening the list lists the system's ports again through the rules; the
// open device stays selected.
TEST_F(WindowTest, opening_the_device_list_shows_the_ports_of_now)
{
    MainWindow& w = startShown();
    service.portsOnNextRescan = {"New Synth", "Synth A"};
    QTest::mouseClick(w.deviceList(), Qt::LeftButton);
    EXPECT_EQ(service.rescans, 1u);
    ASSERT_EQ(w.deviceList()->count(), 2);
    EXPECT_EQ(w.deviceList()->itemText(0), "New Synth");
    EXPECT_EQ(w.deviceList()->currentIndex(), 1);
    EXPECT_TRUE(service.calls.empty());
    w.deviceList()->hidePopup();
}

// A change the system reports while the drop-down is open waits until it has
// closed, so the entries never move under the pointer, and is not lost.
TEST_F(WindowTest, a_reported_change_waits_while_the_drop_down_is_open)
{
    MainWindow& w = startShown();
    w.deviceList()->showPopup();
    const unsigned rescans = service.rescans;
    service.portsOnNextRescan = {"New Synth", "Synth A"};
    ASSERT_TRUE(service.announceChange);
    service.announceChange();
    QTest::qWait(1000);
    EXPECT_EQ(service.rescans, rescans);
    w.deviceList()->hidePopup();
    EXPECT_TRUE(QTest::qWaitFor([&] { return service.rescans == rescans + 1; }, 10000));
    EXPECT_EQ(w.deviceList()->count(), 2);
    EXPECT_EQ(w.deviceList()->currentIndex(), 1);
}

// A change reported while a switch waits on its boxes is followed once the
// switch is over, never dropped.
TEST_F(WindowTest, a_change_reported_during_a_switch_is_followed_after_it)
{
    MainWindow& w = startShown();
    service.openResults[1] = std::deque<int>(6, midi::result::kAllocated);
    const unsigned rescans = service.rescans;
    bool reported = false;
    presenter.onShow = [&] {
        if (!std::exchange(reported, true)) {
            service.announceChange();
            QCoreApplication::processEvents();
        }
    };
    w.deviceList()->setCurrentIndex(1);
    w.rules().devicePicked();
    ASSERT_TRUE(reported);
    EXPECT_TRUE(QTest::qWaitFor([&] { return service.rescans == rescans + 1; }, 10000));
}

// The service outlives the window; a report it makes after the window is
// gone must reach nothing of the window.
TEST_F(WindowTest, a_window_takes_its_callback_back_before_it_goes)
{
    startShown();
    ASSERT_TRUE(service.announceChange);
    service.announceChange();
    form.reset();
    EXPECT_FALSE(service.announceChange);
    QCoreApplication::processEvents();
}

// The device in use leaves: its name stays in the list's field, greyed, with
// nothing selected, and goes when the device is back.
TEST_F(WindowTest, a_device_that_is_away_shows_greyed_until_it_is_back)
{
    MainWindow& w = startShown();
    service.portsOnNextRescan = {"Synth B", "Synth C"};
    w.rules().relistDevices();
    EXPECT_EQ(w.deviceList()->currentIndex(), -1);
    EXPECT_EQ(w.deviceList()->placeholderText(), "Synth A");
    service.portsOnNextRescan = {"Synth B", "Synth A"};
    w.rules().relistDevices();
    EXPECT_EQ(w.deviceList()->currentText(), "Synth A");
    EXPECT_EQ(w.deviceList()->placeholderText(), "");
}

// Hundreds of ports: the drop-down shows eight entries at a time and scrolls,
// in every style, including those whose drop-down is a menu.
TEST_F(WindowTest, the_drop_down_shows_eight_entries_at_a_time)
{
    service.devices.clear();
    for (int i = 0; i < 208; ++i) {
        service.devices.push_back("port " + std::to_string(i));
    }
    MainWindow& w = startShown();
    w.deviceList()->showPopup();
    QAbstractItemView* popup = w.deviceList()->view();
    ASSERT_TRUE(popup->isVisible());
    const int row = popup->sizeHintForRow(0);
    EXPECT_GE(popup->viewport()->height(), 8 * row - 1);
    EXPECT_LT(popup->viewport()->height(), 9 * row);
    w.deviceList()->hidePopup();
}

// Opens and inspects the box a presenter call shows, then dismisses it with
// `answer`; fails when no box was shown.
void inspectBox(const std::function<void()>& show, const std::function<void(QDialog&)>& inspect, Qt::Key answer)
{
    bool seen = false;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        seen = true;
        inspect(*box);
        QTest::keyClick(box, answer);
    });
    show();
    EXPECT_TRUE(seen);
}

TEST(message_box_test, message_box_has_no_icon_one_ok_and_room_for_its_title)
{
    const QString title = QStringLiteral("an-unusually-long-program-name-for-a-title-bar");
    window::DialogPresenter presenter(title);
    for (const Qt::Key answer : {Qt::Key_Return, Qt::Key_Escape}) {
        inspectBox([&] { presenter.showMessage("ERROR"); },
                   [&](QDialog& box) {
                       EXPECT_EQ(box.windowTitle(), title);
                       const auto labels = box.findChildren<QLabel*>();
                       ASSERT_EQ(labels.size(), 1);
                       EXPECT_EQ(labels[0]->text(), "ERROR");
                       EXPECT_TRUE(labels[0]->pixmap().isNull());
                       const auto buttons = box.findChildren<QPushButton*>();
                       ASSERT_EQ(buttons.size(), 1);
                       EXPECT_EQ(buttons[0]->text(), "OK");
                       EXPECT_GE(box.width(), box.fontMetrics().horizontalAdvance(title));
                   },
                   answer);
    }
}

// The text takes the width it needs up to half the screen's width, where it
// wraps, and the box sits in the middle of the screen.
TEST(message_box_test, message_text_wraps_at_half_the_screen_and_the_box_is_centred)
{
    window::DialogPresenter presenter(QStringLiteral("tavrelle"));
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    const std::string noDevice = "ＭＩＤＩ音源がないのでこのソフトは利用できません";
    std::string longText;
    for (int i = 0; i < 40; ++i) {
        longText += "a long message ";
    }
    for (const std::string& text : {noDevice, longText}) {
        inspectBox([&] { presenter.showMessage(text); },
                   [&](QDialog& box) {
                       const QLabel* label = box.findChild<QLabel*>();
                       ASSERT_NE(label, nullptr);
                       const QFontMetrics metrics = label->fontMetrics();
                       const int natural = metrics.horizontalAdvance(label->text());
                       EXPECT_LE(label->width(), screen.width() / 2);
                       if (natural <= screen.width() / 2) {
                           EXPECT_LT(label->height(), 2 * metrics.lineSpacing()) << "wrapped though it fits";
                       } else {
                           EXPECT_GE(label->width(), screen.width() / 2 - metrics.maxWidth());
                       }
                       EXPECT_LE((box.frameGeometry().center() - screen.center()).manhattanLength(), 2);
                   },
                   Qt::Key_Return);
    }
}

TEST(message_box_test, error_box_has_a_stop_icon_one_ok_and_ends_its_text_with_a_dot)
{
    window::DialogPresenter presenter(QStringLiteral("tavrelle"));
    inspectBox([&] { presenter.showError("ストリームへの書き込みエラー"); },
               [](QDialog& dialog) {
                   auto* box = qobject_cast<QMessageBox*>(&dialog);
                   ASSERT_NE(box, nullptr);
                   EXPECT_EQ(box->windowTitle(), "tavrelle");
                   EXPECT_EQ(box->text(), "ストリームへの書き込みエラー.");
                   EXPECT_EQ(box->icon(), QMessageBox::Critical);
                   ASSERT_EQ(box->buttons().size(), 1);
                   EXPECT_EQ(box->buttons()[0]->text().remove(u'&'), "OK");
               },
               Qt::Key_Escape);
}

TEST(platform_choice_test, a_wayland_session_with_x_runs_through_x_unless_the_user_names_a_platform)
{
    using window::preferredPlatform;
    EXPECT_EQ(preferredPlatform(nullptr, "wayland-0", nullptr, ":1"), "xcb;wayland");
    EXPECT_EQ(preferredPlatform("", nullptr, "wayland", ":1"), "xcb;wayland");
    EXPECT_EQ(preferredPlatform("wayland", "wayland-0", "wayland", ":1"), std::nullopt);
    EXPECT_EQ(preferredPlatform(nullptr, "wayland-0", "wayland", nullptr), std::nullopt);
    EXPECT_EQ(preferredPlatform(nullptr, "wayland-0", "wayland", ""), std::nullopt);
    EXPECT_EQ(preferredPlatform(nullptr, nullptr, "x11", ":0"), std::nullopt);
}

TEST(general_midi_test, names_follow_the_general_midi_1_program_list)
{
    EXPECT_EQ(window::generalMidiInstrument(1), "Acoustic Grand Piano");
    EXPECT_EQ(window::generalMidiInstrument(41), "Violin");
    EXPECT_EQ(window::generalMidiInstrument(57), "Trumpet");
    EXPECT_EQ(window::generalMidiInstrument(128), "Gunshot");
    EXPECT_EQ(window::generalMidiInstrument(0), "");
    EXPECT_EQ(window::generalMidiInstrument(129), "");
    EXPECT_EQ(window::generalMidiVoiceHint(41, 9), "Violin");
    EXPECT_EQ(window::generalMidiVoiceHint(41, 11), "Violin");
}

}  // namespace
}  // namespace tavrelle
