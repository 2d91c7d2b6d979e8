#pragma once

#include <QString>
#include <QStringList>
#include <QThread>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "fetch/FetchFailure.h"
#include "fetch/RunShared.h"

class HttpClient;

// A fetch worker: fetches one portal page with the browser-like request profile, spaces refusal
// page and card requests against each other, retries failures, and hands itself from
// runningWorkers to finishedWorkers under listsLock. The terminate flag is the thread's
// interruption request (Terminate()).
class FetchWorker : public QThread {
    Q_OBJECT
public:
    FetchWorker(std::shared_ptr<RunShared> shared, WorkerLists* lists);
    // Asks a running worker to terminate and waits for its thread to end.
    ~FetchWorker() override;

    // Also ends the worker's spacing wait or pause at once.
    void Terminate();
    bool Terminated() const { return isInterruptionRequested(); }

    // Result codes.
    static constexpr qint32 kNothing = 0;
    static constexpr qint32 kSearchPage = 1;
    static constexpr qint32 kRefusalPage = 2;
    static constexpr qint32 kCardPage = 3;
    static constexpr qint32 kFailure = -1;

    // Set by the driver before the start.
    QString url;
    qsizetype cardIndex = -1;  // which accepted refusal a card worker fetches the card of

    // Handed back; final once the worker is in finishedWorkers.
    qint32 result = kNothing;
    QString html;        // one character per received byte (StreamToText)
    QString statusText;  // "успешно", or "ERROR_" + the reason of the last failure
    QString logLine;
    FetchFailure failure;  // how the last attempt failed; Kind::None after a success

    // Addresses of refusal pages and cards are spaced and may go through proxies.
    static bool IsDetailUrl(const QString& url);

    // The portal's base address: the scheme, host and port of a URL.
    static QString BaseAddressOf(const QString& url);

protected:
    void run() override;

private:
    void Fetch(HttpClient& client);
    void WaitForSpacing();
    void Pause(int ms);
    // Sleeps until `deadline` or a terminate request, whichever comes first.
    void SleepUntil(std::chrono::steady_clock::time_point deadline);
    void WriteLog();
    void Handoff();

    std::shared_ptr<RunShared> shared_;
    WorkerLists* lists_;
    int fetchAttempts_ = 0;
    std::mutex sleepMutex_;
    std::condition_variable sleepEnds_;
};
