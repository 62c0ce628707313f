// The one thread that talks to the JACK server, one request at a time in
// order. A stalled server blocks its calls, so callers wait until a deadline
// at most; a request past it leaves the thread stuck until it returns, and
// meanwhile new requests fail at once instead of each waiting out a deadline.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <utility>

namespace tavrelle::midi::backend {

using Milliseconds = std::chrono::milliseconds;

class MidiThread {
public:
    // Answers how long the thread may sleep before it asks again; nothing:
    // until news comes.
    using Idle = std::function<std::optional<Milliseconds>()>;

    // `woken` runs on the thread when the watched descriptor has something
    // to read and when a stuck request has returned; `idle` before each
    // sleep. Throws std::system_error.
    explicit MidiThread(std::function<void()> woken = {}, Idle idle = {});
    // Never waits for the thread: a stuck request must not hold up the exit.
    ~MidiThread();
    MidiThread(const MidiThread&) = delete;
    MidiThread& operator=(const MidiThread&) = delete;

    std::uint64_t post(std::function<void()> work);
    // For libjack's threads, which may call after this object is gone: what
    // they post then is dropped.
    std::function<void(std::function<void()>)> poster() const;
    bool stuck() const;
    // -1: none. Told of once, never read.
    void watchDescriptor(int descriptor);

    // Nothing when the thread is stuck (then `work` never runs) or `limit`
    // passed. `work` answers through the std::promise<Value> it is given and
    // may go on after; it may outlive the wait, so it must own what it touches.
    template <typename Value, typename Work>
    std::optional<Value> call(Milliseconds limit, Work work)
    {
        if (stuck()) {
            return std::nullopt;
        }
        auto reply = std::make_shared<std::promise<Value>>();
        std::future<Value> answer = reply->get_future();
        const std::uint64_t job = post([reply, work = std::move(work)]() mutable { work(*reply); });
        return waitFor(answer, limit, job);
    }
    // When `limit` passes first, the thread is stuck until `job` returns.
    template <typename Value>
    std::optional<Value> waitFor(std::future<Value>& answer, Milliseconds limit, std::uint64_t job)
    {
        if (answer.wait_for(limit) != std::future_status::ready) {
            giveUpOn(job);
            return std::nullopt;
        }
        return answer.get();
    }

    // Only from work running on a MIDI thread: marks it stuck until that
    // work has returned.
    static void giveUpOnCurrent();

    struct Shared;

private:
    void giveUpOn(std::uint64_t job);
    static void run(std::shared_ptr<Shared> shared);

    std::shared_ptr<Shared> shared_;
};

}  // namespace tavrelle::midi::backend
