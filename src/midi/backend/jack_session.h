// One libjack client and output port, kept for the service's life, so that
// listing and switching only connect and disconnect. On the MIDI thread,
// except the readers marked below.
#pragma once

#include "midi/short_message.h"

#include <atomic>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace tavrelle::midi::backend {

class JackSession {
public:
    struct State;

    // `changed` runs on libjack's thread and must only pass the news on.
    explicit JackSession(std::function<void()> changed = {}) : changed_(std::move(changed)) {}
    ~JackSession() { abandon(); }
    JackSession(const JackSession&) = delete;
    JackSession& operator=(const JackSession&) = delete;

    // Never starts a server.
    std::vector<std::string> midiInputPorts();
    int start();
    // Waits for the server's next cycle, so it is done after an open has
    // answered, or a moment after a listing.
    int activate();
    bool active() const;
    // Before start(): `news` runs on libjack's thread, and must only pass
    // it on, whenever the graph may have taken a connection still awaited.
    void tellConnectionNews(std::function<void()> news) { connectionNews_ = std::move(news); }
    // What is sent after prepare() waits until the running graph carries
    // the connection, looked for by checkConnection() at each of its news.
    int prepare(const std::string& target);
    int connect();
    void checkConnection();
    bool awaitingConnection() const;
    int send(std::span<const ShortMessageBytes> messages);
    // A server that stalls is waited for; `stalled` is called once then.
    int drain(const std::function<void()>& stalled);
    void disconnect();
    void close();
    bool absent() const { return state_ == nullptr; }

    // Readable from any thread.
    bool running() const { return !serverGone_->load(std::memory_order_acquire); }
    bool deviceLeft() const { return deviceLeft_.load(std::memory_order_relaxed) || !running(); }

private:
    int open();
    int failed();
    // Forgets the client without a word to libjack: closing a client whose
    // server died crashes JACK 2's libjack once another client has been tried.
    void abandon();
    // False without a client whose server lives; one whose server went goes.
    bool keepLiveClient();
    // The device connected last is gone: the handle says so and the news is told.
    void lose();
    // From the graph in shared memory, never waiting for the server.
    void lookForConnection();

    std::function<void()> changed_;
    std::function<void()> connectionNews_;
    State* state_ = nullptr;
    std::string target_;
    bool connectionSeen_ = false;
    std::atomic<bool> deviceLeft_{false};
    // Outlives the session: libjack may call late.
    std::shared_ptr<std::atomic<bool>> serverGone_ = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace tavrelle::midi::backend
