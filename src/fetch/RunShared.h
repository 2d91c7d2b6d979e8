#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <atomic>
#include <memory>
#include <mutex>

#include "fetch/RequestSpacing.h"
#include "fetch/WakeSignal.h"

class TScrapingThread;
class LogSink;

// The state one run shares with its fetch workers. The run driver makes it at set-up and keeps
// it until the last of its workers has ended.
struct RunShared {
    explicit RunShared(const QString& mutexName = QStringLiteral("QuorvaneMutex"))
        : spacing(mutexName) {}

    std::mutex ScraperLock;  // guards every RunningList and FinishedList
    RequestSpacing spacing;  // of refusal-page and card requests, shared between processes
    std::atomic<qint32> ProxyCursor{-1};
    QStringList ProxyList;  // filled at set-up, only read afterwards
    bool UseProxy = false;
    std::atomic<qint32> DetailsInFlight{0};
    LogSink* view = nullptr;  // where workers write their log lines
    // Told when a worker hands its page in or ends; the driver waits on it when idle.
    std::shared_ptr<WakeSignal> driverWake = std::make_shared<WakeSignal>();
};

// The running and finished workers of one phase; guarded by RunShared::ScraperLock.
struct WorkerLists {
    QList<TScrapingThread*> RunningList;
    QList<TScrapingThread*> FinishedList;
};
