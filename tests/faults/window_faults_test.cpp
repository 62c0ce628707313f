// The window against settings files that are garbage or not files at all,
// and window bounds no screen can show: it must start, stay usable and save
// what it owns. Saves the disk refuses are the settings file's and start-up's
// tests.
#include "settings/settings_file.h"
#include "support/window_fixture.h"

#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QScreen>
#include <QTest>

#include <sys/stat.h>

#include <climits>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace tavrelle {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::ServiceCall;
using testing::writeFile;
using window::MainWindow;
using window::OuterBounds;

constexpr OuterBounds kFirstRunBounds{193, 159, 221, 125};

class WindowFaults : public testing::WindowFixture {
protected:
    // The window answers: a key steps the program and its release sends.
    void expectUsable(MainWindow& w)
    {
        EXPECT_TRUE(w.isVisible());
        EXPECT_GT(w.width(), 0);
        EXPECT_GT(w.height(), 0);
        const QString before = w.label(window::Control::ProgramValue)->text();
        service.calls.clear();
        QTest::keyClick(&w, Qt::Key_Up);
        EXPECT_NE(w.label(window::Control::ProgramValue)->text(), before);
        EXPECT_EQ(service.callsOf(ServiceCall::Kind::Send).size(), 3u);
    }
};

struct GarbageFile {
    const char* name;
    std::string bytes;
    // Text that must be in the saved file as it was (CR LF line ends).
    std::string kept;
};

std::vector<GarbageFile> garbageFiles()
{
    std::vector<GarbageFile> files;

    std::mt19937 random(20240611);
    std::string noise(256 * 1024, '\0');
    for (char& byte : noise) {
        byte = static_cast<char>(random() & 0xFF);
    }
    files.push_back({"random bytes around a section of another program",
                     noise.substr(0, noise.size() / 2) + "\n[other]\nkeep=yes\n" + noise.substr(noise.size() / 2),
                     "[other]\r\nkeep=yes\r\n"});

    const std::string line(10 * 1024 * 1024, 'A');
    files.push_back({"10 MiB in one line before any section", line, ""});
    files.push_back({"10 MiB in one value", "[big]\nvalue=" + line, "[big]\r\nvalue=" + line + "\r\n\r\n"});

    using namespace std::string_literals;
    files.push_back({"NUL bytes", "\0\0[window]\0\r\nHeight=1\0"s "2\r\nWidth=\0\r\n[x\0y]\r\nk\0ey=va\0lue\r\n\0"s,
                     "[x\0y]\r\nk\0ey=va\0lue\r\n"s});

    files.push_back({"invalid UTF-8",
                     "[window]\r\nWidth=\xff\r\n[dev]\r\ngakki=\xc3\x28\r\n[\xe9t\xe9]\r\n\xff\xfe=\x80\xc0\r\n",
                     "[\xe9t\xe9]\r\n\xff\xfe=\x80\xc0\r\n"});
    return files;
}

TEST_F(WindowFaults, garbage_settings_start_on_defaults_and_survive_the_save)
{
    for (const GarbageFile& garbage : garbageFiles()) {
        SCOPED_TRACE(garbage.name);
        writeFile(settingsPath, garbage.bytes);
        presenter.shown.clear();
        service.calls.clear();

        MainWindow& w = start();
        EXPECT_TRUE(presenter.shown.empty());
        EXPECT_EQ(w.outerBounds(), kFirstRunBounds);
        EXPECT_EQ(w.deviceList()->currentIndex(), 0);
        ASSERT_FALSE(service.calls.empty());
        EXPECT_EQ(service.calls.front().kind, ServiceCall::Kind::Open);
        show();
        expectUsable(w);

        ASSERT_TRUE(w.close());
        // How the rest of the file is kept is the settings file's own test.
        const std::string saved = readFile(settingsPath);
        EXPECT_NE(saved.find(garbage.kept), std::string::npos);
        EXPECT_NE(saved.find("Height=125\r\n"), std::string::npos);
        EXPECT_NE(saved.find("Width=221\r\n"), std::string::npos);
        // A saved device that is not listed keeps its name.
        const std::string savedName = settings::SettingsFile::fromBytes(garbage.bytes).readString("dev", "gakki", "none");
        EXPECT_NE(saved.find("gakki=" + (savedName == "none" ? "Synth A" : savedName) + "\r\n"), std::string::npos);
        EXPECT_EQ(folder.names(), std::vector<std::string>{"tavrelle.ini"});
        form.reset();
    }
}

TEST_F(WindowFaults, things_at_the_settings_path_that_are_not_files)
{
    {
        SCOPED_TRACE("a FIFO nobody writes to: no wait at start-up, a settings file at close");
        ASSERT_EQ(::mkfifo(settingsPath.c_str(), 0644), 0);
        MainWindow& w = startShown();
        EXPECT_TRUE(presenter.shown.empty());
        EXPECT_EQ(w.outerBounds(), kFirstRunBounds);
        expectUsable(w);
        EXPECT_TRUE(w.close());
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(settingsPath)));
        EXPECT_EQ(readFile(settingsPath), testing::firstRunFile());
        form.reset();
    }
    {
        SCOPED_TRACE("a symbolic link to nowhere: the save creates its target and keeps the link");
        fs::remove(settingsPath);
        const std::string target = (folder / "elsewhere.ini").string();
        fs::create_symlink("elsewhere.ini", settingsPath);
        MainWindow& w = startShown();
        EXPECT_TRUE(presenter.shown.empty());
        expectUsable(w);
        EXPECT_TRUE(w.close());
        EXPECT_TRUE(fs::is_symlink(settingsPath));
        EXPECT_EQ(readFile(target), testing::firstRunFile());
        form.reset();
        fs::remove(target);
    }
}

// Sizes no window can have (0 or less) take the first-run size; sizes beyond
// the desktop shrink to it, so that the frame and its buttons can be reached;
// positions are kept as saved, also off the screen, within the range Qt can
// place a window at.
TEST_F(WindowFaults, absurd_saved_bounds_still_give_a_usable_window)
{
    const QSize desktop = QGuiApplication::primaryScreen()->availableVirtualGeometry().size();
    constexpr int kMaxPosition = QWIDGETSIZE_MAX;
    struct Case {
        int height, width, top, left;
        OuterBounds expected;
    };
    const std::vector<Case> cases = {
        {0, 0, 0, 0, OuterBounds{0, 0, 221, 125}},
        {-1, -300, -50, -80, OuterBounds{-80, -50, 221, 125}},
        {INT_MIN, INT_MIN, INT_MIN, INT_MIN, OuterBounds{-kMaxPosition, -kMaxPosition, 221, 125}},
        {INT_MAX, INT_MAX, 10, 20, OuterBounds{20, 10, desktop.width(), desktop.height()}},
        {INT_MAX, INT_MAX, INT_MAX, INT_MAX, OuterBounds{kMaxPosition, kMaxPosition, desktop.width(), desktop.height()}},
        {60, 40, 5000, -7000, OuterBounds{-7000, 5000, 40, 60}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "Height=" << c.height << " Width=" << c.width << " Top=" << c.top
                                          << " Left=" << c.left);
        writeFile(settingsPath, "[window]\r\nHeight=" + std::to_string(c.height) + "\r\nWidth=" +
                                    std::to_string(c.width) + "\r\nTop=" + std::to_string(c.top) + "\r\nLeft=" +
                                    std::to_string(c.left) + "\r\n\r\n[keep]\r\nthis=1\r\n\r\n");
        presenter.shown.clear();
        MainWindow& w = start();
        EXPECT_TRUE(presenter.shown.empty());
        // As asked of the window system, which may still move a window that
        // lies off its screens.
        EXPECT_EQ(w.outerBounds(), c.expected);
        show();
        expectUsable(w);
        const OuterBounds shown = w.outerBounds();
        ASSERT_TRUE(w.close());
        const std::string saved = readFile(settingsPath);
        EXPECT_NE(saved.find("Height=" + std::to_string(shown.height) + "\r\nWidth=" +
                             std::to_string(shown.width) + "\r\nTop=" + std::to_string(shown.top) +
                             "\r\nLeft=" + std::to_string(shown.left) + "\r\n"),
                  std::string::npos)
            << saved;
        EXPECT_NE(saved.find("[keep]\r\nthis=1\r\n"), std::string::npos);
        form.reset();
    }
}

}  // namespace
}  // namespace tavrelle
