#include "fetch/WorkerPool.h"

#include <QThread>
#include <chrono>

#include "fetch/FetchWorker.h"
#include "fetch/RunTiming.h"

namespace {
const QString kThreadNotStarted = QStringLiteral("Не удалось запустить поток для ");
}  // namespace

WorkerPool::WorkerPool(std::shared_ptr<RunShared> shared, uint stackSize)
    : shared_(std::move(shared)), stackSize_(stackSize) {}

WorkerPool::~WorkerPool() {
    Dispose();
}

bool WorkerPool::Start(const QString& url, qsizetype cardIndex) {
    auto* worker = new FetchWorker(shared_, &lists_);
    worker->url = url;
    worker->cardIndex = cardIndex;
    if (stackSize_ > 0) {
        worker->setStackSize(stackSize_);
    }
    {
        std::lock_guard lock(shared_->listsLock);
        lists_.runningWorkers.append(worker);
    }
    worker->start();
    if (worker->isRunning() || worker->isFinished()) {
        return true;
    }
    // A thread that could not be created is neither running nor finished. Its page counts as
    // failed, and its slot is given back as the worker would have done at its end.
    worker->result = FetchWorker::kFailure;
    worker->statusText = QStringLiteral("ERROR_") + kThreadNotStarted + url;
    if (FetchWorker::IsDetailUrl(url)) {
        --shared_->detailsInFlight;
    }
    std::lock_guard lock(shared_->listsLock);
    lists_.runningWorkers.removeOne(worker);
    lists_.finishedWorkers.append(worker);
    return false;
}

int WorkerPool::RunningCount() const {
    std::lock_guard lock(shared_->listsLock);
    return static_cast<int>(lists_.runningWorkers.size());
}

qsizetype WorkerPool::FinishedCount() const {
    std::lock_guard lock(shared_->listsLock);
    return lists_.finishedWorkers.size();
}

std::unique_ptr<FetchWorker> WorkerPool::TakeFinished() {
    std::lock_guard lock(shared_->listsLock);
    if (lists_.finishedWorkers.isEmpty()) {
        return nullptr;
    }
    return std::unique_ptr<FetchWorker>(lists_.finishedWorkers.takeFirst());
}

bool WorkerPool::Empty() const {
    std::lock_guard lock(shared_->listsLock);
    return lists_.runningWorkers.isEmpty() && lists_.finishedWorkers.isEmpty();
}

void WorkerPool::TerminateRunning() {
    std::lock_guard lock(shared_->listsLock);
    for (FetchWorker* worker : lists_.runningWorkers) {
        worker->Terminate();
    }
}

void WorkerPool::Dispose() {
    QList<FetchWorker*> workers;
    {
        // A worker may still move itself from one list to the other, but never leaves both.
        std::lock_guard lock(shared_->listsLock);
        workers = lists_.runningWorkers + lists_.finishedWorkers;
        for (FetchWorker* worker : workers) {
            worker->Terminate();
        }
    }
    for (FetchWorker* worker : workers) {
        worker->wait();
    }
    {
        std::lock_guard lock(shared_->listsLock);
        lists_.runningWorkers.clear();
        lists_.finishedWorkers.clear();
    }
    qDeleteAll(workers);
}

void WorkerPool::SleepLoopPass() {
    QThread::msleep(static_cast<unsigned long>(Timing().loopSleepMs));
}

void WorkerPool::EndLoopPass(bool didSomething, quint64 seen) const {
    if (didSomething) {
        SleepLoopPass();
        return;
    }
    // Nothing can change for a phase's loop but through a worker or run control, and both wake
    // it.
    shared_->driverWake->WaitFor(seen, std::chrono::milliseconds(Timing().idleWakeMs));
}
