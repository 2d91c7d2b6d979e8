#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <atomic>
#include <memory>
#include <mutex>

#include "fetch/FailureStreak.h"
#include "fetch/RequestSpacing.h"
#include "fetch/RunTiming.h"
#include "fetch/WakeSignal.h"

class FetchWorker;
class LogSink;

// The state one run shares with its fetch workers. The run driver makes it at set-up and keeps
// it until the last of its workers has ended.
struct RunShared {
    explicit RunShared(const QString& mutexName = QStringLiteral("QuorvaneMutex"))
        : spacing(mutexName), streak(Timing().refusalStreakLimit) {}

    std::mutex listsLock;    // guards every runningWorkers and finishedWorkers
    RequestSpacing spacing;  // of refusal-page and card requests, shared between processes
    FailureStreak streak;    // the run's requests: a portal that refuses them all ends retries
    std::atomic<qint32> proxyCursor{-1};
    QStringList proxies;  // filled at set-up, only read afterwards
    bool useProxy = false;
    // Certificates the portal's chain must end in; empty: the portal is not checked.
    QString portalCaFile;
    std::atomic<qint32> detailsInFlight{0};
    LogSink* log = nullptr;  // where workers write their log lines
    // Told when a worker hands its page in or ends; the driver waits on it when idle.
    std::shared_ptr<WakeSignal> driverWake = std::make_shared<WakeSignal>();
};

// The running and finished workers of one phase; guarded by RunShared::listsLock.
struct WorkerLists {
    QList<FetchWorker*> runningWorkers;
    QList<FetchWorker*> finishedWorkers;
};
