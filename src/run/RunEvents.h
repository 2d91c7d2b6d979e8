#pragma once

#include <QString>
#include <memory>

#include "fetch/LogSink.h"
#include "run/RunHealth.h"

class RunControl;

// How a run ended, told with the end state.
struct RunEnding {
    bool stopped = false;  // by Stop, by closing, by a signal: no new run follows on its own
    QString logFolder;     // where the run's log file goes
    RunHealth health;      // how well the run saw the portal
};

// What a run tells its face. The driver and its workers have these called on the face's thread
// (the thread of context()) in the order they made them, and go on without waiting: every
// argument is a value, and no face reaches into the driver.
class RunEvents : public LogSink {
public:
    // One stamped line of the run's log; empties the log first when it is over its cap.
    virtual void LogLine(const QString& text) = 0;
    // The progress of the current phase; already thinned out to about once a second.
    virtual void ProgressChanged(int position, int maximum) = 0;
    // Contracts found by the searches and refusal pages waiting to be read.
    virtual void CountersChanged(int contractsFound, int refusalsQueued) = 0;
    // The run began: the face shows it is busy.
    virtual void RunBusy() = 0;
    // The run is over: the face writes the run's log file.
    virtual void RunIdle(const RunEnding& how) = 0;
    // A phase came to its end: `failure` is empty when it completed. After a failure the
    // driver is held and waits until `run` is continued (by the watch's resume timer) or
    // terminated.
    virtual void PhaseEnded(const QString& failure, std::weak_ptr<RunControl> run) = 0;
    // A refusal was accepted: the results line and the balloon.
    virtual void RefusalAccepted(const QString& signedAt, const QString& cardUrl) = 0;
    // About once a minute while refusal pages are read: `read` of `listed`, and `text`, the
    // same line the log gets, with the time left at this pace.
    virtual void RefusalPagesRead(int read, int listed, const QString& text) = 0;
};
