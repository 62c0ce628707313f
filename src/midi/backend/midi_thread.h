// The one thread that talks to the JACK server, one request at a time in the
// order posted. A stalled server blocks its calls, so callers wait until a
// deadline at most; a request past it leaves the thread stuck until it
// returns, and meanwhile new requests fail at once rather than each waiting
// out a deadline of its own.
//
// Between requests the thread sleeps in poll() on its wake-up descriptor, on
// one watched descriptor (the ALSA sequencer's, which it tells of once and
// never reads), and until the next timed look, if one is due.
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
    // Called between requests while it returns true, `pause` apart.
    using Watch = std::function<bool()>;

    // Starts the thread; throws std::system_error when none can be started.
    // `woken` runs on it when the watched descriptor has something to read
    // and when a stuck request has returned.
    explicit MidiThread(std::function<void()> woken = {});
    // Lets the thread end once what was posted has run, never waiting for
    // it: a stuck request does not hold up the end of the program.
    ~MidiThread();
    MidiThread(const MidiThread&) = delete;
    MidiThread& operator=(const MidiThread&) = delete;

    // Queues `work` without waiting for it. The number that names it.
    std::uint64_t post(std::function<void()> work);
    // Whether a request passed its deadline and has not returned yet.
    bool stuck() const;
    // Watches `descriptor` (-1: none) until it has something to read.
    void watchDescriptor(int descriptor);

    // Runs `work` here and waits `limit` at most for its answer; nothing when
    // the thread is stuck (then `work` never runs) or the limit passed.
    // `work` is given the std::promise<Value> to answer through, and may go
    // on after answering; it may outlive the caller's wait, so it must own
    // what it touches.
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
    // The answer to the work posted as `job`, or nothing when `limit` passed
    // first: then the thread is stuck until that work has returned.
    template <typename Value>
    std::optional<Value> waitFor(std::future<Value>& answer, Milliseconds limit, std::uint64_t job)
    {
        if (answer.wait_for(limit) != std::future_status::ready) {
            giveUpOn(job);
            return std::nullopt;
        }
        return answer.get();
    }

    // Only from work running on a MIDI thread: marks the thread stuck until
    // that work has returned, as if its caller had given up on it.
    static void giveUpOnCurrent();
    // Only from work running on a MIDI thread: `watch` runs on it between
    // requests every `pause` until it returns false or another watch
    // replaces it.
    static void watch(Watch watch, Milliseconds pause);

    struct Shared;

private:
    // Marks the thread stuck until the work posted as `job` has returned.
    void giveUpOn(std::uint64_t job);
    static void run(std::shared_ptr<Shared> shared);

    std::shared_ptr<Shared> shared_;
};

}  // namespace tavrelle::midi::backend
