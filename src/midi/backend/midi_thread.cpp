#include "midi_thread.h"

#include <pthread.h>
#include <signal.h>

#include <deque>
#include <thread>

namespace tavrelle::midi::backend {

struct MidiThread::Shared {
    std::mutex mutex;
    std::condition_variable posted;
    std::deque<std::function<void()>> queue;
    std::uint64_t postedJobs = 0;
    std::uint64_t finishedJobs = 0;
    // The latest job a caller gave up on; the thread is stuck until it ends.
    std::uint64_t abandonedJob = 0;
    bool stopping = false;
    Watch watch;
    Milliseconds pause{0};
    std::chrono::steady_clock::time_point watchDue;
};

namespace {
// The thread's own state, for work that runs on it.
thread_local MidiThread::Shared* ownShared = nullptr;
}  // namespace

MidiThread::MidiThread() : shared_(std::make_shared<Shared>())
{
    std::thread(&MidiThread::run, shared_).detach();
}

MidiThread::~MidiThread()
{
    // The thread ends once the queue is empty; nothing here waits for it, so
    // a stuck request never holds up the end of the program. The work posted
    // last (closing the clients) is waited for by whoever posted it.
    std::lock_guard lock(shared_->mutex);
    shared_->stopping = true;
    shared_->posted.notify_all();
}

std::uint64_t MidiThread::post(std::function<void()> work)
{
    std::lock_guard lock(shared_->mutex);
    shared_->queue.push_back(std::move(work));
    shared_->posted.notify_all();
    return ++shared_->postedJobs;
}

bool MidiThread::stuck() const
{
    std::lock_guard lock(shared_->mutex);
    return shared_->finishedJobs < shared_->abandonedJob;
}

void MidiThread::giveUpOn(std::uint64_t job)
{
    std::lock_guard lock(shared_->mutex);
    shared_->abandonedJob = std::max(shared_->abandonedJob, job);
}

void MidiThread::watch(Watch watch, Milliseconds pause)
{
    if (ownShared == nullptr) {
        return;
    }
    std::lock_guard lock(ownShared->mutex);
    ownShared->watch = std::move(watch);
    ownShared->pause = pause;
    // Requests that come meanwhile go first: the first look is a pause away.
    ownShared->watchDue = std::chrono::steady_clock::now() + pause;
}

void MidiThread::run(std::shared_ptr<Shared> shared)
{
    using Clock = std::chrono::steady_clock;
    ownShared = shared.get();
    // A libjack call that wakes up to a server that died writes to its
    // socket: that must fail the call, not end the program. The threads
    // libjack starts from here inherit the mask.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    std::unique_lock lock(shared->mutex);
    for (;;) {
        if (shared->watch && Clock::now() >= shared->watchDue) {
            Watch watch = std::move(shared->watch);
            shared->watch = nullptr;
            lock.unlock();
            const bool again = watch();
            lock.lock();
            // A watch set by the call itself or by a request in between wins.
            if (again && !shared->watch) {
                shared->watch = std::move(watch);
                shared->watchDue = Clock::now() + shared->pause;
            }
            continue;
        }
        if (!shared->queue.empty()) {
            std::function<void()> work = std::move(shared->queue.front());
            shared->queue.pop_front();
            lock.unlock();
            work();
            work = nullptr;
            lock.lock();
            ++shared->finishedJobs;
            continue;
        }
        if (shared->stopping) {
            return;
        }
        const auto woken = [&] { return !shared->queue.empty() || shared->stopping; };
        if (shared->watch) {
            shared->posted.wait_until(lock, shared->watchDue, woken);
        } else {
            shared->posted.wait(lock, [&] { return woken() || shared->watch; });
        }
    }
}

}  // namespace tavrelle::midi::backend
