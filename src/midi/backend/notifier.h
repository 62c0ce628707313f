// The caller's devices-changed callback, reachable from libjack's threads and
// the MIDI thread. A burst of changes is told once: the next news is told
// only after the caller has listed the devices again. A callback replaced is
// not running once set() returns, and is never called again.
#pragma once

#include <functional>
#include <mutex>
#include <utility>

namespace tavrelle::midi::backend {

class Notifier {
public:
    void set(std::function<void()> changed)
    {
        std::lock_guard lock(mutex_);
        changed_ = std::move(changed);
        told_ = false;
    }
    void operator()()
    {
        std::lock_guard lock(mutex_);
        if (changed_ && !std::exchange(told_, true)) {
            changed_();
        }
    }
    void listed()
    {
        std::lock_guard lock(mutex_);
        told_ = false;
    }

private:
    std::mutex mutex_;
    std::function<void()> changed_;
    bool told_ = false;
};

}  // namespace tavrelle::midi::backend
