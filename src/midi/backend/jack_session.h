// JACK MIDI input ports through libjack: one client with one output port,
// kept for the life of the service, so that listing and switching only
// connect and disconnect. Everything here runs on the MIDI thread. A client
// whose server shut down, or that a call was given up on, is forgotten:
// closing it crashes inside libjack once another client has been tried.
#pragma once

#include "midi_thread.h"

#include "midi/short_message.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace tavrelle::midi::backend {

class JackSession {
public:
    struct State;

    // Keeps libjack from printing.
    static void silence();

    // `changed` is called on libjack's thread when ports come, go, connect
    // or disconnect; it must only pass the news on.
    explicit JackSession(std::function<void()> changed = {}) : changed_(std::move(changed)) {}
    // Forgets a client that close() did not close.
    ~JackSession() { abandon(); }
    JackSession(const JackSession&) = delete;
    JackSession& operator=(const JackSession&) = delete;

    // A client of the running server, never one that starts a server. A
    // result code.
    int open();
    // The same, with its output port registered and the client active.
    int start();
    // Full names of the ports that take MIDI in, in the server's order;
    // none when no server answers. Notes whether the connection made last
    // was undone by someone else since.
    std::vector<std::string> midiInputPorts();
    // Makes the output port ready for `target`, a MIDI input that is there;
    // then connect() links them. What is sent afterwards waits until the
    // running graph carries the connection: watchConnection() tells.
    int prepare(const std::string& target);
    int connect();
    // One look at the new connection; true while it is still awaited.
    bool watchConnection();
    // Queues messages that belong together, whole or not at all.
    int send(std::span<const ShortMessageBytes> messages);
    // Waits until what was queued has been delivered; a result code. Then
    // disconnect() undoes the connection. A server that stalls is waited
    // for, and `stalled` is called once when that is noticed.
    int drain(const std::function<void()>& stalled);
    void disconnect();
    // Closes the client, unless its server has gone.
    void close();
    // Forgets the client: a call on it passed its deadline.
    void abandon();

    // Readable from any thread: whether the client is there with its port
    // and its server has not gone; whether the device connected last left
    // (or its server went) since.
    bool running() const
    {
        return ready_.load(std::memory_order_relaxed) && !serverGone_->load(std::memory_order_acquire);
    }
    // Whether there is no client at all.
    bool absent() const { return state_ == nullptr; }
    bool deviceLeft() const { return deviceLeft_.load(std::memory_order_relaxed) || serverGone_->load(std::memory_order_acquire); }

private:
    enum class Failure { noServer, portGone, refused, invalid, noMemory };
    // The one place JACK's failures become result codes.
    static int resultOf(Failure failure);
    // Whether the client is there and its server has not gone; a client
    // whose server went is forgotten here.
    bool usable();

    std::function<void()> changed_;
    State* state_ = nullptr;
    std::string target_;
    // Whether the graph was seen to carry the connection to target_.
    bool connectionSeen_ = false;
    std::atomic<bool> deviceLeft_{false};
    std::chrono::steady_clock::time_point watchGivesUp_;
    // Set by libjack when the server of the latest client shut down.
    std::shared_ptr<std::atomic<bool>> serverGone_ = std::make_shared<std::atomic<bool>>(false);
    std::atomic<bool> ready_{false};
};

}  // namespace tavrelle::midi::backend
