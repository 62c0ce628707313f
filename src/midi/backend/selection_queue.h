// The queue between the thread that sends and JACK's process callback.
//
// Messages travel in groups (one voice selection is one group) that enter
// whole or not at all, in libjack's lock-free ring buffer. When the ring is
// full, as it gets while the server stalls, the oldest whole groups give way
// to the newest, so that once the server runs again the receiver ends on
// what was sent last and never on half a selection.
//
// The queue also counts the process cycles: it is held shut until a new
// connection carries data, and knows when what it handed over has left.
#pragma once

#include "private.h"

#include "midi/short_message.h"

#include <jack/ringbuffer.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>

namespace tavrelle::midi::backend {

class SelectionQueue {
public:
    static constexpr std::size_t kMaxGroupSize = 4;

    // Room for at least `groups` groups; throws std::bad_alloc.
    explicit SelectionQueue(std::size_t groups);  // at least 2
    ~SelectionQueue();
    SelectionQueue(const SelectionQueue&) = delete;
    SelectionQueue& operator=(const SelectionQueue&) = delete;

    // Keeps the ring in memory, since the process callback must not wait for
    // a page to come back.
    void lockMemory();

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
    bool settled() const;
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
        unsigned char count = 0;
        unsigned char sizes[kMaxGroupSize] = {};
        unsigned char bytes[kMaxGroupSize][3] = {};
    };

    jack_ringbuffer_t* ring_ = nullptr;
    // Held by whoever moves the ring's read side: the process callback while
    // it delivers, the sending side while it drops the oldest groups.
    std::atomic<bool> readSideBusy_{false};
    // Messages of the head group already delivered; owned by the read side.
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
    if (readSideBusy_.exchange(true, std::memory_order_acquire)) {
        return 0;  // the sender is dropping old groups; next cycle
    }
    std::size_t handed = 0;
    Group group;
    while (jack_ringbuffer_peek(ring_, reinterpret_cast<char*>(&group), sizeof group) == sizeof group) {
        while (headDelivered_ < group.count &&
               write(group.bytes[headDelivered_], static_cast<std::size_t>(group.sizes[headDelivered_]))) {
            ++headDelivered_;
            ++handed;
        }
        if (headDelivered_ < group.count) {
            break;
        }
        headDelivered_ = 0;
        jack_ringbuffer_read_advance(ring_, sizeof group);
        delivered_.fetch_add(1, std::memory_order_release);
    }
    readSideBusy_.store(false, std::memory_order_release);
    return handed;
}

}  // namespace tavrelle::midi::backend
