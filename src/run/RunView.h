#pragma once

#include <QString>

#include "fetch/LogSink.h"

class RunDriver;

// The window side of a run: every call a run driver or its workers make to the window. Each
// call runs on the view's thread (the thread of context()) while the caller waits, so the
// driver's fields are touched by one thread at a time.
class RunView : public LogSink {
public:
    virtual ~RunView() = default;

    // One stamped line with run.LogMessageText; empties the log first when it is over the cap.
    virtual void AddLogLine(RunDriver& run) = 0;
    // Copies the thread count into run.Limit; refreshes the progress bar at most once a second.
    virtual void ShowProgress(RunDriver& run) = 0;
    // Refreshes the two counters at most once a second (and then copies the thread count).
    virtual void ShowCounters(RunDriver& run) = 0;
    // The start state (run.CursorHourGlass true) or the end state of the window.
    virtual void ToggleBusy(RunDriver& run) = 0;
    // The completion line, or the error line and a 5-second pause of the driver.
    virtual void ReportRunEnd(RunDriver& run) = 0;
    // Arms the resume timer that ends an automatic pause.
    virtual void StartResumeTimer(RunDriver& run) = 0;
    // Copies the test-export box into run.CheckBox1Checked.
    virtual void ReadTestExportFlag(RunDriver& run) = 0;
    // The results line and the tray balloon of one accepted refusal (ProtocolDate, ProtocolUrl).
    virtual void AnnounceReject(RunDriver& run) = 0;
};
