#include "settings/settings_file.h"
#include "settings/system_calls.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace tavrelle::settings {
namespace {

namespace fs = std::filesystem;

const std::string kCannotOpen = "ファイル %s は開けません";
const std::string kCannotCreate = "ファイル %s を作成できません";
const std::string kWriteError = "ストリームへの書き込みエラー";

std::string Message(std::string pattern, const std::string& path)
{
    return pattern.replace(pattern.find("%s"), 2, path);
}

std::string ReadBytes(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const fs::path& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string DataFile(const std::string& name)
{
    return ReadBytes(fs::path(TAVRELLE_SETTINGS_DATA_DIR) / name);
}

// A fresh folder that the unprivileged user can enter, removed afterwards.
class TempDir {
public:
    TempDir()
    {
        std::string pattern = (fs::temp_directory_path() / "settings_test.XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
        fs::permissions(path_, fs::perms(0755));
    }
    ~TempDir()
    {
        std::error_code ignored;
        fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
        for (const auto& entry : fs::recursive_directory_iterator(path_, ignored)) {
            if (!entry.is_symlink(ignored) && entry.is_directory(ignored)) {
                fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
            }
        }
        fs::remove_all(path_, ignored);
    }
    fs::path operator/(const std::string& name) const { return path_ / name; }
    std::vector<std::string> Names() const
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(path_)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    fs::path path_;
};

// Runs `action` and returns its result text, or the SettingsError's message.
std::string Outcome(const std::function<std::string()>& action)
{
    try {
        return action();
    } catch (const SettingsError& error) {
        return error.what();
    }
}

std::string SaveOutcome(const SettingsFile& file)
{
    return Outcome([&] { file.save(); return std::string("saved"); });
}

std::string OpenOutcome(const std::string& path)
{
    return Outcome([&] { SettingsFile::open(path); return std::string("opened"); });
}

// Runs `action` in a forked child, after `prepare`, and returns its outcome.
std::string InChild(const std::function<void()>& prepare, const std::function<std::string()>& action)
{
    int channel[2];
    if (::pipe(channel) != 0) {
        return "pipe failed";
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(channel[0]);
        prepare();
        const std::string outcome = Outcome(action);
        const bool sent = ::write(channel[1], outcome.data(), outcome.size()) == static_cast<ssize_t>(outcome.size());
        ::_exit(sent ? 0 : 1);
    }
    ::close(channel[1]);
    std::string outcome;
    char buffer[256];
    for (ssize_t got; (got = ::read(channel[0], buffer, sizeof buffer)) > 0;) {
        outcome.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(channel[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? outcome : "child failed";
}

// Permissions bind only ordinary users, so as root the action runs as "nobody".
std::string AsUnprivileged(const std::function<std::string()>& action)
{
    if (::geteuid() != 0) {
        return Outcome(action);
    }
    return InChild(
        [] {
            const passwd* nobody = ::getpwnam("nobody");
            if (nobody == nullptr || ::setgroups(0, nullptr) != 0 || ::setgid(nobody->pw_gid) != 0 ||
                ::setuid(nobody->pw_uid) != 0) {
                ::_exit(2);
            }
        },
        action);
}

// The real calls, except one chosen call that fails with `error`. A failing
// Write first writes a few bytes, as a disk that fills up part-way does.
class FaultyCalls : public SystemCalls {
public:
    FaultyCalls(std::string failing, int error) : failing_(std::move(failing)), error_(error) {}

    std::vector<std::string> calls;

    int Open(const char* path, int flags, mode_t mode) override
    {
        calls.push_back((flags & O_DIRECTORY) ? "OpenFolder" : "Open");
        return Fails("Open") ? -1 : SystemCalls::Open(path, flags, mode);
    }
    ssize_t Read(int fd, void* buffer, std::size_t size) override
    {
        return Fails("Read") ? -1 : SystemCalls::Read(fd, buffer, size);
    }
    ssize_t Write(int fd, const void* buffer, std::size_t size) override
    {
        calls.push_back("Write");
        if (failing_ == "Write" && written_ > 0) {
            errno = error_;
            return -1;
        }
        written_ = SystemCalls::Write(fd, buffer, std::min<std::size_t>(size, 5));
        return written_;
    }
    int Fsync(int fd) override
    {
        calls.push_back("Fsync");
        return Fails("Fsync") ? -1 : SystemCalls::Fsync(fd);
    }
    int Rename(const char* from, const char* to) override
    {
        calls.push_back("Rename");
        return Fails("Rename") ? -1 : SystemCalls::Rename(from, to);
    }
    // A failing close still releases the descriptor, as close(2) does.
    int Close(int fd) override
    {
        const int result = SystemCalls::Close(fd);
        return Fails("Close") ? -1 : result;
    }

private:
    bool Fails(const std::string& call)
    {
        errno = error_;
        return call == failing_;
    }

    std::string failing_;
    int error_;
    ssize_t written_ = 0;
};

// --- Loading, lookups and the saved layout ---------------------------------

TEST(settings_test, first_run_reads_defaults_and_writes_the_eleven_lines)
{
    SettingsFile file = SettingsFile::fromBytes("");
    EXPECT_EQ(file.toBytes(), "");
    const std::int32_t height = file.readInteger("window", "height", 125);
    const std::int32_t width = file.readInteger("window", "width", 221);
    const std::int32_t top = file.readInteger("window", "top", 159);
    const std::int32_t left = file.readInteger("window", "left", 193);
    EXPECT_EQ(std::vector<std::int32_t>({height, width, top, left}), std::vector<std::int32_t>({125, 221, 159, 193}));
    EXPECT_EQ(file.readInteger("Dev", "Dev_num", 0), 0);
    EXPECT_EQ(file.readString("dev", "gakki", "none"), "none");
    EXPECT_EQ(file.readInteger("dev", "map", 4), 4);

    file.writeInteger("window", "Height", height);
    file.writeInteger("window", "Width", width);
    file.writeInteger("window", "Top", top);
    file.writeInteger("window", "Left", left);
    file.writeInteger("dev", "dev_num", 0);
    file.writeString("dev", "gakki", "Synth A");
    file.writeInteger("dev", "map", 0);
    EXPECT_EQ(file.toBytes(), DataFile("first_run.expected.ini"));

    // A second run finds every entry and rewrites the same layout in place.
    SettingsFile again = SettingsFile::fromBytes(file.toBytes());
    EXPECT_EQ(again.readInteger("Dev", "Dev_num", 7), 0);
    again.writeInteger("window", "Height", 300);
    EXPECT_EQ(again.readInteger("window", "height", 125), 300);
    EXPECT_EQ(again.toBytes().size(), file.toBytes().size());
}

TEST(settings_test, capitals_match_and_only_the_entry_takes_the_new_case)
{
    SettingsFile file = SettingsFile::fromBytes(DataFile("capitals.ini"));
    EXPECT_EQ(file.readInteger("window", "height", 125), 300);
    file.writeInteger("window", "Height", 480);
    EXPECT_EQ(file.toBytes(), DataFile("capitals.expected.ini"));
}

TEST(settings_test, loading_drops_comments_and_stray_lines_and_keeps_the_rest)
{
    SettingsFile file = SettingsFile::fromBytes(DataFile("layout.ini"));
    EXPECT_EQ(file.toBytes(), DataFile("layout.expected.ini"));
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
    SettingsFile file = SettingsFile::fromBytes(DataFile("duplicates.ini"));
    EXPECT_EQ(file.readInteger("DEV", "map", 4), 3);
    file.writeInteger("dev", "map", 0);
    EXPECT_EQ(file.toBytes(), DataFile("duplicates.expected.ini"));
}

TEST(settings_test, lf_cr_and_mixed_line_ends_load_alike)
{
    for (const char* name : {"line_ends_lf.ini", "line_ends_cr.ini", "line_ends_mixed.ini"}) {
        EXPECT_EQ(SettingsFile::fromBytes(DataFile(name)).toBytes(), DataFile("line_ends.expected.ini")) << name;
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

TEST(settings_test, settings_live_per_user_only_when_the_executables_folder_is_closed)
{
    TempDir dir;
    fs::create_directories(dir / "open");
    fs::create_directories(dir / "closed");
    fs::permissions(dir / "open", fs::perms::all);
    fs::permissions(dir / "closed", fs::perms(0555));
    fs::permissions(dir.operator/(""), fs::perms::all);
    const std::string perUser = (dir / "home/.config/tavrelle").string();

    const auto locate = [&](const std::string& exe) {
        return AsUnprivileged([=] { return locateSettingsFile(exe, perUser); });
    };
    EXPECT_EQ(locate((dir / "open/tavrelle").string()), (dir / "open/tavrelle.ini").string());
    EXPECT_EQ(locate((dir / "closed/tavrelle").string()), perUser + "/tavrelle.ini");
    EXPECT_TRUE(fs::is_directory(perUser));

    fs::permissions(dir / "closed", fs::perms::owner_write, fs::perm_options::add);
    WriteBytes(dir / "closed/tavrelle.ini", "");
    fs::permissions(dir / "closed", fs::perms::owner_write, fs::perm_options::remove);
    EXPECT_EQ(locate((dir / "closed/tavrelle").string()), (dir / "closed/tavrelle.ini").string());
}

// --- Opening -----------------------------------------------------------------

TEST(settings_test, open_treats_a_missing_file_or_a_directory_as_empty)
{
    TempDir dir;
    fs::create_directory(dir / "folder.ini");
    EXPECT_EQ(SettingsFile::open((dir / "missing.ini").string()).toBytes(), "");
    EXPECT_EQ(SettingsFile::open((dir / "folder.ini").string()).toBytes(), "");
    EXPECT_EQ(SettingsFile::open((dir / "missing/x.ini").string()).path(), (dir / "missing/x.ini").string());
}

TEST(settings_test, open_reads_the_whole_file)
{
    TempDir dir;
    const std::string path = (dir / "t.ini").string();
    std::string big = "[s]\r\n";
    for (int i = 0; i < 20000; ++i) {
        big += "k" + std::to_string(i) + "=" + std::to_string(i) + "\r\n";
    }
    WriteBytes(path, big + "\r\n");
    SettingsFile file = SettingsFile::open(path);
    EXPECT_EQ(file.readInteger("s", "k19999", 0), 19999);
    EXPECT_EQ(file.toBytes(), big + "\r\n");
}

TEST(settings_test, open_fails_on_an_unreadable_file)
{
    TempDir dir;
    const std::string path = (dir / "t.ini").string();
    WriteBytes(path, "[a]\r\n");
    fs::permissions(path, fs::perms::owner_write);
    EXPECT_EQ(AsUnprivileged([&] { return OpenOutcome(path); }), Message(kCannotOpen, path));

    // A folder that may not be searched hides whether a file is there at all.
    fs::permissions(path, fs::perms(0644));
    fs::permissions(dir.operator/(""), fs::perms::none);
    EXPECT_EQ(AsUnprivileged([&] { return OpenOutcome(path); }), Message(kCannotOpen, path));
}

TEST(settings_test, open_fails_while_another_program_holds_an_exclusive_lock)
{
    TempDir dir;
    const std::string path = (dir / "t.ini").string();
    WriteBytes(path, "[a]\r\n");
    const int holder = ::open(path.c_str(), O_RDWR);
    ASSERT_EQ(::flock(holder, LOCK_EX), 0);
    EXPECT_EQ(OpenOutcome(path), Message(kCannotOpen, path));
    ::flock(holder, LOCK_SH);
    EXPECT_EQ(OpenOutcome(path), "opened");
    ::close(holder);
}

TEST(settings_test, open_fails_when_reading_fails)
{
    TempDir dir;
    const std::string path = (dir / "t.ini").string();
    WriteBytes(path, "[a]\r\n");
    for (const char* call : {"Open", "Read"}) {
        FaultyCalls faulty(call, EIO);
        ScopedSystemCalls scope(faulty);
        EXPECT_EQ(OpenOutcome(path), Message(kCannotOpen, path)) << call;
    }
}

// --- Saving ------------------------------------------------------------------

TEST(settings_test, save_replaces_the_file_and_keeps_its_mode_and_symlink)
{
    TempDir dir;
    fs::create_directory(dir / "real");
    WriteBytes(dir / "real/t.ini", "[old]\r\n");
    fs::permissions(dir / "real/t.ini", fs::perms(0640));
    fs::create_symlink("real/t.ini", dir / "link.ini");

    SettingsFile file = SettingsFile::open((dir / "link.ini").string());
    file.writeInteger("new", "k", 1);
    ASSERT_EQ(SaveOutcome(file), "saved");
    EXPECT_TRUE(fs::is_symlink(dir / "link.ini"));
    EXPECT_EQ(ReadBytes(dir / "real/t.ini"), "[old]\r\n\r\n[new]\r\nk=1\r\n\r\n");
    EXPECT_EQ(fs::status(dir / "real/t.ini").permissions(), fs::perms(0640));
    EXPECT_EQ(dir.Names(), std::vector<std::string>({"link.ini", "real"}));
    EXPECT_EQ(fs::directory_iterator(dir / "real")->path().filename(), "t.ini");
}

TEST(settings_test, save_removes_temporaries_of_killed_saves_but_not_of_live_ones)
{
    TempDir dir;
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
        WriteBytes(dir / name, "partial");
    }

    SettingsFile file = SettingsFile::fromBytes("", (dir / "t.ini").string());
    file.writeInteger("s", "k", 1);
    ASSERT_EQ(SaveOutcome(file), "saved");
    EXPECT_EQ(dir.Names(), std::vector<std::string>({live, foreign, "t.ini"}));
}

TEST(settings_test, save_by_root_keeps_the_files_owner)
{
    if (::geteuid() != 0) {
        GTEST_SKIP() << "only root can save a file that belongs to someone else";
    }
    TempDir dir;
    const std::string path = (dir / "t.ini").string();
    WriteBytes(path, "[a]\r\n");
    const passwd* nobody = ::getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    ASSERT_EQ(::chown(path.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    ASSERT_EQ(SaveOutcome(SettingsFile::fromBytes("[b]\r\n", path)), "saved");
    struct stat status {};
    ASSERT_EQ(::stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_uid, nobody->pw_uid);
    EXPECT_EQ(ReadBytes(path), "[b]\r\n\r\n");
}

TEST(settings_test, save_syncs_the_data_before_the_rename_and_the_folder_after)
{
    TempDir dir;
    FaultyCalls recorder("", 0);
    ScopedSystemCalls scope(recorder);
    SettingsFile file = SettingsFile::fromBytes("[a]\r\nk=v\r\n", (dir / "t.ini").string());
    ASSERT_EQ(SaveOutcome(file), "saved");
    const std::vector<std::string> sequence(std::find(recorder.calls.begin(), recorder.calls.end(), "Fsync"),
                                            recorder.calls.end());
    EXPECT_EQ(sequence, std::vector<std::string>({"Fsync", "Rename", "OpenFolder", "Fsync"}));
    EXPECT_EQ(ReadBytes(dir / "t.ini"), "[a]\r\nk=v\r\n\r\n");
}

TEST(settings_test, save_of_an_empty_copy_writes_an_empty_file)
{
    TempDir dir;
    WriteBytes(dir / "t.ini", "[a]\r\n");
    SettingsFile file = SettingsFile::fromBytes("", (dir / "t.ini").string());
    ASSERT_EQ(SaveOutcome(file), "saved");
    EXPECT_EQ(ReadBytes(dir / "t.ini"), "");
}

// Each failing save must leave the old file as it was and no temporary file.
class FailedSave : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::permissions(dir_.operator/(""), fs::perms::all);
        WriteBytes(path_, kOld);
        file_.writeString("a", "k", "new");
    }
    void ExpectUntouched()
    {
        EXPECT_EQ(ReadBytes(path_), kOld);
        EXPECT_EQ(dir_.Names(), std::vector<std::string>({"t.ini"}));
    }

    static constexpr const char* kOld = "[old]\r\nx=1\r\n\r\n";
    TempDir dir_;
    std::string path_ = (dir_ / "t.ini").string();
    SettingsFile file_ = SettingsFile::fromBytes("", path_);
};

TEST_F(FailedSave, a_read_only_file_is_not_replaced_even_by_root)
{
    fs::permissions(path_, fs::perms(0444));
    EXPECT_EQ(SaveOutcome(file_), Message(kCannotCreate, path_));
    ExpectUntouched();

    // The copy stays in memory, so a later save succeeds once allowed.
    fs::permissions(path_, fs::perms(0644));
    EXPECT_EQ(SaveOutcome(file_), "saved");
    EXPECT_EQ(ReadBytes(path_), "[a]\r\nk=new\r\n\r\n");
}

TEST_F(FailedSave, another_users_file_is_not_replaced)
{
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to own a file that the test's user may not write";
    }
    EXPECT_EQ(AsUnprivileged([&] { return SaveOutcome(file_); }), Message(kCannotCreate, path_));
    ExpectUntouched();
}

TEST_F(FailedSave, a_folder_without_write_or_search_permission_refuses_the_file)
{
    fs::permissions(path_, fs::perms::all);
    for (const fs::perms folder : {fs::perms(0555), fs::perms::none}) {
        fs::permissions(dir_.operator/(""), folder);
        EXPECT_EQ(AsUnprivileged([&] { return SaveOutcome(file_); }), Message(kCannotCreate, path_));
        fs::permissions(dir_.operator/(""), fs::perms::all);
        ExpectUntouched();
    }
}

TEST_F(FailedSave, a_loop_of_symbolic_links_is_neither_read_nor_replaced)
{
    fs::create_symlink("loop-b", dir_ / "loop-a");
    fs::create_symlink("loop-a", dir_ / "loop-b");
    const std::string loop = (dir_ / "loop-a").string();
    EXPECT_EQ(OpenOutcome(loop), Message(kCannotOpen, loop));
    EXPECT_EQ(SaveOutcome(SettingsFile::fromBytes("[a]\r\n", loop)), Message(kCannotCreate, loop));
    EXPECT_TRUE(fs::is_symlink(dir_ / "loop-a"));
    EXPECT_EQ(dir_.Names(), std::vector<std::string>({"loop-a", "loop-b", "t.ini"}));
}

TEST_F(FailedSave, a_copy_without_a_path_is_not_saved)
{
    EXPECT_EQ(SaveOutcome(SettingsFile::fromBytes("[a]\r\n")), Message(kCannotCreate, ""));
}

TEST_F(FailedSave, a_directory_in_the_way_is_not_replaced)
{
    fs::remove(path_);
    fs::create_directory(path_);
    EXPECT_EQ(SaveOutcome(file_), Message(kCannotCreate, path_));
    EXPECT_TRUE(fs::is_directory(path_));
    EXPECT_EQ(dir_.Names(), std::vector<std::string>({"t.ini"}));
}

TEST_F(FailedSave, a_file_locked_by_another_program_is_not_replaced)
{
    const int holder = ::open(path_.c_str(), O_RDONLY);
    ASSERT_EQ(::flock(holder, LOCK_SH), 0);
    EXPECT_EQ(SaveOutcome(file_), Message(kCannotCreate, path_));
    ::close(holder);
    ExpectUntouched();
}

TEST_F(FailedSave, a_file_size_limit_stops_the_write_part_way)
{
    const std::string outcome = InChild(
        [] {
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{4, 4};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        },
        [&] { return SaveOutcome(file_); });
    EXPECT_EQ(outcome, kWriteError);
    ExpectUntouched();
}

TEST_F(FailedSave, failing_calls_give_their_messages)
{
    const std::vector<std::tuple<std::string, int, std::string>> cases = {
        {"Write", ENOSPC, kWriteError}, {"Write", EFBIG, kWriteError}, {"Fsync", EIO, kWriteError},
        {"Close", EIO, kWriteError}, {"Rename", EACCES, Message(kCannotCreate, path_)},
        {"Open", EROFS, Message(kCannotCreate, path_)}, {"Open", EEXIST, Message(kCannotCreate, path_)},
    };
    for (const auto& [call, error, message] : cases) {
        FaultyCalls faulty(call, error);
        ScopedSystemCalls scope(faulty);
        EXPECT_EQ(SaveOutcome(file_), message) << call;
        ExpectUntouched();
    }
}

}  // namespace
}  // namespace tavrelle::settings
