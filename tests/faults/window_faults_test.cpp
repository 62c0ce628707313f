// The window against settings files that are garbage or not files at all,
// window bounds no screen can show, and saves that the disk refuses: it must
// start, stay usable, tell the user what went wrong and lose nothing.
#include "settings/settings_file.h"
#include "support/fake_midi_out_service.h"
#include "support/window_support.h"
#include "window/main_window.h"
#include "window/message_box.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <pwd.h>
#include <sys/fsuid.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace tavrelle {
namespace {

namespace fs = std::filesystem;
using testing::CapturingPresenter;
using testing::FakeEventPump;
using testing::readFile;
using testing::writeFile;
using testing::FakeMidiOutService;
using testing::ServiceCall;
using window::MainWindow;
using window::OuterBounds;

constexpr OuterBounds kFirstRunBounds{193, 159, 221, 125};

// Everything in `folder` but the settings file itself: temporary files a save
// left behind.
std::vector<std::string> strayFiles(const fs::path& folder, const std::string& settingsName)
{
    std::vector<std::string> stray;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().filename() != settingsName) {
            stray.push_back(entry.path().filename().string());
        }
    }
    return stray;
}

class WindowFaults : public ::testing::Test {
protected:
    QTemporaryDir folder;
    std::string settingsPath = (folder.path() + "/tavrelle.ini").toStdString();
    FakeMidiOutService service;
    CapturingPresenter presenter;
    FakeEventPump pump;
    std::unique_ptr<MainWindow> form;

    WindowFaults() { service.devices = {"Synth A", "Synth B"}; }

    MainWindow& start()
    {
        form = std::make_unique<MainWindow>(window::WindowServices{service, presenter, pump, settingsPath});
        return *form;
    }
    MainWindow& startShown()
    {
        start();
        return show();
    }
    MainWindow& show()
    {
        form->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(form.get()));
        return *form;
    }

    // The window answers: a key steps the program and its release sends.
    void expectUsable(MainWindow& w)
    {
        EXPECT_TRUE(w.isVisible());
        EXPECT_GT(w.width(), 0);
        EXPECT_GT(w.height(), 0);
        const QString before = w.programValue()->text();
        service.calls.clear();
        QTest::keyClick(&w, Qt::Key_Up);
        EXPECT_NE(w.programValue()->text(), before);
        EXPECT_EQ(service.callsOf(ServiceCall::Kind::Send).size(), 3u);
    }

    // What a save of `original` must give after the shut-down writes of the
    // closed window: everything the file held that the tool does not own
    // comes back unchanged.
    std::string expectedSave(const std::string& original, const MainWindow& w) const
    {
        auto copy = settings::SettingsFile::fromBytes(original, settingsPath);
        const OuterBounds b = w.outerBounds();
        copy.writeInteger("window", "Height", b.height);
        copy.writeInteger("window", "Width", b.width);
        copy.writeInteger("window", "Top", b.top);
        copy.writeInteger("window", "Left", b.left);
        // A saved device that is not listed keeps its entries.
        const std::string savedName = copy.readString("dev", "gakki", "none");
        if (savedName == "none" || savedName == w.deviceList()->currentText().toStdString()) {
            copy.writeInteger("dev", "dev_num", form->port().selectedDeviceId());
            copy.writeString("dev", "gakki", w.deviceList()->currentText().toStdString());
        }
        copy.writeInteger("dev", "map", 0);
        return copy.toBytes();
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

        MainWindow& w = startShown();
        EXPECT_TRUE(presenter.shown.empty());
        EXPECT_EQ(w.outerBounds(), kFirstRunBounds);
        EXPECT_EQ(w.deviceList()->currentIndex(), 0);
        ASSERT_FALSE(service.calls.empty());
        EXPECT_EQ(service.calls.front().kind, ServiceCall::Kind::Open);
        expectUsable(w);

        ASSERT_TRUE(w.close());
        const std::string saved = readFile(settingsPath);
        EXPECT_TRUE(saved == expectedSave(garbage.bytes, w)) << "the save lost or changed something";
        EXPECT_NE(saved.find(garbage.kept), std::string::npos);
        const std::string savedName = settings::SettingsFile::fromBytes(garbage.bytes).readString("dev", "gakki", "none");
        EXPECT_NE(saved.find("gakki=" + (savedName == "none" ? "Synth A" : savedName) + "\r\n"), std::string::npos);
        EXPECT_TRUE(strayFiles(folder.path().toStdString(), "tavrelle.ini").empty());
        form.reset();
    }
}

TEST_F(WindowFaults, things_at_the_settings_path_that_are_not_files)
{
    const std::string cannotCreate = "E:ファイル " + settingsPath + " を作成できません";
    {
        SCOPED_TRACE("a directory: defaults, and a close that cannot save is abandoned");
        fs::create_directory(settingsPath);
        writeFile(settingsPath + "/inside", "mine");
        MainWindow& w = startShown();
        EXPECT_TRUE(presenter.shown.empty());
        EXPECT_EQ(w.outerBounds(), kFirstRunBounds);
        EXPECT_FALSE(w.close());
        EXPECT_EQ(presenter.shown, std::vector<std::string>{cannotCreate});
        EXPECT_TRUE(w.isVisible());
        EXPECT_EQ(readFile(settingsPath + "/inside"), "mine");
        fs::remove_all(settingsPath);
        EXPECT_TRUE(w.close());
        EXPECT_TRUE(fs::is_regular_file(settingsPath));
        form.reset();
        presenter.shown.clear();
    }
    {
        SCOPED_TRACE("a FIFO nobody writes to: no wait at start-up, a settings file at close");
        fs::remove(settingsPath);
        ASSERT_EQ(::mkfifo(settingsPath.c_str(), 0644), 0);
        MainWindow& w = startShown();
        EXPECT_TRUE(presenter.shown.empty());
        EXPECT_EQ(w.outerBounds(), kFirstRunBounds);
        expectUsable(w);
        EXPECT_TRUE(w.close());
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(settingsPath)));
        EXPECT_EQ(readFile(settingsPath), expectedSave("", w));
        form.reset();
    }
    {
        SCOPED_TRACE("a symbolic link to nowhere: the save creates its target and keeps the link");
        fs::remove(settingsPath);
        const std::string target = folder.path().toStdString() + "/elsewhere.ini";
        fs::create_symlink("elsewhere.ini", settingsPath);
        MainWindow& w = startShown();
        EXPECT_TRUE(presenter.shown.empty());
        expectUsable(w);
        EXPECT_TRUE(w.close());
        EXPECT_TRUE(fs::is_symlink(settingsPath));
        EXPECT_EQ(readFile(target), expectedSave("", w));
        form.reset();
        fs::remove(target);
    }
    {
        SCOPED_TRACE("a loop of links: unreadable, so start-up stops and the close writes nothing");
        fs::remove(settingsPath);
        const std::string other = folder.path().toStdString() + "/other.ini";
        fs::create_symlink("other.ini", settingsPath);
        fs::create_symlink("tavrelle.ini", other);
        MainWindow& w = startShown();
        EXPECT_EQ(presenter.shown, std::vector<std::string>{"E:ファイル " + settingsPath + " は開けません"});
        EXPECT_EQ(w.deviceList()->count(), 0);
        EXPECT_TRUE(w.close());
        EXPECT_TRUE(fs::is_symlink(settingsPath));
        EXPECT_TRUE(fs::is_symlink(other));
        form.reset();
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

// Puts a smaller file size limit in force for this process, so that writes
// past it fail with EFBIG as on a full disk, and lifts it again.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        ::getrlimit(RLIMIT_FSIZE, &saved_);
        oldHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = saved_;
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, oldHandler_);
    }

private:
    rlimit saved_{};
    void (*oldHandler_)(int) = SIG_DFL;
};

// As root, file access checks as the unprivileged user "nobody" for this
// thread; as anyone else, nothing changes.
class UnprivilegedFileAccess {
public:
    UnprivilegedFileAccess()
    {
        if (::geteuid() == 0) {
            const passwd* nobody = ::getpwnam("nobody");
            if (nobody != nullptr) {
                ::setfsgid(nobody->pw_gid);
                ::setfsuid(nobody->pw_uid);
                active_ = true;
            }
        }
    }
    ~UnprivilegedFileAccess()
    {
        if (active_) {
            ::setfsuid(0);
            ::setfsgid(0);
        }
    }
    bool usable() const { return ::geteuid() != 0 || active_; }

private:
    bool active_ = false;
};

TEST_F(WindowFaults, a_refused_save_keeps_the_window_and_the_old_file_and_the_next_good_save_has_everything)
{
    const std::string original = "[window]\r\nHeight=130\r\nWidth=230\r\nTop=40\r\nLeft=50\r\n\r\n"
                                 "[dev]\r\ndev_num=1\r\ngakki=Synth B\r\nmap=0\r\n\r\n"
                                 "[other]\r\n" + std::string(4096, 'x') + "=1\r\n\r\n";
    const std::string cannotCreate = "E:ファイル " + settingsPath + " を作成できません";
    const std::string writeFailed = "E:ストリームへの書き込みエラー";
    const fs::path dir = folder.path().toStdString();

    struct Fault {
        const char* name;
        std::string message;
        std::function<void()> inject;
        std::function<void()> lift;
    };
    std::optional<UnprivilegedFileAccess> unprivileged;
    std::optional<FileSizeLimit> limit;
    const std::vector<Fault> faults = {
        {"read-only file", cannotCreate,
         [&] { fs::permissions(settingsPath, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                               fs::perm_options::remove); },
         [&] { fs::permissions(settingsPath, fs::perms::owner_write, fs::perm_options::add); }},
        {"folder without write permission", cannotCreate,
         [&] {
             fs::permissions(dir, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                             fs::perm_options::remove);
             fs::permissions(dir, fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
             unprivileged.emplace();
         },
         [&] {
             unprivileged.reset();
             fs::permissions(dir, fs::perms::owner_write, fs::perm_options::add);
         }},
        {"disk full part-way through the write", writeFailed, [&] { limit.emplace(1024); }, [&] { limit.reset(); }},
    };

    for (const Fault& fault : faults) {
        SCOPED_TRACE(fault.name);
        writeFile(settingsPath, original);
        presenter.shown.clear();
        MainWindow& w = startShown();
        EXPECT_EQ(w.deviceList()->currentIndex(), 1);
        w.setOuterBounds(OuterBounds{60, 70, 240, 140});

        fault.inject();
        ASSERT_TRUE(!unprivileged || unprivileged->usable()) << "root needs the user nobody for this check";
        EXPECT_FALSE(w.close());
        fault.lift();

        EXPECT_EQ(presenter.shown, std::vector<std::string>{fault.message});
        EXPECT_TRUE(w.isVisible());
        EXPECT_TRUE(readFile(settingsPath) == original) << "the old file changed";
        EXPECT_TRUE(strayFiles(dir, "tavrelle.ini").empty());

        // Once the cause is gone the next close saves everything.
        ASSERT_TRUE(w.close());
        const std::string saved = readFile(settingsPath);
        EXPECT_TRUE(saved == expectedSave(original, w));
        EXPECT_NE(saved.find("Height=140\r\nWidth=240\r\nTop=70\r\nLeft=60\r\n"), std::string::npos) << saved;
        EXPECT_TRUE(strayFiles(dir, "tavrelle.ini").empty());
        form.reset();
    }
}

}  // namespace
}  // namespace tavrelle
