#include "midi_thread.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

namespace tavrelle::midi::backend {

struct MidiThread::Shared {
    std::mutex mutex;
    std::deque<std::function<void()>> queue;
    std::uint64_t postedJobs = 0;
    std::uint64_t finishedJobs = 0;
    // The latest job a caller gave up on; the thread is stuck until it ends.
    std::uint64_t abandonedJob = 0;
    bool stopping = false;
    int watched = -1;
    std::function<void()> woken;
    Idle idle;
    // Written to wake the thread from poll(); closed by the thread at its end.
    int wakeup = -1;

    void wake() const
    {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = write(wakeup, &one, sizeof one);
    }
};

namespace {
thread_local MidiThread::Shared* ownShared = nullptr;
}  // namespace

MidiThread::MidiThread(std::function<void()> woken, Idle idle) : shared_(std::make_shared<Shared>())
{
    shared_->woken = std::move(woken);
    shared_->idle = std::move(idle);
    shared_->wakeup = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (shared_->wakeup < 0) {
        throw std::system_error(errno, std::generic_category());
    }
    std::thread(&MidiThread::run, shared_).detach();
}

MidiThread::~MidiThread()
{
    std::lock_guard lock(shared_->mutex);
    shared_->stopping = true;
    shared_->wake();
}

std::uint64_t MidiThread::post(std::function<void()> work)
{
    std::lock_guard lock(shared_->mutex);
    shared_->queue.push_back(std::move(work));
    shared_->wake();
    return ++shared_->postedJobs;
}

std::function<void(std::function<void()>)> MidiThread::poster() const
{
    // Weak: the poster is kept by what the thread's own jobs hold, and a
    // strong hold would keep the thread's state alive for good.
    return [weak = std::weak_ptr<Shared>(shared_)](std::function<void()> work) {
        const auto shared = weak.lock();
        if (!shared) {
            return;
        }
        std::lock_guard lock(shared->mutex);
        // Once stopping, the thread may have closed its wakeup descriptor.
        if (!shared->stopping) {
            shared->queue.push_back(std::move(work));
            shared->wake();
            ++shared->postedJobs;
        }
    };
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

void MidiThread::watchDescriptor(int descriptor)
{
    std::lock_guard lock(shared_->mutex);
    shared_->watched = descriptor;
    shared_->wake();
}

void MidiThread::giveUpOnCurrent()
{
    std::lock_guard lock(ownShared->mutex);
    // Jobs run in the order posted, so the one running is the next to finish.
    ownShared->abandonedJob = std::max(ownShared->abandonedJob, ownShared->finishedJobs + 1);
}

namespace {

using Lock = std::unique_lock<std::mutex>;

void tellWoken(MidiThread::Shared& shared, Lock& lock)
{
    if (shared.woken) {
        lock.unlock();
        shared.woken();
        lock.lock();
    }
}

bool runNextJob(MidiThread::Shared& shared, Lock& lock)
{
    if (shared.queue.empty()) {
        return false;
    }
    std::function<void()> work = std::move(shared.queue.front());
    shared.queue.pop_front();
    lock.unlock();
    work();
    work = nullptr;
    lock.lock();
    // A request given up on has returned: what failed meanwhile may retry.
    if (++shared.finishedJobs == shared.abandonedJob) {
        tellWoken(shared, lock);
    }
    return true;
}

void sleepUntilNews(MidiThread::Shared& shared, Lock& lock)
{
    pollfd descriptors[2] = {{shared.wakeup, POLLIN, 0}, {shared.watched, POLLIN, 0}};
    lock.unlock();
    const std::optional<Milliseconds> sleep = shared.idle ? shared.idle() : std::nullopt;
    const int timeout = sleep ? static_cast<int>(std::max<std::int64_t>(sleep->count(), 0)) : -1;
    poll(descriptors, 2, timeout);  // a watched descriptor of -1 is ignored
    std::uint64_t count = 0;
    [[maybe_unused]] const auto read = ::read(shared.wakeup, &count, sizeof count);
    lock.lock();
    if ((descriptors[1].revents & POLLIN) != 0 && shared.watched == descriptors[1].fd) {
        shared.watched = -1;
        tellWoken(shared, lock);
    }
}

}  // namespace

void MidiThread::run(std::shared_ptr<Shared> shared)
{
    ownShared = shared.get();
    // A libjack call waking to a dead server writes to its socket: that must
    // fail the call, not end the program. libjack's threads inherit the mask.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    Lock lock(shared->mutex);
    for (;;) {
        if (runNextJob(*shared, lock)) {
            continue;
        }
        if (shared->stopping) {
            close(shared->wakeup);
            return;
        }
        sleepUntilNews(*shared, lock);
    }
}

}  // namespace tavrelle::midi::backend
