// Between the sending thread and JACK's process callback. Messages travel in
// groups (one voice selection each) that enter whole or not at all; when the
// queue is full, as while the server stalls, the oldest groups give way to
// the newest, so the receiver ends on what was sent last. The callback only
// tries the lock: a cycle that finds it taken hands nothing over.
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

    explicit SelectionQueue(std::size_t groups) : ring_(std::max<std::size_t>(groups, 2)) {}

    bool push(std::span<const ShortMessageBytes> group);
    // Also holds the queue shut.
    void dropAll();
    void hold()
    {
        openFrom_.store(kNever, std::memory_order_release);
        openFromFrame_.store(kNever, std::memory_order_release);
    }
    void openAfter(std::uint64_t cycles) { openFrom_.store(this->cycles() + cycles, std::memory_order_release); }
    // Opens by itself once the process callback has run `frames` more frames.
    void openAtLatestAfterFrames(std::uint64_t frames)
    {
        openFromFrame_.store(frames_.load(std::memory_order_acquire) + frames, std::memory_order_release);
    }
    bool held() const
    {
        return openFrom_.load(std::memory_order_acquire) == kNever &&
               openFromFrame_.load(std::memory_order_acquire) == kNever;
    }
    std::uint64_t cycles() const { return cycles_.load(std::memory_order_acquire); }
    // Every group pushed handed over or given way.
    bool empty() const { return size_ == 0; }
    // Empty, and the cycle that carried the last of it and the one after
    // have ended. Read under the lock, which the carrying cycle holds while
    // it notes itself and shrinks the queue: the two are seen together.
    bool delivered() const;

    // Process callback side, never waiting: hands messages to `write` until it
    // returns false (the buffer is full); a group cut short goes on next time.
    template <typename Write>
    void deliver(Write write);
    template <typename Write>
    void runCycle(std::uint32_t frames, Write write)
    {
        const std::uint64_t cycle = cycles_.load(std::memory_order_relaxed);
        const bool open = cycle >= openFrom_.load(std::memory_order_acquire) ||
                          frames_.load(std::memory_order_relaxed) >= openFromFrame_.load(std::memory_order_acquire);
        if (open && !empty()) {
            deliver(write);
        }
        frames_.fetch_add(frames, std::memory_order_release);
        cycles_.fetch_add(1, std::memory_order_release);
    }

private:
    static constexpr std::uint64_t kNever = ~std::uint64_t{0};

    struct Group {
        std::array<ShortMessageBytes, kMaxGroupSize> messages{};
        std::size_t count = 0;
    };

    // Guards the ring, the messages of its head already handed over and the
    // cycle that last carried any.
    mutable std::mutex mutex_;
    std::vector<Group> ring_;
    std::size_t head_ = 0;
    std::atomic<std::size_t> size_{0};
    std::size_t headDelivered_ = 0;
    std::atomic<std::uint64_t> cycles_{0};
    std::atomic<std::uint64_t> frames_{0};
    std::atomic<std::uint64_t> openFrom_{kNever};
    std::atomic<std::uint64_t> openFromFrame_{kNever};
    std::uint64_t lastCarryCycle_ = kNever;
};

template <typename Write>
void SelectionQueue::deliver(Write write)
{
    std::unique_lock lock(mutex_, std::try_to_lock);
    if (!lock) {
        return;
    }
    if (size_ > 0) {
        lastCarryCycle_ = cycles_.load(std::memory_order_relaxed);
    }
    while (size_ > 0) {
        const Group& group = ring_[head_];
        while (headDelivered_ < group.count &&
               write(group.messages[headDelivered_].bytes.data(), group.messages[headDelivered_].size)) {
            ++headDelivered_;
        }
        if (headDelivered_ < group.count) {
            break;
        }
        headDelivered_ = 0;
        head_ = (head_ + 1) % ring_.size();
        --size_;
    }
}

}  // namespace tavrelle::midi::backend
