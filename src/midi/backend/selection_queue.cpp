#include "selection_queue.h"

#include <algorithm>
#include <new>
#include <thread>

namespace tavrelle::midi::backend {

SelectionQueue::SelectionQueue(std::size_t groups) : ring_(jack_ringbuffer_create(std::max<std::size_t>(groups, 2) * sizeof(Group) + 1))
{
    if (ring_ == nullptr) {
        throw std::bad_alloc();
    }
}

SelectionQueue::~SelectionQueue()
{
    jack_ringbuffer_free(ring_);
}

void SelectionQueue::lockMemory()
{
    jack_ringbuffer_mlock(ring_);
}

bool SelectionQueue::push(std::span<const ShortMessageBytes> messages)
{
    if (messages.empty() || messages.size() > kMaxGroupSize) {
        return false;
    }
    Group group;
    group.count = static_cast<unsigned char>(messages.size());
    for (std::size_t i = 0; i < messages.size(); ++i) {
        group.sizes[i] = static_cast<unsigned char>(messages[i].size);
        for (std::size_t b = 0; b < 3; ++b) {
            group.bytes[i][b] = messages[i].bytes[b];
        }
    }
    if (jack_ringbuffer_write_space(ring_) < sizeof group) {
        // The process callback holds the read side for one delivery at most,
        // never across a stall, so this wait is short.
        while (readSideBusy_.exchange(true, std::memory_order_acquire)) {
            std::this_thread::yield();
        }
        while (jack_ringbuffer_write_space(ring_) < sizeof group) {
            // A group already half delivered stays whole: the one behind it
            // gives way instead.
            if (headDelivered_ > 0 && jack_ringbuffer_read_space(ring_) >= 2 * sizeof group) {
                // The read side is ours: the head is copied over the group
                // behind it, which is the one dropped.
                Group head;
                jack_ringbuffer_peek(ring_, reinterpret_cast<char*>(&head), sizeof head);
                const auto* from = reinterpret_cast<const char*>(&head);
                for (std::size_t i = 0; i < sizeof head; ++i) {
                    ring_->buf[(ring_->read_ptr + sizeof head + i) & ring_->size_mask] = from[i];
                }
            } else {
                headDelivered_ = 0;
            }
            jack_ringbuffer_read_advance(ring_, sizeof group);
            ++dropped_;
        }
        readSideBusy_.store(false, std::memory_order_release);
    }
    jack_ringbuffer_write(ring_, reinterpret_cast<const char*>(&group), sizeof group);
    ++pushed_;
    return true;
}

void SelectionQueue::dropAll()
{
    hold();
    lastCarryCycle_.store(kNever, std::memory_order_release);
    while (readSideBusy_.exchange(true, std::memory_order_acquire)) {
        std::this_thread::yield();
    }
    const std::size_t groups = jack_ringbuffer_read_space(ring_) / sizeof(Group);
    jack_ringbuffer_read_advance(ring_, groups * sizeof(Group));
    headDelivered_ = 0;
    dropped_ += groups;
    readSideBusy_.store(false, std::memory_order_release);
}

bool SelectionQueue::settled() const
{
    return delivered_.load(std::memory_order_acquire) + dropped_ == pushed_;
}

}  // namespace tavrelle::midi::backend
