#include "support/fluidsynth_shell.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

namespace tavrelle::testing {

namespace {

const std::string kFolder = TAVRELLE_TEST_SERVICES_DIR;

// The shell marks no end of an answer, so an echo of a fresh marker does.
std::string freshMarker()
{
    static std::atomic<int> count{0};
    return "tavrelle-answer-" + std::to_string(getpid()) + "-" + std::to_string(++count);
}

bool writeAll(int fd, const std::string& text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
        if (wrote <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(wrote);
    }
    return true;
}

}  // namespace

std::optional<std::string> askFluidSynth(int shell, const std::string& command)
{
    if (shell <= 0) {
        return std::nullopt;
    }
    const std::string output = kFolder + "/fluidsynth.out";
    struct stat before {};
    if (::stat(output.c_str(), &before) != 0) {
        return std::nullopt;
    }
    // Without a reader (FluidSynth gone) a plain open would wait for ever.
    const int fifo = ::open((kFolder + "/fluidsynth.in").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fifo < 0) {
        return std::nullopt;
    }
    const std::string marker = freshMarker();
    const bool sent = writeAll(fifo, command + "\necho " + marker + "\n");
    ::close(fifo);
    if (!sent) {
        return std::nullopt;
    }

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream file(output, std::ios::binary);
        file.seekg(before.st_size);
        std::ostringstream text;
        text << file.rdbuf();
        std::string answer = text.str();
        const auto end = answer.find(marker + "\n");
        if (end != std::string::npos) {
            answer.erase(end);
            // Prompts ("> ") run into the first line of an answer.
            std::string cleaned;
            std::istringstream lines(answer);
            for (std::string line; std::getline(lines, line);) {
                while (line.starts_with("> ")) {
                    line.erase(0, 2);
                }
                cleaned += line + "\n";
            }
            return cleaned;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return std::nullopt;
}

std::optional<ChannelPreset> presetOnChannel(const std::string& channelsAnswer, int channel)
{
    std::istringstream lines(channelsAnswer);
    std::string line;
    while (std::getline(lines, line)) {
        int chan = -1;
        int sfont = -1;
        ChannelPreset preset;
        int nameStart = -1;
        if (std::sscanf(line.c_str(), "chan %d, sfont %d, bank %d, preset %d, %n", &chan, &sfont, &preset.bank,
                        &preset.program, &nameStart) == 4 &&
            chan == channel && nameStart >= 0) {
            preset.name = line.substr(static_cast<std::size_t>(nameStart));
            return preset;
        }
    }
    return std::nullopt;
}

}  // namespace tavrelle::testing
