#include "settings/settings_file.h"
#include "settings/settings_location.h"
#include "settings/system_calls.h"
#include "settings/unix_paths.h"
#include "settings/windows/path_rules.h"
#include "support/scratch_files.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace tavrelle::settings {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::ScratchFolder;
using testing::writeFile;

const std::string kCannotOpen = "ファイル %s は開けません";
const std::string kCannotCreate = "ファイル %s を作成できません";
const std::string kWriteError = "ストリームへの書き込みエラー";

std::string message(std::string pattern, const std::string& path)
{
    return pattern.replace(pattern.find("%s"), 2, path);
}

std::string dataFile(const std::string& name)
{
    return readFile(fs::path(TAVRELLE_TEST_DATA_DIR "/settings") / name);
}

// Runs `action` and returns its result text, or the SettingsError's message.
std::string outcome(const std::function<std::string()>& action)
{
    try {
        return action();
    } catch (const SettingsError& error) {
        return error.what();
    }
}

std::string saveOutcome(const SettingsFile& file)
{
    return outcome([&] { file.save(); return std::string("saved"); });
}

std::string openOutcome(const std::string& path)
{
    return outcome([&] { SettingsFile::open(path); return std::string("opened"); });
}

// Runs `action` in a forked child, after `prepare`, and returns its outcome.
std::string inChild(const std::function<void()>& prepare, const std::function<std::string()>& action)
{
    int channel[2];
    if (::pipe(channel) != 0) {
        return "pipe failed";
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(channel[0]);
        prepare();
        const std::string result = outcome(action);
        const bool sent = ::write(channel[1], result.data(), result.size()) == static_cast<ssize_t>(result.size());
        ::_exit(sent ? 0 : 1);
    }
    ::close(channel[1]);
    std::string result;
    char buffer[256];
    for (ssize_t got; (got = ::read(channel[0], buffer, sizeof buffer)) > 0;) {
        result.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(channel[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? result : "child failed";
}

// Runs `action` as the user `name`, which only root can do.
std::string asUser(const char* name, const std::function<std::string()>& action)
{
    return inChild(
        [name] {
            const passwd* user = ::getpwnam(name);
            if (user == nullptr || ::setgroups(0, nullptr) != 0 || ::setgid(user->pw_gid) != 0 ||
                ::setuid(user->pw_uid) != 0) {
                ::_exit(2);
            }
        },
        action);
}

// Permissions bind only ordinary users, so as root the action runs as "nobody".
std::string asUnprivileged(const std::function<std::string()>& action)
{
    return ::geteuid() == 0 ? asUser("nobody", action) : outcome(action);
}

// The real calls, except one chosen call that fails with `error`. A failing
// Write first writes a few bytes, as a disk that fills up part-way does, and
// fails once. A folder that takes no new file refuses every file's creation.
class FaultyCalls : public SystemCalls {
public:
    FaultyCalls(std::string failing, int error) : failing_(std::move(failing)), error_(error) {}

    std::vector<std::string> calls;
    bool refuseNewFiles = false;

    int openat(int folder, const char* path, int flags, mode_t mode) override
    {
        if (refuseNewFiles && (flags & O_CREAT)) {
            errno = EACCES;
            return -1;
        }
        return fails("Open") && !(flags & O_DIRECTORY) ? -1 : SystemCalls::openat(folder, path, flags, mode);
    }
    ssize_t read(int fd, void* buffer, std::size_t size) override
    {
        return fails("Read") ? -1 : SystemCalls::read(fd, buffer, size);
    }
    ssize_t pwrite(int fd, const void* buffer, std::size_t size, off_t offset) override
    {
        calls.push_back("Write");
        if (failing_ == "Write" && written_ > 0) {
            failing_.clear();
            errno = error_;
            return -1;
        }
        written_ = SystemCalls::pwrite(fd, buffer, std::min<std::size_t>(size, 5), offset);
        return written_;
    }
    int fallocate(int fd, int mode, off_t offset, off_t length) override
    {
        return fails("Fallocate") ? -1 : SystemCalls::fallocate(fd, mode, offset, length);
    }
    int fsync(int fd) override
    {
        calls.push_back("Fsync");
        return fails("Fsync") ? -1 : SystemCalls::fsync(fd);
    }
    int renameat(int fromFolder, const char* from, int toFolder, const char* to) override
    {
        calls.push_back("Rename");
        return fails("Rename") ? -1 : SystemCalls::renameat(fromFolder, from, toFolder, to);
    }
    // A failing close still releases the descriptor, as close(2) does.
    int close(int fd) override
    {
        const int result = SystemCalls::close(fd);
        return fails("Close") ? -1 : result;
    }

private:
    bool fails(const std::string& call)
    {
        errno = error_;
        return call == failing_;
    }

    std::string failing_;
    int error_;
    ssize_t written_ = 0;
};

// The real file system, with the environment, the executable's path, the
// user's home in the password database and the access this user is refused
// (path to the access(2) mode bits) as a test sets them.
class LocationCalls : public SystemCalls {
public:
    std::map<std::string, std::string> environment;
    std::string executable;
    std::string passwordHome;
    std::map<std::string, int> refused;

    const char* getenv(const char* name) override
    {
        const auto found = environment.find(name);
        return found == environment.end() ? nullptr : found->second.c_str();
    }
    ssize_t readlinkat(int folder, const char* path, char* buffer, std::size_t size) override
    {
        if (std::strcmp(path, "/proc/self/exe") != 0) {
            return SystemCalls::readlinkat(folder, path, buffer, size);
        }
        if (executable.empty()) {
            errno = ENOENT;
            return -1;
        }
        const std::size_t length = std::min(size, executable.size());
        std::memcpy(buffer, executable.data(), length);
        return static_cast<ssize_t>(length);
    }
    uid_t user = 4242;

    uid_t geteuid() override { return user; }
    const passwd* getpwuid(uid_t user) override
    {
        entry_.pw_uid = user;
        entry_.pw_dir = passwordHome.data();
        return passwordHome.empty() ? nullptr : &entry_;
    }
    int faccessat(int folder, const char* path, int mode) override
    {
        const fs::path base = path[0] == '/' ? "/" : fs::read_symlink("/proc/self/fd/" + std::to_string(folder));
        const auto found = refused.find(std::strcmp(path, ".") == 0 ? base.string() : (base / path).string());
        if (found != refused.end() && (mode & found->second) != 0) {
            errno = EACCES;
            return -1;
        }
        return SystemCalls::faccessat(folder, path, mode);
    }

private:
    passwd entry_{};
};

// --- Loading, lookups and the saved layout ---------------------------------

TEST(settings_test, capitals_match_and_only_the_entry_takes_the_new_case)
{
    SettingsFile file = SettingsFile::fromBytes(dataFile("capitals.ini"));
    EXPECT_EQ(file.readInteger("window", "height", 125), 300);
    file.writeInteger("window", "Height", 480);
    EXPECT_EQ(file.toBytes(), dataFile("capitals.expected.ini"));
}

TEST(settings_test, loading_drops_comments_and_stray_lines_and_keeps_the_rest)
{
    SettingsFile file = SettingsFile::fromBytes(dataFile("layout.ini"));
    EXPECT_EQ(file.toBytes(), dataFile("layout.expected.ini"));
    EXPECT_EQ(file.readString("dev", "gakki", "none"), "Synth ; one");
    EXPECT_EQ(file.readString("dev", "map", "none"), "");
    EXPECT_EQ(file.readInteger("dev", "map", 4), 4);
    EXPECT_EQ(file.readString("dev", "after", ""), "header=with text");
    EXPECT_EQ(file.readString("dev", "bare line", "absent"), "absent");
    EXPECT_EQ(file.readString("early", "lost", "absent"), "absent");
    EXPECT_EQ(file.readInteger("window", "top", 0), 10);
}

TEST(settings_test, the_last_duplicate_is_read_and_updated_the_others_kept)
{
    SettingsFile file = SettingsFile::fromBytes(dataFile("duplicates.ini"));
    EXPECT_EQ(file.readInteger("DEV", "map", 4), 3);
    file.writeInteger("dev", "map", 0);
    EXPECT_EQ(file.toBytes(), dataFile("duplicates.expected.ini"));
}

TEST(settings_test, lf_cr_and_mixed_line_ends_load_alike)
{
    for (const char* name : {"line_ends_lf.ini", "line_ends_cr.ini", "line_ends_mixed.ini"}) {
        EXPECT_EQ(SettingsFile::fromBytes(dataFile(name)).toBytes(), dataFile("line_ends.expected.ini")) << name;
    }
}

TEST(settings_test, names_match_by_ascii_case_only)
{
    SettingsFile file = SettingsFile::fromBytes("[dev]\r\ndev_num=2\r\n[\xC3\xA9t\xC3\xA9]\r\nk=1\r\n");
    EXPECT_EQ(file.readInteger("Dev", "Dev_num", 0), 2);
    EXPECT_EQ(file.readInteger("\xC3\xA9T\xC3\xA9", "K", 0), 1);
    EXPECT_EQ(file.readInteger("\xC3\x89T\xC3\x89", "k", 0), 0);
    EXPECT_EQ(file.readInteger("dev ", "dev_num", 0), 0);
}

TEST(settings_test, writes_append_new_sections_as_named_and_keep_blanks)
{
    SettingsFile file = SettingsFile::fromBytes("[Dev]\r\ngakki=old\r\n");
    file.writeString("dev", "GAKKI", " Synth B ");
    file.writeString("New", "Name", "v");
    file.writeInteger("New", "neg", -2147483647 - 1);
    EXPECT_EQ(file.readString("dev", "gakki", ""), " Synth B ");
    EXPECT_EQ(file.toBytes(), "[Dev]\r\nGAKKI= Synth B \r\n\r\n[New]\r\nName=v\r\nneg=-2147483648\r\n\r\n");
    EXPECT_EQ(SettingsFile::fromBytes(file.toBytes()).readString("dev", "gakki", ""), "Synth B");
}

TEST(settings_test, many_rewrites_leave_every_line_intact)
{
    SettingsFile file = SettingsFile::fromBytes("[a]\r\nk = 0\r\nbare\r\n[b]\r\nx=1\r\n");
    std::string added;
    for (int round = 0; round < 3000; ++round) {
        file.writeInteger("a", "K", round);
        file.writeString("b", "x", std::string(static_cast<std::size_t>(round % 40), 'v'));
        if (round % 1000 == 0) {
            const std::string section = "s" + std::to_string(round);
            file.writeInteger(section, "n", round);
            added += "[" + section + "]\r\nn=" + std::to_string(round) + "\r\n\r\n";
        }
    }
    EXPECT_EQ(file.toBytes(), "[a]\r\nK=2999\r\nbare\r\n\r\n[b]\r\nx=" + std::string(2999 % 40, 'v') + "\r\n\r\n" + added);
    EXPECT_EQ(file.readInteger("S2000", "N", 0), 2000);
}

TEST(settings_test, a_line_break_in_a_written_value_cannot_forge_entries)
{
    SettingsFile file = SettingsFile::fromBytes("");
    file.writeString("dev", "gakki", "evil\r\n[window]\nHeight=1");
    SettingsFile reloaded = SettingsFile::fromBytes(file.toBytes());
    EXPECT_EQ(reloaded.readString("dev", "gakki", ""), "evil  [window] Height=1");
    EXPECT_EQ(reloaded.readInteger("window", "height", 125), 125);
}

TEST(settings_test, a_nul_byte_is_an_ordinary_byte)
{
    const char raw[] = "[a]\r\nk=x\0y\r\n\r\n";
    const std::string bytes(raw, sizeof raw - 1);
    SettingsFile file = SettingsFile::fromBytes(bytes);
    EXPECT_EQ(file.readString("a", "k", ""), std::string("x\0y", 3));
    EXPECT_EQ(file.toBytes(), bytes);
}

TEST(settings_test, integer_reads_follow_the_strict_rules)
{
    const std::vector<std::pair<std::string, std::int32_t>> cases = {
        {"0x12C", 300}, {"0X12c", 300}, {"$12C", 300}, {"x12C", 300}, {"X12C", 300},
        {"+300", 300}, {"0300", 300}, {"   300", 300}, {"00000000000000000000300", 300},
        {"-2147483648", -2147483647 - 1}, {"2147483647", 2147483647},
        {"$FFFFFFFF", -1}, {"0x80000000", -2147483647 - 1}, {"$0000000000FFFFFFFF", -1},
        {"300 ", -7}, {"\t300", -7}, {"300px", -7}, {"2147483648", -7}, {"-2147483649", -7},
        {"-0x10", -7}, {"+$10", -7}, {"- 1", -7}, {"--1", -7}, {"+", -7}, {"", -7}, {" ", -7},
        {"$", -7}, {"0x", -7}, {"$100000000", -7}, {"$12G", -7}, {"FFFFFFFF", -7}, {"1e3", -7},
    };
    SettingsFile file = SettingsFile::fromBytes("");
    for (const auto& [text, expected] : cases) {
        file.writeString("s", "n", text);
        EXPECT_EQ(file.readInteger("s", "n", -7), expected) << '"' << text << '"';
    }
    EXPECT_EQ(file.readInteger("s", "missing", -7), -7);
    EXPECT_EQ(file.readInteger("missing", "n", -7), -7);
}

TEST(settings_test, settings_path_replaces_only_the_file_names_extension)
{
    EXPECT_EQ(settingsPathForExecutable("/opt/tool.exe"), "/opt/tool.ini");
    EXPECT_EQ(settingsPathForExecutable("/opt/x.y/tool"), "/opt/x.y/tool.ini");
    EXPECT_EQ(settingsPathForExecutable("/opt/tool.old.exe"), "/opt/tool.old.ini");
    EXPECT_EQ(settingsPathForExecutable("/opt/tool."), "/opt/tool.ini");
    EXPECT_EQ(settingsPathForExecutable("tool"), "tool.ini");
}

// The Windows build's rules: "\\" and a drive ":" are separators too, and a
// UNC path takes its own long-path prefix.
TEST(settings_test, windows_paths_follow_their_own_separators_and_prefixes)
{
    EXPECT_EQ(iniPathForExecutable("C:\\Apps\\tool.old.exe"), "C:\\Apps\\tool.old.ini");
    EXPECT_EQ(iniPathForExecutable("C:\\Apps\\x.y\\tool"), "C:\\Apps\\x.y\\tool.ini");
    EXPECT_EQ(iniPathForExecutable("C:\\Apps\\tool."), "C:\\Apps\\tool.ini");
    EXPECT_EQ(iniPathForExecutable("x.y:tool"), "x.y:tool.ini");
    EXPECT_EQ(iniPathForExecutable("tool"), "tool.ini");
    EXPECT_EQ(extendedLengthPath("C:/Apps\\t.ini"), "\\\\?\\C:\\Apps\\t.ini");
    EXPECT_EQ(extendedLengthPath("\\\\server/share\\t.ini"), "\\\\?\\UNC\\server\\share\\t.ini");
    EXPECT_EQ(extendedLengthPath("\\\\?\\C:\\t.ini"), "\\\\?\\C:\\t.ini");
    EXPECT_EQ(extendedLengthPath("Apps/t.ini"), "Apps/t.ini");
    EXPECT_FALSE(isAbsoluteWindowsPath("C:t.ini"));
    EXPECT_FALSE(isAbsoluteWindowsPath("\\t.ini"));
}

TEST(settings_test, settings_live_beside_a_copy_that_is_not_installed_and_may_save_there)
{
    ScratchFolder dir;
    for (const char* folder : {"bin", "build", "home", "xdg", "b\xff\xfe"}) {
        fs::create_directory(dir / folder);
    }
    const std::string bin = (dir / "bin").string();
    const std::string build = (dir / "build").string();
    const std::string perUser = (dir / "home/.config/tavrelle/tavrelle.ini").string();
    LocationCalls calls;
    ScopedSystemCalls scope(calls);
    calls.environment = {{"HOME", (dir / "home").string()}, {"XDG_CONFIG_HOME", "relative/xdg"}};
    const auto locate = [&](const std::string& executable) {
        calls.executable = executable;
        const SettingsLocation location = locateSettings(bin);
        return std::make_pair(location.readPath, location.savePath);
    };
    const auto both = [](const std::string& path) { return std::make_pair(path, path); };

    EXPECT_EQ(locate(build + "/tavrelle"), both(build + "/tavrelle.ini"));
    EXPECT_EQ(locate(build + "/tavrelle (deleted)"), both(build + "/tavrelle.ini"));
    EXPECT_EQ(locate((dir / "b\xff\xfe/tavrelle").string()), both((dir / "b\xff\xfe/tavrelle.ini").string()));
    // No executable path never means ".ini" in the current folder.
    EXPECT_EQ(locate(""), both(perUser));
    EXPECT_EQ(locate("tavrelle"), both(perUser));

    // A folder that takes no new file, or a file this user may not write.
    calls.refused = {{build, W_OK}};
    EXPECT_EQ(locate(build + "/tavrelle"), both(perUser));
    EXPECT_TRUE(fs::is_directory(dir / "home/.config/tavrelle"));
    calls.refused = {{build + "/tavrelle.ini", W_OK}};
    writeFile(build + "/tavrelle.ini", "[dev]\r\n");
    EXPECT_EQ(locate(build + "/tavrelle"), std::make_pair(build + "/tavrelle.ini", perUser));
    writeFile(perUser, "");
    EXPECT_EQ(locate(build + "/tavrelle"), both(perUser));
}

TEST(settings_test, an_installed_copy_keeps_its_settings_per_user)
{
    ScratchFolder dir;
    fs::create_directories(dir / "usr/bin");
    const std::string bin = (dir / "usr/bin").string();
    writeFile(bin + "/tavrelle.ini", "[dev]\r\nmap=3\r\n");
    LocationCalls calls;
    ScopedSystemCalls scope(calls);
    calls.executable = bin + "/tavrelle";
    const auto locate = [&] {
        const SettingsLocation location = locateSettings(bin);
        return std::make_pair(location.readPath, location.savePath);
    };

    // An administrator's file beside the program gives the first values only.
    calls.environment = {{"XDG_CONFIG_HOME", (dir / "xdg").string()}, {"HOME", "/nonexistent"}};
    const std::string xdgFile = (dir / "xdg/tavrelle/tavrelle.ini").string();
    EXPECT_EQ(locate(), std::make_pair(bin + "/tavrelle.ini", xdgFile));
    calls.refused = {{bin + "/tavrelle.ini", R_OK}};
    EXPECT_EQ(locate(), std::make_pair(xdgFile, xdgFile));
    calls.refused.clear();
    writeFile(xdgFile, "");
    EXPECT_EQ(locate(), std::make_pair(xdgFile, xdgFile));

    // Without HOME the password database gives the home; without either the
    // path that was tried is named by the failed save, and nothing is written.
    calls.environment.clear();
    calls.passwordHome = (dir / "pw").string();
    EXPECT_EQ(locate().second, (dir / "pw/.config/tavrelle/tavrelle.ini").string());
    calls.passwordHome.clear();
    const SettingsLocation homeless = locateSettings(bin);
    EXPECT_EQ(homeless.readPath, bin + "/tavrelle.ini");
    EXPECT_EQ(homeless.savePath, "~/.config/tavrelle/tavrelle.ini");
    SettingsFile file = SettingsFile::open(homeless.readPath, homeless.savePath);
    EXPECT_EQ(file.readInteger("dev", "map", 4), 3);
    EXPECT_EQ(saveOutcome(file), message(kCannotCreate, "~/.config/tavrelle/tavrelle.ini"));
    EXPECT_EQ(readFile(bin + "/tavrelle.ini"), "[dev]\r\nmap=3\r\n");
}

// --- Opening -----------------------------------------------------------------

TEST(settings_test, open_treats_a_missing_file_or_a_directory_as_empty)
{
    ScratchFolder dir;
    fs::create_directory(dir / "folder.ini");
    EXPECT_EQ(SettingsFile::open((dir / "missing.ini").string()).toBytes(), "");
    EXPECT_EQ(SettingsFile::open((dir / "folder.ini").string()).toBytes(), "");
    EXPECT_EQ(SettingsFile::open((dir / "missing/x.ini").string()).path(), (dir / "missing/x.ini").string());
}

// Lookups are linear, so a huge file must still load, update and save as the
// small pieces it is made of do.
TEST(settings_test, a_ten_mebibyte_garbage_file_loads_and_saves_like_its_pieces)
{
    using namespace std::string_literals;
    const std::string piece = "; c\r\n[Sec]\n k = v \r x\0y\r\n[dev] tail\r\nmap=1\n\n  bare  \r\n[]\r\n=\r\n"
                              "[DEV]\r\ngakki=A\r\n"s;
    std::string garbage;
    while (garbage.size() < (10u << 20)) {
        garbage += piece;
    }
    ScratchFolder dir;
    const std::string path = (dir / "t.ini").string();
    writeFile(path, garbage);

    SettingsFile file = SettingsFile::open(path);
    SettingsFile small = SettingsFile::fromBytes(piece);
    const std::string unchanged = small.toBytes();
    for (SettingsFile* copy : {&file, &small}) {
        EXPECT_EQ(copy->readString("dev", "gakki", "none"), "A");
        copy->writeString("dev", "gakki", "B");
        copy->writeInteger("window", "Height", 125);
    }
    ASSERT_EQ(saveOutcome(file), "saved");
    std::string expected;
    for (std::size_t i = 1; i < garbage.size() / piece.size(); ++i) {
        expected += unchanged;
    }
    expected += small.toBytes();
    EXPECT_TRUE(readFile(path) == expected) << "the saved file differs from its pieces";
}

// The resident set in KiB: "VmRSS" now, "VmHWM" its peak since the last
// reset of the peak (written 5 to /proc/self/clear_refs).
long residentKib(const char* field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with(field)) {
            return std::stol(line.substr(std::strlen(field) + 1));
        }
    }
    return -1;
}

TEST(settings_test, a_huge_file_loads_within_a_small_multiple_of_its_size)
{
    std::string huge;
    for (int i = 0; i < (4 << 20) / 10; ++i) {
        huge += "[window]\r\n";
    }
    ASSERT_TRUE(std::ofstream("/proc/self/clear_refs") << "5") << "the peak cannot be reset here";
    const long before = residentKib("VmRSS:");
    SettingsFile file = SettingsFile::fromBytes(huge);
    const long peak = residentKib("VmHWM:");
    EXPECT_EQ(file.readInteger("window", "height", 125), 125);
    EXPECT_LT(peak - before, 3 * static_cast<long>(huge.size() >> 10));
}

TEST(settings_test, a_copy_read_from_one_file_saves_to_another)
{
    ScratchFolder dir;
    const std::string admin = (dir / "admin.ini").string();
    const std::string user = (dir / "user.ini").string();
    writeFile(admin, "[dev]\r\nmap=3\r\n");
    SettingsFile file = SettingsFile::open(admin, user);
    EXPECT_EQ(file.readInteger("dev", "map", 4), 3);
    ASSERT_EQ(saveOutcome(file), "saved");
    EXPECT_EQ(readFile(admin), "[dev]\r\nmap=3\r\n");
    EXPECT_EQ(readFile(user), "[dev]\r\nmap=3\r\n\r\n");

    // Each failure names the file the user would have to mend.
    FaultyCalls faulty("Read", EIO);
    {
        ScopedSystemCalls scope(faulty);
        EXPECT_EQ(outcome([&] { SettingsFile::open(admin, user); return std::string("opened"); }),
                  message(kCannotOpen, admin));
    }
    fs::remove(user);
    fs::create_directory(user);
    EXPECT_EQ(saveOutcome(file), message(kCannotCreate, user));
}

// Each way a file cannot be read names it; a folder that may not be searched
// hides whether a file is there at all; a shared lock does not stop a read.
TEST(settings_test, open_fails_and_names_the_file_it_could_not_read)
{
    ScratchFolder dir;
    const std::string path = (dir / "t.ini").string();
    writeFile(path, "[a]\r\n");
    const std::string cannotOpen = message(kCannotOpen, path);
    fs::permissions(path, fs::perms::owner_write);
    EXPECT_EQ(asUnprivileged([&] { return openOutcome(path); }), cannotOpen) << "a file that may not be read";
    fs::permissions(path, fs::perms(0644));
    fs::permissions(dir.path(), fs::perms::none);
    EXPECT_EQ(asUnprivileged([&] { return openOutcome(path); }), cannotOpen) << "a folder that may not be searched";
    fs::permissions(dir.path(), fs::perms(0755));
    for (const char* call : {"Open", "Read"}) {
        FaultyCalls faulty(call, EIO);
        ScopedSystemCalls scope(faulty);
        EXPECT_EQ(openOutcome(path), cannotOpen) << call;
    }
    const int holder = ::open(path.c_str(), O_RDWR);
    ASSERT_EQ(::flock(holder, LOCK_EX), 0);
    EXPECT_EQ(openOutcome(path), cannotOpen) << "an exclusive lock";
    ::flock(holder, LOCK_SH);
    EXPECT_EQ(openOutcome(path), "opened");
    ::close(holder);
}

// --- Saving ------------------------------------------------------------------

TEST(settings_test, save_replaces_the_file_and_keeps_its_mode_and_symlink)
{
    ScratchFolder dir;
    fs::create_directory(dir / "real");
    writeFile(dir / "real/t.ini", "[old]\r\n");
    fs::permissions(dir / "real/t.ini", fs::perms(0640));
    fs::create_symlink("real/t.ini", dir / "link.ini");

    SettingsFile file = SettingsFile::open((dir / "link.ini").string());
    file.writeInteger("new", "k", 1);
    ASSERT_EQ(saveOutcome(file), "saved");
    EXPECT_TRUE(fs::is_symlink(dir / "link.ini"));
    EXPECT_EQ(readFile(dir / "real/t.ini"), "[old]\r\n\r\n[new]\r\nk=1\r\n\r\n");
    EXPECT_EQ(fs::status(dir / "real/t.ini").permissions(), fs::perms(0640));
    EXPECT_EQ(dir.names(), std::vector<std::string>({"link.ini", "real"}));
    EXPECT_EQ(fs::directory_iterator(dir / "real")->path().filename(), "t.ini");
}

TEST(settings_test, save_removes_temporaries_of_killed_saves_but_not_of_live_ones)
{
    ScratchFolder dir;
    // A process that has ended: its pid is free until something reuses it.
    const pid_t child = ::fork();
    if (child == 0) {
        ::_exit(0);
    }
    ASSERT_GT(child, 0);
    ASSERT_EQ(::waitpid(child, nullptr, 0), child);
    const std::string abandoned = ".t.ini." + std::to_string(child) + "-0.tmp";
    const std::string live = ".t.ini.1-0.tmp";  // init never ends
    const std::string foreign = ".t.ini.notes.tmp";
    for (const auto& name : {abandoned, live, foreign}) {
        writeFile(dir / name, "partial");
    }

    SettingsFile file = SettingsFile::fromBytes("", (dir / "t.ini").string());
    file.writeInteger("s", "k", 1);
    ASSERT_EQ(saveOutcome(file), "saved");
    EXPECT_EQ(dir.names(), std::vector<std::string>({live, foreign, "t.ini"}));
}

TEST(settings_test, save_by_root_keeps_the_files_owner)
{
    if (::geteuid() != 0) {
        GTEST_SKIP() << "only root can save a file that belongs to someone else";
    }
    ScratchFolder dir;
    const std::string path = (dir / "t.ini").string();
    writeFile(path, "[a]\r\n");
    const passwd* nobody = ::getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    ASSERT_EQ(::chown(path.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    ASSERT_EQ(saveOutcome(SettingsFile::fromBytes("[b]\r\n", path)), "saved");
    struct stat status {};
    ASSERT_EQ(::stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_uid, nobody->pw_uid);
    EXPECT_EQ(readFile(path), "[b]\r\n\r\n");
}

TEST(settings_test, save_syncs_the_data_before_the_rename_and_the_folder_after)
{
    ScratchFolder dir;
    FaultyCalls recorder("", 0);
    ScopedSystemCalls scope(recorder);
    SettingsFile file = SettingsFile::fromBytes("[a]\r\nk=v\r\n", (dir / "t.ini").string());
    ASSERT_EQ(saveOutcome(file), "saved");
    const std::vector<std::string> sequence(std::find(recorder.calls.begin(), recorder.calls.end(), "Fsync"),
                                            recorder.calls.end());
    EXPECT_EQ(sequence, std::vector<std::string>({"Fsync", "Rename", "Fsync"}));
    EXPECT_EQ(readFile(dir / "t.ini"), "[a]\r\nk=v\r\n\r\n");
}

TEST(settings_test, save_of_an_empty_copy_writes_an_empty_file)
{
    ScratchFolder dir;
    writeFile(dir / "t.ini", "[a]\r\n");
    SettingsFile file = SettingsFile::fromBytes("", (dir / "t.ini").string());
    ASSERT_EQ(saveOutcome(file), "saved");
    EXPECT_EQ(readFile(dir / "t.ini"), "");
}

// Each failing save must leave the old file as it was and no temporary file.
class FailedSave : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::permissions(dir_.path(), fs::perms::all);
        writeFile(path_, kOld);
        file_.writeString("a", "k", "new");
    }
    void expectUntouched()
    {
        EXPECT_EQ(readFile(path_), kOld);
        EXPECT_EQ(dir_.names(), std::vector<std::string>({"t.ini"}));
    }

    static constexpr const char* kOld = "[old]\r\nx=1\r\n\r\n";
    ScratchFolder dir_;
    std::string path_ = (dir_ / "t.ini").string();
    SettingsFile file_ = SettingsFile::fromBytes("", path_);
};

// Permissions that refuse the new file: a read-only file (even to root), a
// folder that may not be searched, and as root another user's file. The copy
// stays in memory, so a later save succeeds once allowed.
TEST_F(FailedSave, permissions_that_refuse_the_file_leave_the_old_one)
{
    const std::string cannotCreate = message(kCannotCreate, path_);
    fs::permissions(path_, fs::perms(0444));
    EXPECT_EQ(saveOutcome(file_), cannotCreate) << "a read-only file";
    expectUntouched();
    fs::permissions(path_, fs::perms::all);
    fs::permissions(dir_.path(), fs::perms::none);
    EXPECT_EQ(asUnprivileged([&] { return saveOutcome(file_); }), cannotCreate) << "a folder without search permission";
    fs::permissions(dir_.path(), fs::perms::all);
    expectUntouched();
    fs::permissions(path_, fs::perms(0644));
    if (::geteuid() == 0) {
        EXPECT_EQ(asUnprivileged([&] { return saveOutcome(file_); }), cannotCreate) << "another user's file";
        expectUntouched();
    }

    EXPECT_EQ(saveOutcome(file_), "saved");
    EXPECT_EQ(readFile(path_), "[a]\r\nk=new\r\n\r\n");
}

TEST(settings_test, a_writable_file_in_a_folder_that_takes_no_new_file_is_rewritten_in_place)
{
    ScratchFolder dir;
    const std::string path = (dir / "t.ini").string();
    writeFile(path, "[old]\r\nx=1\r\n\r\n");
    fs::permissions(path, fs::perms(0666));
    fs::permissions(dir.path(), fs::perms(0555));
    const auto inode = [&] {
        struct stat status {};
        ::stat(path.c_str(), &status);
        return status.st_ino;
    };
    const ino_t before = inode();
    // A shorter text: the old tail must not stay behind to load as entries.
    EXPECT_EQ(asUnprivileged([&] { return saveOutcome(SettingsFile::fromBytes("[a]\r\n", path)); }), "saved");
    EXPECT_EQ(readFile(path), "[a]\r\n\r\n");
    EXPECT_EQ(inode(), before);
    EXPECT_EQ(dir.names(), std::vector<std::string>({"t.ini"}));
}

// In place, the old text is all there is: a full disk, a size limit or a
// failing disk must not cut it, and a file system that cannot set the space
// aside first is not rewritten at all.
TEST_F(FailedSave, a_file_rewritten_in_place_stays_whole_when_a_call_fails)
{
    const std::vector<std::tuple<std::string, int, std::string>> cases = {
        {"Fallocate", ENOSPC, kWriteError}, {"Fallocate", EOPNOTSUPP, message(kCannotCreate, path_)},
        {"Write", ENOSPC, kWriteError}, {"Write", EFBIG, kWriteError}, {"Fsync", EIO, kWriteError},
        {"Read", EIO, message(kCannotCreate, path_)},
    };
    for (const auto& [call, error, message] : cases) {
        FaultyCalls faulty(call, error);
        faulty.refuseNewFiles = true;
        ScopedSystemCalls scope(faulty);
        EXPECT_EQ(saveOutcome(file_), message) << call;
        expectUntouched();
    }
}

// A real disk that is full: a tmpfs of four pages in a mount namespace of the
// test's own, holding a 4,000-byte file whose new text needs a second page.
TEST(settings_test, a_full_disk_leaves_a_file_rewritten_in_place_whole)
{
    ScratchFolder dir;
    const fs::path disk = dir / "disk";
    fs::create_directory(disk);
    const std::string path = (disk / "t.ini").string();
    std::string old = "[window]\r\nHeight=125\r\n\r\n[dev]\r\ngakki=";
    old += std::string(4000 - old.size() - 4, 'x') + "\r\n\r\n";
    SettingsFile longer = SettingsFile::fromBytes(old, path);
    longer.writeString("dev", "gakki", std::string(4100, 'y'));

    const std::string result = inChild(
        [&] {
            const uid_t user = ::geteuid();
            const gid_t group = ::getegid();
            if (::unshare(CLONE_NEWNS | (user == 0 ? 0 : CLONE_NEWUSER)) != 0) {
                ::_exit(3);
            }
            if (user != 0) {
                std::ofstream("/proc/self/setgroups") << "deny";
                std::ofstream("/proc/self/uid_map") << "0 " << user << " 1";
                std::ofstream("/proc/self/gid_map") << "0 " << group << " 1";
            }
            if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                ::mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=16k") != 0) {
                ::_exit(3);
            }
        },
        [&] {
            writeFile(path, old);
            std::ofstream filler(disk / "filler", std::ios::binary);
            for (int i = 0; i < 4 * 4096 && filler.put('f'); ++i) {
                filler.flush();
            }
            filler.close();
            FaultyCalls folderTakesNoNewFile("", 0);
            folderTakesNoNewFile.refuseNewFiles = true;
            ScopedSystemCalls scope(folderTakesNoNewFile);
            const std::string full = saveOutcome(longer);
            const bool whole = readFile(path) == old;
            fs::remove(disk / "filler");
            const std::string roomy = saveOutcome(longer);
            return full + (whole ? " whole, " : " cut, ") + roomy + (readFile(path) == longer.toBytes() ? " new" : " old");
        });
    if (result == "child failed") {
        GTEST_SKIP() << "no mount namespace of its own for this user";
    }
    EXPECT_EQ(result, kWriteError + " whole, saved new");
}

// Replacing what a link points to would put a file in place of a device node,
// a pipe or a folder.
TEST(settings_test, a_link_is_followed_only_to_a_regular_file)
{
    ScratchFolder dir;
    fs::create_directory(dir / "folder");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0666), 0);
    std::vector<std::string> nodes = {"folder", "fifo"};
    struct stat null {};
    ASSERT_EQ(::stat("/dev/null", &null), 0);
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::mknod((dir / "device").c_str(), S_IFCHR | 0666, null.st_rdev), 0);
        nodes.push_back("device");
    }
    for (const std::string& node : nodes) {
        const std::string link = (dir / ("link-" + node)).string();
        fs::create_symlink(node, link);
        EXPECT_EQ(saveOutcome(SettingsFile::fromBytes("[a]\r\n", link)), message(kCannotCreate, link)) << node;
        struct stat status {};
        ASSERT_EQ(::lstat((dir / node).c_str(), &status), 0);
        EXPECT_FALSE(S_ISREG(status.st_mode)) << node;
        EXPECT_TRUE(fs::is_symlink(link)) << node;
    }
    struct stat device {};
    EXPECT_TRUE(!root || (::lstat((dir / "device").c_str(), &device) == 0 && device.st_rdev == null.st_rdev));
    if (!root) {
        GTEST_SKIP() << "a link to a device node was not tried: only root can make one";
    }
}

// Another user who may write a shared sticky folder, such as /tmp, where root
// runs a copy of the tool: a link of theirs must not lead a save or a read
// to a file of root's, whatever the machine's protected_symlinks says.
class ForeignLink : public ::testing::Test {
protected:
    static constexpr const char* kPeer = "tavrelle-peer";

    void SetUp() override
    {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root, to be two users and own a link of another user's";
        }
        const char* add = "useradd --system --no-create-home --shell /usr/sbin/nologin tavrelle-peer >/dev/null 2>&1";
        if (::getpwnam(kPeer) == nullptr && std::system(add) != 0) {
            GTEST_SKIP() << "the second user tavrelle-peer could not be made with useradd";
        }
        peer_ = *::getpwnam(kPeer);
        fs::create_directory(shared_);
        fs::permissions(shared_, fs::perms(01777));
        writeFile(victim_, kVictim);
        // Where a refused save goes instead, never the real user's own file.
        const char* configHome = std::getenv("XDG_CONFIG_HOME");
        savedConfigHome_ = configHome != nullptr ? std::optional<std::string>(configHome) : std::nullopt;
        ::setenv("XDG_CONFIG_HOME", (dir_ / "xdg").c_str(), 1);
        calls_.environment = {{"XDG_CONFIG_HOME", (dir_ / "xdg").string()}};
        calls_.user = 0;
    }
    void TearDown() override
    {
        if (savedConfigHome_) {
            ::setenv("XDG_CONFIG_HOME", savedConfigHome_->c_str(), 1);
        } else {
            ::unsetenv("XDG_CONFIG_HOME");
        }
    }

public:
    // The peer makes `name` in the shared folder a link to the victim.
    void peerLinks(const std::string& name)
    {
        const std::string link = (shared_ / name).string();
        ASSERT_EQ(asUser(kPeer, [&] { fs::remove(link); fs::create_symlink(victim_, link); return std::string("ok"); }),
                  "ok");
    }

protected:
    static constexpr const char* kVictim = "root's own\n";
    ScratchFolder dir_;
    fs::path shared_ = dir_ / "shared";
    std::string victim_ = (dir_ / "victim.rc").string();
    std::string perUser_ = (dir_ / "xdg/tavrelle/tavrelle.ini").string();
    passwd peer_{};
    LocationCalls calls_;
    std::optional<std::string> savedConfigHome_;
};

TEST_F(ForeignLink, is_followed_by_neither_the_save_nor_the_read_and_the_save_goes_per_user)
{
    ScopedSystemCalls scope(calls_);
    peerLinks("tavrelle.ini");
    const std::string link = (shared_ / "tavrelle.ini").string();
    SettingsFile file = SettingsFile::fromBytes("[a]\r\nplanted=1\r\n", link);
    EXPECT_EQ(saveOutcome(file), "saved");
    EXPECT_EQ(readFile(victim_), kVictim);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(readFile(perUser_), file.toBytes());
    EXPECT_EQ(openOutcome(link), message(kCannotOpen, link));

    // A link already there at start-up sends the settings per user at once.
    calls_.executable = (shared_ / "tavrelle").string();
    const SettingsLocation location = locateSettings("/nonexistent");
    EXPECT_EQ(std::make_pair(location.readPath, location.savePath), std::make_pair(perUser_, perUser_));
}

// The rule's other side: links of this user's or the folder owner's, and any
// link in a folder without the sticky bit, lead where they point.
TEST_F(ForeignLink, only_a_link_of_another_user_in_a_shared_sticky_folder_is_refused)
{
    const std::string link = (shared_ / "t.ini").string();
    const auto savedThroughLink = [&] {
        const std::string outcome = saveOutcome(SettingsFile::fromBytes("[b]\r\n", link));
        const bool reached = readFile(victim_) == "[b]\r\n\r\n";
        writeFile(victim_, kVictim);
        return outcome + (reached ? " through the link" : " elsewhere");
    };
    fs::create_symlink(victim_, link);
    EXPECT_EQ(savedThroughLink(), "saved through the link") << "this user's link";
    fs::remove(link);
    peerLinks("t.ini");
    fs::permissions(shared_, fs::perms(0777));
    EXPECT_EQ(savedThroughLink(), "saved through the link") << "no sticky bit";
    fs::permissions(shared_, fs::perms(01777));
    ASSERT_EQ(::chown(shared_.c_str(), peer_.pw_uid, peer_.pw_gid), 0);
    EXPECT_EQ(savedThroughLink(), "saved through the link") << "the folder owner's link";
}

// The peer swaps the file for a link after the save has looked at it, when
// the folder takes no new file and the file is rewritten in place: that
// write must not follow the new link.
TEST_F(ForeignLink, a_file_swapped_for_a_link_after_the_check_is_not_written_through)
{
    const std::string path = (shared_ / "t.ini").string();
    const auto peerWrites = [&] {
        writeFile(path, "[old]\r\n");
        fs::permissions(path, fs::perms(0666));
        return std::string("ok");
    };
    ASSERT_EQ(asUser(kPeer, peerWrites), "ok");
    struct SwapOnCreate : FaultyCalls {
        SwapOnCreate(ForeignLink& test) : FaultyCalls("", 0), test_(test) {}
        int openat(int folder, const char* name, int flags, mode_t mode) override
        {
            if ((flags & O_CREAT) != 0) {
                test_.peerLinks("t.ini");
                errno = EACCES;
                return -1;
            }
            return FaultyCalls::openat(folder, name, flags, mode);
        }
        ForeignLink& test_;
    } swapping(*this);
    ScopedSystemCalls scope(swapping);
    EXPECT_EQ(saveOutcome(SettingsFile::fromBytes("[planted]\r\n", path)), message(kCannotCreate, path));
    EXPECT_EQ(readFile(victim_), kVictim);
}

TEST_F(FailedSave, a_loop_of_symbolic_links_is_neither_read_nor_replaced)
{
    fs::create_symlink("loop-b", dir_ / "loop-a");
    fs::create_symlink("loop-a", dir_ / "loop-b");
    const std::string loop = (dir_ / "loop-a").string();
    EXPECT_EQ(openOutcome(loop), message(kCannotOpen, loop));
    EXPECT_EQ(saveOutcome(SettingsFile::fromBytes("[a]\r\n", loop)), message(kCannotCreate, loop));
    EXPECT_TRUE(fs::is_symlink(dir_ / "loop-a"));
    EXPECT_EQ(dir_.names(), std::vector<std::string>({"loop-a", "loop-b", "t.ini"}));
}

TEST_F(FailedSave, a_copy_without_an_absolute_path_is_not_saved)
{
    EXPECT_EQ(saveOutcome(SettingsFile::fromBytes("[a]\r\n")), message(kCannotCreate, ""));
    EXPECT_EQ(saveOutcome(SettingsFile::fromBytes("[a]\r\n", "t.ini")), message(kCannotCreate, "t.ini"));
}

TEST_F(FailedSave, a_directory_in_the_way_is_not_replaced)
{
    fs::remove(path_);
    fs::create_directory(path_);
    EXPECT_EQ(saveOutcome(file_), message(kCannotCreate, path_));
    EXPECT_TRUE(fs::is_directory(path_));
    EXPECT_EQ(dir_.names(), std::vector<std::string>({"t.ini"}));
}

// Another copy holds a shared lock briefly while it starts; the save outwaits
// that, but not a lock that stays.
TEST_F(FailedSave, a_file_locked_beyond_a_second_is_not_replaced)
{
    const int holder = ::open(path_.c_str(), O_RDONLY);
    ASSERT_EQ(::flock(holder, LOCK_SH), 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(saveOutcome(file_), message(kCannotCreate, path_));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(6));
    expectUntouched();

    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        ::close(holder);
    });
    EXPECT_EQ(saveOutcome(file_), "saved");
    release.join();
}

TEST_F(FailedSave, a_file_size_limit_stops_the_write_part_way)
{
    const std::string outcome = inChild(
        [] {
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{4, 4};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        },
        [&] { return saveOutcome(file_); });
    EXPECT_EQ(outcome, kWriteError);
    expectUntouched();
}

TEST_F(FailedSave, failing_calls_give_their_messages)
{
    const std::vector<std::tuple<std::string, int, std::string>> cases = {
        {"Write", ENOSPC, kWriteError}, {"Write", EFBIG, kWriteError}, {"Fsync", EIO, kWriteError},
        {"Close", EIO, kWriteError}, {"Rename", EACCES, message(kCannotCreate, path_)},
        {"Open", EROFS, message(kCannotCreate, path_)}, {"Open", EEXIST, message(kCannotCreate, path_)},
    };
    for (const auto& [call, error, message] : cases) {
        FaultyCalls faulty(call, error);
        ScopedSystemCalls scope(faulty);
        EXPECT_EQ(saveOutcome(file_), message) << call;
        expectUntouched();
    }
}

}  // namespace
}  // namespace tavrelle::settings
