#pragma once

#include <QString>
#include <memory>

#include "fetch/RunShared.h"

class FetchWorker;

// The fetch workers of one phase of a run: starts them, hands them back in the order they
// finished, and terminates and waits for every one of them at the end. Used on the run's
// thread; the workers move themselves from running to finished under RunShared::listsLock.
class WorkerPool {
public:
    // `stackSize` is each worker's stack; 0 is the system's default.
    WorkerPool(std::shared_ptr<RunShared> shared, uint stackSize = 0);
    // Disposes of every worker still there.
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Starts a worker for `url`; `cardIndex` tells a card worker which card it fetches. False
    // when its thread could not be created: the worker is handed back at once as a failed page.
    bool Start(const QString& url, qsizetype cardIndex = -1);
    int RunningCount() const;
    qsizetype FinishedCount() const;
    // Takes the worker that finished first out of the pool; the caller owns it. Null when none
    // has finished.
    std::unique_ptr<FetchWorker> TakeFinished();
    // No worker running and none finished but not taken.
    bool Empty() const;
    // Asks every running worker to terminate.
    void TerminateRunning();
    // Stops and waits for every worker, then deletes them. They abandon their requests and pauses
    // at once when asked to terminate.
    void Dispose();

    // Refusal pages and cards fetched at once: 5 with proxies, 1 without.
    int DetailSlots() const { return shared_->useProxy ? 5 : 1; }
    bool DetailSlotFree() const { return shared_->detailsInFlight.load() < DetailSlots(); }
    // Counts a refusal page's worker against the detail slots before it starts; the worker gives
    // the slot back when it ends.
    void TakeDetailSlot() { ++shared_->detailsInFlight; }

    // How the run's requests went: a portal that refuses them all ends the retries.
    const FailureStreak& Requests() const { return shared_->streak; }

    // The end of a loop pass: a short sleep after a pass that got something done, else a wait
    // until a worker hands its page in or ends or the run is held, continued or stopped (unless
    // that happened since `seen` was counted).
    quint64 WakeCount() const { return shared_->driverWake->Count(); }
    void EndLoopPass(bool didSomething, quint64 seen) const;
    // The short sleep after a step, so a busy loop does not spin.
    static void SleepLoopPass();

private:
    std::shared_ptr<RunShared> shared_;
    uint stackSize_;
    WorkerLists lists_;
};
