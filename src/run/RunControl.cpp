#include "run/RunControl.h"

void RunControl::Hold() {
    std::shared_ptr<WakeSignal> wake;
    {
        std::lock_guard lock(mutex_);
        // Checked under the lock Terminate takes, so a hold cannot slip in after it.
        if (terminated_.load()) {
            return;
        }
        held_ = true;
        wake = wake_;
    }
    if (wake) {
        wake->Notify();
    }
}

void RunControl::Continue() {
    std::shared_ptr<WakeSignal> wake;
    {
        std::lock_guard lock(mutex_);
        held_ = false;
        wake = wake_;
    }
    changed_.notify_all();
    if (wake) {
        wake->Notify();
    }
}

bool RunControl::Held() const {
    std::lock_guard lock(mutex_);
    return held_;
}

void RunControl::Terminate() {
    std::shared_ptr<WakeSignal> wake;
    {
        std::lock_guard lock(mutex_);
        terminated_.store(true);
        // Nobody has to continue a stopped run: a phase that failed while stopping gets out too.
        held_ = false;
        wake = wake_;
    }
    changed_.notify_all();
    if (wake) {
        wake->Notify();
    }
}

void RunControl::SetWake(std::shared_ptr<WakeSignal> wake) {
    std::lock_guard lock(mutex_);
    wake_ = std::move(wake);
}

void RunControl::WaitWhileHeld() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !held_; });
}
