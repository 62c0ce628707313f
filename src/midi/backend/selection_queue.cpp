#include "selection_queue.h"

namespace tavrelle::midi::backend {

bool SelectionQueue::push(std::span<const ShortMessageBytes> messages)
{
    if (messages.empty() || messages.size() > kMaxGroupSize) {
        return false;
    }
    std::lock_guard lock(mutex_);
    if (size_ == ring_.size()) {
        // A group already half delivered stays whole: the one behind it gives
        // way instead, and the head takes its place.
        if (headDelivered_ > 0) {
            ring_[(head_ + 1) % ring_.size()] = ring_[head_];
        }
        head_ = (head_ + 1) % ring_.size();
        --size_;
    }
    Group& group = ring_[(head_ + size_) % ring_.size()];
    std::copy(messages.begin(), messages.end(), group.messages.begin());
    group.count = messages.size();
    ++size_;
    return true;
}

bool SelectionQueue::delivered() const
{
    std::uint64_t carried = kNever;
    {
        std::lock_guard lock(mutex_);
        if (size_ > 0) {
            return false;
        }
        carried = lastCarryCycle_;
    }
    return carried == kNever || cycles() >= carried + 2;
}

void SelectionQueue::dropAll()
{
    hold();
    std::lock_guard lock(mutex_);
    lastCarryCycle_ = kNever;
    head_ = 0;
    size_ = 0;
    headDelivered_ = 0;
}

}  // namespace tavrelle::midi::backend
