#pragma once

#include <QtGlobal>
#include <chrono>
#include <condition_variable>
#include <mutex>

// Wakes a thread that waits for something to change (a worker handing its page in or ending,
// the run being held, continued or stopped) instead of letting it look again and again. The
// count of notifications lets a waiter notice one that came before it began to wait.
class WakeSignal {
public:
    quint64 Count() const {
        std::lock_guard lock(mutex_);
        return count_;
    }

    void Notify() {
        {
            std::lock_guard lock(mutex_);
            ++count_;
        }
        changed_.notify_all();
    }

    // Returns once notified after `seen` was counted, or after `timeout`.
    void WaitFor(quint64 seen, std::chrono::milliseconds timeout) const {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, timeout, [&] { return count_ != seen; });
    }

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    quint64 count_ = 0;
};
