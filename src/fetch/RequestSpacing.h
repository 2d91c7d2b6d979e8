#pragma once

#include <QString>
#include <atomic>

#include "fetch/ProcessMutex.h"

// The spacing of refusal-page and card requests, kept for every process on the machine that
// uses the same name: the window and a service on one folder must together leave the portal
// the same gap as one of them alone.
//
// The moments live in the lock file of a ProcessMutex, read and written under its lock, as
// readings of the system's monotonic clock (the same in every process until the next boot): the
// latest response or failure any process saw, and the latest request start with the process that
// made it. A request may start once the spacing has passed since the latest response or failure
// and since the latest start of another process, and while no request of another process is in
// flight (a start later than the latest response, by a process that still lives, not older than
// `inFlightLimitMs`); so two instances take turns as the requests of one instance do. Starts of
// one process among themselves count as they always did, from the responses only. Nobody
// sleeps holding the lock, so recording a response never waits for a sleeper.
class RequestSpacing {
public:
    // Opens (creating when needed) the lock file for `name`. Throws RunError when it cannot.
    explicit RequestSpacing(const QString& name);

    // Records a detail response or failure seen now.
    void RecordDone();
    // How long a new detail request must still wait, in milliseconds; 0 when it may go now, and
    // then its start is recorded.
    qint64 TryStart(qint64 spacingMs, qint64 inFlightLimitMs);

    QString lockFilePath() const { return mutex_.lockFilePath(); }

private:
    struct Moments {
        qint64 done = 0;   // the latest response or failure; 0: none
        qint64 start = 0;  // the latest request start; 0: none
        qint64 startPid = 0;
    };
    Moments Read() const;
    void Write(const Moments& moments) const;

    ProcessMutex mutex_;
    // This process's own latest response, should the file not take the moments.
    std::atomic<qint64> lastDone_{0};
};
