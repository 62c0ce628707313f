// A private JACK server on the dummy driver, run and killed by a test.
//
// libjack keeps eight server slots per machine, and a killed server keeps its
// slot until a server of the same name starts again: give such a server a
// fixed name, never a fresh one per run.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace tavrelle::testing {

// Whether a JACK server of that name answers a client (none is started).
bool jackServerAnswers(const std::string& serverName);

// Whether any process on the machine runs jackd for that server name.
bool jackdRunningFor(const std::string& serverName);

class JackServerProcess {
public:
    explicit JackServerProcess(std::string serverName);
    ~JackServerProcess();
    JackServerProcess(const JackServerProcess&) = delete;
    JackServerProcess& operator=(const JackServerProcess&) = delete;

    // Starts jackd with that many frames per period and waits until it
    // answers; false when it does not within ten seconds. The server is
    // synchronous, as the test fixture's one, so that the capture clients, which
    // run without real-time priority, miss no cycle on a busy machine.
    bool start(int periodFrames = 256);
    // Kills the server outright, as a crash would, and reaps it. Unless it is
    // started again, the destructor starts and stops it cleanly.
    void kill();
    // Stops the server where it stands, as a debugger or the scheduler
    // would, and lets it go on.
    void pause();
    void resume();

private:
    void stop(int signal);

    std::string serverName_;
    pid_t pid_ = -1;
    bool killed_ = false;
};

// Sets JACK_DEFAULT_SERVER while it lives and puts the old value back.
class ServerNameOverride {
public:
    explicit ServerNameOverride(const std::string& name);
    ~ServerNameOverride();
    ServerNameOverride(const ServerNameOverride&) = delete;
    ServerNameOverride& operator=(const ServerNameOverride&) = delete;

private:
    std::optional<std::string> old_;
};

}  // namespace tavrelle::testing
