// The queue between the thread that sends and JACK's process callback.
//
// Messages travel in groups (one voice selection is one group) that enter
// whole or not at all. When the queue is full, as it gets while the server
// stalls, the oldest whole groups give way to the newest, so that once the
// server runs again the receiver ends on what was sent last and never on
// half a selection. The process callback only tries the queue's lock: a
// cycle that finds it taken hands nothing over, and the next one does.
//
// The queue also counts the process cycles: it is held shut until a new
// connection carries data, and knows when what it handed over has left.
#pragma once

#include "midi/short_message.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

namespace tavrelle::midi::backend {

class SelectionQueue {
public:
    static constexpr std::size_t kMaxGroupSize = 4;

    // Room for `groups` groups, at least 2; throws std::bad_alloc.
    explicit SelectionQueue(std::size_t groups) : ring_(std::max<std::size_t>(groups, 2)) {}

    // Sending side. False only for an empty group or one of more than
    // kMaxGroupSize messages; a full queue drops its oldest groups instead.
    bool push(std::span<const ShortMessageBytes> group);
    // Lets every group still queued go, and holds the queue shut.
    void dropAll();
    // Holds queued groups back from the next cycle on; lets them out from
    // `cycles` cycles after this one.
    void hold() { openFrom_.store(kNever, std::memory_order_release); }
    void openAfter(std::uint64_t cycles)
    {
        openFrom_.store(cycles_.load(std::memory_order_acquire) + cycles, std::memory_order_release);
    }
    bool held() const { return openFrom_.load(std::memory_order_acquire) == kNever; }
    std::uint64_t cycles() const { return cycles_.load(std::memory_order_acquire); }
    // Whether every group pushed has left: delivered, with the cycle that
    // carried the last of it ended, or given way.
    bool delivered() const
    {
        const std::uint64_t carried = lastCarryCycle_.load(std::memory_order_acquire);
        return settled() && (carried == kNever || cycles() >= carried + 2);
    }
    // Whether every group pushed has been delivered or given way.
    bool settled() const { return delivered_.load(std::memory_order_acquire) + dropped_ == pushed_; }
    std::uint64_t droppedGroups() const { return dropped_; }

    // Process callback side: hands messages to `write(bytes, size)` in order
    // until it returns false (the cycle's buffer is full) or the queue is
    // empty; a group cut short goes on where it stopped next time. The number
    // of messages handed over. Never waits.
    template <typename Write>
    std::size_t deliver(Write write);
    // The same, once a cycle, while the queue is not held shut.
    template <typename Write>
    void runCycle(Write write)
    {
        const std::uint64_t cycle = cycles_.load(std::memory_order_relaxed);
        if (cycle >= openFrom_.load(std::memory_order_acquire) && deliver(write) > 0) {
            lastCarryCycle_.store(cycle, std::memory_order_release);
        }
        cycles_.fetch_add(1, std::memory_order_release);
    }

private:
    static constexpr std::uint64_t kNever = ~std::uint64_t{0};

    struct Group {
        std::array<ShortMessageBytes, kMaxGroupSize> messages{};
        std::size_t count = 0;
    };

    // Guards the ring, its head and the messages of the head already handed
    // over; the process callback only ever tries it.
    std::mutex mutex_;
    std::vector<Group> ring_;
    std::size_t head_ = 0;
    std::size_t size_ = 0;
    std::size_t headDelivered_ = 0;
    std::uint64_t pushed_ = 0;   // sending side only
    std::uint64_t dropped_ = 0;  // sending side only
    std::atomic<std::uint64_t> delivered_{0};
    std::atomic<std::uint64_t> cycles_{0};
    // The first cycle, counted as cycles_ counts them, that may hand over.
    std::atomic<std::uint64_t> openFrom_{kNever};
    // The cycle that handed over the latest message.
    std::atomic<std::uint64_t> lastCarryCycle_{kNever};
};

template <typename Write>
std::size_t SelectionQueue::deliver(Write write)
{
    std::unique_lock lock(mutex_, std::try_to_lock);
    if (!lock) {
        return 0;  // the sender is at the queue; next cycle
    }
    std::size_t handed = 0;
    while (size_ > 0) {
        const Group& group = ring_[head_];
        while (headDelivered_ < group.count &&
               write(group.messages[headDelivered_].bytes.data(), group.messages[headDelivered_].size)) {
            ++headDelivered_;
            ++handed;
        }
        if (headDelivered_ < group.count) {
            break;
        }
        headDelivered_ = 0;
        head_ = (head_ + 1) % ring_.size();
        --size_;
        delivered_.fetch_add(1, std::memory_order_release);
    }
    return handed;
}

}  // namespace tavrelle::midi::backend
