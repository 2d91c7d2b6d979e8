#pragma once

#include <QString>
#include <QStringList>

#include "run/RunView.h"

// The run-reporting calls as the window carries them out, written once over a handful of
// control operations that the real window and the headless view each provide.
class ControlsRunView : public RunView {
public:
    // The log memo is emptied when it holds more than this many lines.
    static constexpr int kLogLineCap = 100000;

    void AddLogLine(RunDriver& run) override;
    void ShowProgress(RunDriver& run) override;
    void ShowCounters(RunDriver& run) override;
    void ToggleBusy(RunDriver& run) override;
    void ReportRunEnd(RunDriver& run) override;
    void StartResumeTimer(RunDriver& run) override;
    void ReadTestExportFlag(RunDriver& run) override;
    void AnnounceReject(RunDriver& run) override;
    void WriteLog(const QString& text) override;
    void AppendRawLine(const QString& line) override;

protected:
    // The log memo.
    virtual int logLineCount() = 0;
    virtual void clearLog() = 0;
    virtual void appendLog(const QString& line) = 0;
    virtual QStringList logLines() = 0;
    // The thread-count field.
    virtual int threadCount() = 0;
    // The progress bar, with the hint shown on hover.
    virtual void setProgress(int maximum, int position, const QString& hint) = 0;
    // The two counter labels.
    virtual void setCounters(const QString& tenders, const QString& queued) = 0;
    // The start button and the test-export box.
    virtual void setRunControlsEnabled(bool enabled) = 0;
    virtual bool restartChecked() = 0;
    // Arms the restart timer and returns its interval in milliseconds.
    virtual int startRestartTimer() = 0;
    // Arms the resume timer; when it fires, the view continues `run` if it is still held.
    virtual void startResumeTimer(RunDriver& run, int ms) = 0;
    virtual bool testExportChecked() = 0;
    // The results memo.
    virtual void appendResult(const QString& line) = 0;
    // A balloon at the tray icon, when the icon is shown.
    virtual void showRejectBalloon(const QString& title, const QString& text) = 0;
    // Lets the window handle its pending events in the middle of a long run.
    virtual void processPendingEvents() = 0;
};
