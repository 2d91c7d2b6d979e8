#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "fetch/WakeSignal.h"

// How a face steers a run driver: hold, continue, terminate, the number of scanning threads, and
// whether it has finished.
// Shared between the driver and whoever may still hold a reference after the driver is gone
// (a pending resume timer, for one), so no one ever reaches into a freed driver.
class RunControl {
public:
    // Holds the driver at its next check; it does nothing until continued or terminated. A
    // terminated run is never held: it is on its way out.
    void Hold();
    void Continue();
    bool Held() const;
    // Asks the driver to leave the run; releases a hold, so a held driver leaves at once.
    void Terminate();
    bool Terminated() const { return terminated_.load(); }
    void SetDone() { done_.store(true); }
    // Fetch workers the listing phase may run at once; a face may change it during the run.
    void SetThreadLimit(int limit) { threadLimit_.store(limit); }
    int ThreadLimit() const { return threadLimit_.load(); }
    bool Done() const { return done_.load(); }

    // Called by the driver at its checks: waits while held.
    void WaitWhileHeld();
    // Told of every hold, continue and terminate, so an idle driver wakes to look.
    void SetWake(std::shared_ptr<WakeSignal> wake);

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool held_ = false;
    std::shared_ptr<WakeSignal> wake_;
    std::atomic<bool> terminated_{false};
    std::atomic<bool> done_{false};
    std::atomic<int> threadLimit_{30};
};
