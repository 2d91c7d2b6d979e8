#pragma once

#include <QString>
#include <memory>

#include "run/RunEvents.h"
#include "run/RunHealthCheck.h"
#include "run/RunProgress.h"

class RunControl;

// The run's side of its events: every call hands its values to the face, the progress and the
// counters thinned out to about once a second. Used on the driver's thread only.
class RunReporter {
public:
    RunReporter(RunEvents& events, std::shared_ptr<RunControl> control);

    // One stamped line of the log.
    void Log(const QString& text);
    // A line as it stands, without a stamp.
    void RawLine(const QString& line);
    void Busy();
    void Idle(const RunEnding& how);
    void RefusalAccepted(const QString& signedAt, const QString& cardUrl);
    // How far the refusal pages are: logged, and shown where each face shows progress.
    void RefusalPagesRead(int read, int listed, const QString& text);
    // Tells the face how a phase ended; after a failure the run is held and this waits until the
    // face continues it.
    void PhaseEnded(const QString& failure);

    RunProgress& Progress() { return progress_; }
    // What the run saw of the portal, for its health.
    RunHealthCheck& Health() { return health_; }
    // The progress and the counters, each at most about once a second.
    void ShowProgress();
    void ShowCounters();
    // The progress at once, whenever it was last shown.
    void ShowProgressNow();

    // Where fetch workers and notices write their lines.
    LogSink& Sink() { return events_; }

private:
    RunEvents& events_;
    std::shared_ptr<RunControl> control_;
    RunProgress progress_;
    RunHealthCheck health_;
};
