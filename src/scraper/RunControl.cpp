#include "scraper/RunControl.h"

void RunControl::Hold() {
    std::lock_guard lock(mutex_);
    held_ = true;
}

void RunControl::Continue() {
    {
        std::lock_guard lock(mutex_);
        held_ = false;
    }
    changed_.notify_all();
}

bool RunControl::Held() const {
    std::lock_guard lock(mutex_);
    return held_;
}

void RunControl::Terminate() {
    terminated_.store(true);
    // A held driver still only leaves once continued; waking it lets it look again.
    changed_.notify_all();
}

void RunControl::WaitWhileHeld() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !held_; });
}
