// JACK MIDI input ports through libjack: one client with one output port,
// kept for the life of the service, so that listing and switching only
// connect and disconnect. Everything here runs on the MIDI thread, except
// the readers marked below.
#pragma once

#include "midi/short_message.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace tavrelle::midi::backend {

class JackSession {
public:
    struct State;

    // `changed` is called on libjack's thread when ports come, go, connect
    // or disconnect; it must only pass the news on.
    explicit JackSession(std::function<void()> changed = {}) : changed_(std::move(changed)) {}
    ~JackSession() { abandon(); }
    JackSession(const JackSession&) = delete;
    JackSession& operator=(const JackSession&) = delete;

    // Full names of the ports that take MIDI in, in the server's order;
    // none when no server answers. Opens a client of the running server,
    // never one that starts a server, where there is none.
    std::vector<std::string> midiInputPorts();
    // The client with its output port registered. A result code, as are
    // those below.
    int start();
    // The client active: from then on its process callback runs every cycle
    // and the server reports the ports that come and go. Activating waits
    // for the server's next cycle, so connect() does it after the open has
    // answered, and the listing a moment after its answer.
    int activate();
    bool active() const;
    // Makes the output port ready for `target`, a MIDI input that is there;
    // then connect() links them. What is sent waits until the running graph
    // carries the connection: watchConnection() tells, true while it waits.
    int prepare(const std::string& target);
    int connect();
    bool watchConnection();
    // Queues messages that belong together, whole or not at all.
    int send(std::span<const ShortMessageBytes> messages);
    // Waits until what was queued has been delivered. A server that stalls
    // is waited for, and `stalled` is called once when that is noticed.
    int drain(const std::function<void()>& stalled);
    void disconnect();
    // Closes the client, unless its server has gone.
    void close();

    // Readable from any thread: whether the server of the client has not
    // gone; whether the device connected last left (or its server went).
    bool running() const { return !serverGone_->load(std::memory_order_acquire); }
    bool deviceLeft() const { return deviceLeft_.load(std::memory_order_relaxed) || !running(); }
    bool absent() const { return state_ == nullptr; }

private:
    int open();
    // Closes the client after a failed step: 2 when its server has gone.
    int failed();
    // Forgets the client without a word to libjack: closing a client whose
    // server died crashes JACK 2's libjack once another client has been tried.
    void abandon();
    // Whether a client is there whose server has not gone; one whose server
    // went is let go.
    bool keepLiveClient();
    // The device connected last is gone: the handle says so and the news is told.
    void lose();

    std::function<void()> changed_;
    State* state_ = nullptr;
    std::string target_;
    // Whether the graph was seen to carry the connection to target_.
    bool connectionSeen_ = false;
    std::atomic<bool> deviceLeft_{false};
    std::chrono::steady_clock::time_point watchGivesUp_;
    // Set by libjack, and outliving the session, as libjack may call late.
    std::shared_ptr<std::atomic<bool>> serverGone_ = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace tavrelle::midi::backend
