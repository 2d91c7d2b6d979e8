#pragma once

#include <QObject>
#include <QString>
#include <functional>

class TScraper;

// The window side of a run: every call a run driver or its workers make to the window. Each
// call runs on the view's thread (the thread of context()) while the caller waits, so the
// driver's fields are touched by one thread at a time.
class RunView {
public:
    virtual ~RunView() = default;

    // An object living on the view's thread; calls are delivered to it.
    virtual QObject* context() = 0;

    // One stamped line with run.LogMessageText; empties the log first when it is over the cap.
    virtual void AddLogLine(TScraper& run) = 0;
    // Copies the thread count into run.Limit; refreshes the progress bar at most once a second.
    virtual void ShowProgress(TScraper& run) = 0;
    // Refreshes the two counters at most once a second (and then copies the thread count).
    virtual void ShowCounters(TScraper& run) = 0;
    // The start state (run.CursorHourGlass true) or the end state of the window.
    virtual void ToggleBusy(TScraper& run) = 0;
    // The completion line, or the error line and a 5-second pause of the driver.
    virtual void ReportRunEnd(TScraper& run) = 0;
    // Arms the resume timer that ends an automatic pause.
    virtual void StartResumeTimer(TScraper& run) = 0;
    // Copies the test-export box into run.CheckBox1Checked.
    virtual void ReadTestExportFlag(TScraper& run) = 0;
    // The results line and the tray balloon of one accepted refusal (ProtocolDate, ProtocolUrl).
    virtual void AnnounceReject(TScraper& run) = 0;

    // A stamped line from a worker or a notice; never empties the log.
    virtual void WriteLog(const QString& text) = 0;
    // A line appended as it stands, without a stamp.
    virtual void AppendRawLine(const QString& line) = 0;
};

// Runs `call` on the view's thread and waits until it has returned.
void CallOnView(RunView& view, const std::function<void()>& call);
