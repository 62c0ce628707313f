// Saving the settings file when the process dies half-way: the file on disk
// is always the whole old one or the whole new one. A disk that fills up
// part-way is the settings file's own test (settings_test, FailedSave).
#include "settings/settings_file.h"
#include "support/scratch_files.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
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

}  // namespace
}  // namespace tavrelle
