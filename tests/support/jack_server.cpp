#include "support/jack_server.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace tavrelle::testing {

// Asked in a process of its own: a libjack client opened in this one while
// the service's MIDI thread is inside libjack, on a client whose server has
// just died, can take the test process down.
bool jackServerAnswers(const std::string& serverName)
{
    FILE* answer = popen(("jack_wait -s '" + serverName + "' -c 2>/dev/null").c_str(), "r");
    if (answer == nullptr) {
        return false;
    }
    char line[32] = {};
    const bool running = std::fgets(line, sizeof line, answer) != nullptr && std::strcmp(line, "running\n") == 0;
    pclose(answer);
    return running;
}

bool jackdRunningFor(const std::string& serverName)
{
    DIR* proc = opendir("/proc");
    if (proc == nullptr) {
        return false;
    }
    bool found = false;
    while (dirent* entry = readdir(proc)) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9') {
            continue;
        }
        std::ifstream file(std::string("/proc/") + entry->d_name + "/cmdline", std::ios::binary);
        const std::string cmdline((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        std::vector<std::string> args;
        for (std::size_t start = 0; start < cmdline.size();) {
            const std::size_t end = cmdline.find('\0', start);
            args.push_back(cmdline.substr(start, end == std::string::npos ? std::string::npos : end - start));
            start = end == std::string::npos ? cmdline.size() : end + 1;
        }
        if (args.empty() || args[0].find("jackd") == std::string::npos) {
            continue;
        }
        for (std::size_t i = 0; i + 1 < args.size(); ++i) {
            if ((args[i] == "-n" || args[i] == "--name") && args[i + 1] == serverName) {
                found = true;
            }
        }
    }
    closedir(proc);
    return found;
}

JackServerProcess::JackServerProcess(std::string serverName) : serverName_(std::move(serverName)) {}

JackServerProcess::~JackServerProcess()
{
    // A server killed and not started again still holds its place in JACK's
    // table: one of its name gives it back.
    if (killed_) {
        start();
    }
    stop(SIGTERM);
}

bool JackServerProcess::start(int periodFrames)
{
    std::vector<std::string> args = {"jackd", "-S", "-n", serverName_, "--no-realtime", "-d", "dummy", "-r", "48000",
                                     "-p", std::to_string(periodFrames)};
    std::vector<char*> argv;
    for (auto& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ < 0) {
        return false;
    }
    if (pid_ == 0) {
        // A test that dies must not leave its server behind.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) {
            _exit(127);
        }
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        execvp("jackd", argv.data());
        _exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        if (jackServerAnswers(serverName_)) {
            killed_ = false;
            return true;
        }
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

void JackServerProcess::kill()
{
    stop(SIGKILL);
    killed_ = true;
}

void JackServerProcess::pause()
{
    if (pid_ > 0) {
        ::kill(pid_, SIGSTOP);
    }
}

void JackServerProcess::resume()
{
    if (pid_ > 0) {
        ::kill(pid_, SIGCONT);
    }
}

void JackServerProcess::stop(int signal)
{
    if (pid_ <= 0) {
        return;
    }
    // A stopped server would take neither signal until it runs again.
    ::kill(pid_, SIGCONT);
    ::kill(pid_, signal);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (waitpid(pid_, nullptr, WNOHANG) != pid_) {
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
}

ServerNameOverride::ServerNameOverride(const std::string& name)
{
    if (const char* old = std::getenv("JACK_DEFAULT_SERVER")) {
        old_ = old;
    }
    setenv("JACK_DEFAULT_SERVER", name.c_str(), 1);
}

ServerNameOverride::~ServerNameOverride()
{
    if (old_) {
        setenv("JACK_DEFAULT_SERVER", old_->c_str(), 1);
    } else {
        unsetenv("JACK_DEFAULT_SERVER");
    }
}

}  // namespace tavrelle::testing
