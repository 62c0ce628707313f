#include "support/fluidsynth_shell.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <sstream>

namespace tavrelle::testing {

namespace {

// The shell marks no end of an answer, so an echo after the command does.
constexpr const char* kEndMarker = "tavrelle-answer-end";

class Socket {
public:
    Socket() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {}
    ~Socket()
    {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};

}  // namespace

std::optional<std::string> askFluidSynth(int shellPort, const std::string& command)
{
    Socket socket;
    if (socket.fd() < 0) {
        return std::nullopt;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(shellPort));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(socket.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return std::nullopt;
    }
    const std::string request = command + "\necho " + kEndMarker + "\n";
    if (::send(socket.fd(), request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
        return std::nullopt;
    }
    std::string answer;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    const std::string marker = std::string(kEndMarker) + "\n";
    while (answer.find(marker) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return std::nullopt;
        }
        pollfd waiting{socket.fd(), POLLIN, 0};
        if (::poll(&waiting, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        char buffer[4096];
        const ssize_t got = ::recv(socket.fd(), buffer, sizeof buffer, 0);
        if (got <= 0) {
            return std::nullopt;
        }
        answer.append(buffer, static_cast<std::size_t>(got));
    }
    answer.erase(answer.find(marker));
    return answer;
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
