// Saving the settings file when the process dies half-way or the disk fills
// up: the file on disk is always the whole old one or the whole new one.
#include "settings/settings_file.h"
#include "support/scratch_files.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <algorithm>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace tavrelle {
namespace {

namespace fs = std::filesystem;
using settings::SettingsError;
using settings::SettingsFile;
using testing::readFile;
using testing::ScratchFolder;
using testing::writeFile;
using namespace std::chrono_literals;

// Files in `folder` other than `keep`, with their contents.
std::map<std::string, std::string> otherFiles(const fs::path& folder, const std::string& keep)
{
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().filename() != keep) {
            files[entry.path().filename().string()] = readFile(entry.path());
        }
    }
    return files;
}

// A settings file of some size, so that writing it takes long enough to be
// cut short, with one entry that each save changes.
std::string settingsOfGeneration(int generation)
{
    std::string bytes = "[window]\r\nHeight=125\r\nWidth=221\r\nTop=159\r\nLeft=193\r\n\r\n[gen]\r\nn=" +
                        std::to_string(generation) + "\r\n\r\n[other]\r\n";
    for (int i = 0; i < 4000; ++i) {
        bytes += "entry" + std::to_string(i) + "=" + std::string(48, static_cast<char>('a' + i % 26)) + "\r\n";
    }
    return bytes + "\r\n";
}

std::string nextGeneration(const std::string& bytes, int generation)
{
    auto copy = SettingsFile::fromBytes(bytes);
    copy.writeInteger("gen", "n", generation);
    return copy.toBytes();
}

// One save of generation `generation` in a child process, killed `killAfter`
// after the child reported that it is about to save, or left to finish.
struct SaveRound {
    bool started = false;
    bool killed = false;
    bool failed = false;
    std::chrono::microseconds startToEnd{0};
};

SaveRound saveInChild(const fs::path& path, int generation, std::optional<std::chrono::microseconds> killAfter)
{
    SaveRound round;
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) {
        round.failed = true;
        return round;
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(ready[0]);
        try {
            auto copy = SettingsFile::open(path.string());
            copy.writeInteger("gen", "n", generation);
            const char go = 'g';
            if (::write(ready[1], &go, 1) != 1) {
                ::_exit(3);
            }
            copy.save();
        } catch (const SettingsError&) {
            ::_exit(2);
        }
        ::_exit(0);
    }
    ::close(ready[1]);
    pollfd waitReady{ready[0], POLLIN, 0};
    char go = 0;
    round.started = child > 0 && ::poll(&waitReady, 1, 10000) == 1 && ::read(ready[0], &go, 1) == 1;
    ::close(ready[0]);
    const auto started = std::chrono::steady_clock::now();
    if (child < 0) {
        round.failed = true;
        return round;
    }
    if (killAfter && round.started) {
        std::this_thread::sleep_for(*killAfter);
    }
    if (killAfter || !round.started) {
        ::kill(child, SIGKILL);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    round.startToEnd = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started);
    round.killed = WIFSIGNALED(status);
    round.failed = !round.killed && !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    return round;
}

TEST(save_faults_test, a_save_killed_at_any_point_leaves_the_old_or_the_new_file)
{
    ScratchFolder folder;
    const fs::path path = folder.path() / "tavrelle.ini";
    std::string current = nextGeneration(settingsOfGeneration(0), 0);
    writeFile(path, current);
    int generation = 0;

    // How long a save takes here as this process sees it, from the child's
    // word until it has ended, to spread the kills over that time.
    std::vector<std::chrono::microseconds> times;
    for (int i = 0; i < 5; ++i) {
        const SaveRound round = saveInChild(path, ++generation, std::nullopt);
        ASSERT_TRUE(round.started && !round.killed && !round.failed);
        times.push_back(round.startToEnd);
        current = nextGeneration(current, generation);
    }
    ASSERT_EQ(readFile(path), current);
    std::sort(times.begin(), times.end());
    const auto saveTime = times[times.size() / 2];

    std::mt19937 random(7);
    std::uniform_int_distribution<long> delay(0, saveTime.count() * 5 / 4);
    constexpr int kKills = 200;
    int leftOld = 0;
    int leftNew = 0;
    for (int i = 0; i < kKills; ++i) {
        const std::string next = nextGeneration(current, generation + 1);
        const SaveRound round = saveInChild(path, generation + 1, std::chrono::microseconds(delay(random)));
        ASSERT_TRUE(round.started) << "the saving process did not get going";
        ASSERT_FALSE(round.failed) << "a save failed on its own in round " << i;

        const std::string onDisk = readFile(path);
        if (onDisk == next) {
            ++leftNew;
            current = next;
            ++generation;
        } else {
            ASSERT_TRUE(onDisk == current) << "round " << i << ": the file is neither the old nor the new one ("
                                           << onDisk.size() << " bytes)";
            ++leftOld;
        }
    }
    const auto leftovers = otherFiles(folder.path(), "tavrelle.ini");
    std::cout << "[ figures  ] " << kKills << " kills over saves of " << saveTime.count() << " us: " << leftOld
              << " left the old file, " << leftNew << " the new one, " << leftovers.size()
              << " temporary files stayed\n";
    // Both outcomes show that the kills landed inside the save.
    EXPECT_GT(leftOld, 0);
    EXPECT_GT(leftNew, 0);

    // What killed saves left behind neither stops the next save nor is taken
    // for the settings file.
    auto copy = SettingsFile::open(path.string());
    copy.writeInteger("gen", "n", generation + 1);
    copy.save();
    EXPECT_EQ(readFile(path), nextGeneration(current, generation + 1));
    for (const auto& [name, bytes] : otherFiles(folder.path(), "tavrelle.ini")) {
        const auto before = leftovers.find(name);
        ASSERT_NE(before, leftovers.end()) << "the save left " << name;
        EXPECT_EQ(bytes, before->second) << "the save touched " << name;
    }
}

// Mounts a small file system of its own over `folder` for this process and
// its children only: as root in a new mount namespace, otherwise in a new
// user namespace where this user is root. False where neither is allowed.
bool mountPrivateTmpfs(const fs::path& folder, const char* size)
{
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    if (uid == 0) {
        if (::unshare(CLONE_NEWNS) != 0) {
            return false;
        }
    } else {
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
            return false;
        }
        writeFile("/proc/self/setgroups", "deny");
        writeFile("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1");
        writeFile("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1");
    }
    if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return false;
    }
    const std::string options = std::string("size=") + size + ",mode=0700";
    return ::mount("tavrelle-faults", folder.c_str(), "tmpfs", 0, options.c_str()) == 0;
}

// Runs `body` in a child on a private small file system over `folder`;
// 77 from the child means that no such file system could be made.
int runOnFullDisk(const fs::path& folder, int (*body)(const fs::path&))
{
    const pid_t child = ::fork();
    if (child == 0) {
        if (!mountPrivateTmpfs(folder, "64k")) {
            ::_exit(77);
        }
        ::_exit(body(folder));
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Exit codes: 0 as expected; 10 the full disk did not fail the save; 11 the
// wrong message; 12 the old file changed; 13 a temporary file stayed; 14
// the save after making room failed; 15 it wrote something else; 16 the
// disk could not be filled.
int saveOnFullDisk(const fs::path& folder)
{
    const fs::path path = folder / "tavrelle.ini";
    const std::string old = settingsOfGeneration(1).substr(0, 600);
    writeFile(path, old);
    {
        // Fills every block that is left.
        std::ofstream filler(folder / "filler", std::ios::binary);
        const std::string block(4096, 'f');
        for (int i = 0; i < 1000 && filler.write(block.data(), block.size()); ++i) {
            filler.flush();
        }
    }
    std::error_code error;
    if (fs::space(folder, error).available > 4096 || error) {
        return 16;
    }

    auto copy = SettingsFile::open(path.string());
    copy.writeString("other", "big", std::string(16 * 1024, 'b'));
    const std::string wanted = copy.toBytes();
    try {
        copy.save();
        return 10;
    } catch (const SettingsError& failure) {
        if (std::string(failure.what()) != "ストリームへの書き込みエラー") {
            return 11;
        }
    }
    if (readFile(path) != old) {
        return 12;
    }
    if (otherFiles(folder, "tavrelle.ini").size() != 1) {
        return 13;
    }
    fs::remove(folder / "filler");
    try {
        copy.save();
    } catch (const SettingsError&) {
        return 14;
    }
    if (readFile(path) != wanted) {
        return 15;
    }
    return otherFiles(folder, "tavrelle.ini").empty() ? 0 : 13;
}

TEST(save_faults_test, a_full_disk_fails_the_save_with_its_message_and_keeps_the_old_file)
{
    ScratchFolder folder;
    const int outcome = runOnFullDisk(folder.path(), &saveOnFullDisk);
    if (outcome == 77) {
        GTEST_SKIP() << "no private file system can be mounted here (needs root or user namespaces)";
    }
    EXPECT_EQ(outcome, 0) << "see saveOnFullDisk for what the code means";
}

}  // namespace
}  // namespace tavrelle
