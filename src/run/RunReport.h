#pragma once

#include <QString>
#include <QStringList>

#include "run/RunEvents.h"

// The run's events as both faces show them: the log with its cap and its file, the results,
// the progress and counter texts, the end-of-run lines and the lines of a failed phase,
// written once over a handful of display operations that the window and the headless face
// each provide. What follows from an event (a restart, the end of a pause) is the watch's.
class RunReport : public RunEvents {
public:
    // The log is emptied when it holds more than this many lines.
    static constexpr int kLogLineCap = 100000;

    void LogLine(const QString& text) override;
    void ProgressChanged(int position, int maximum) override;
    void CountersChanged(int contractsFound, int refusalsQueued) override;
    void RunBusy() override;
    void RunIdle(const RunEnding& how) override;
    void PhaseEnded(const QString& failure, std::weak_ptr<RunControl> run) override;
    void RefusalAccepted(const QString& signedAt, const QString& cardUrl) override;
    // The progress bar shows the refusal pages read of those listed, the line as its hint.
    void RefusalPagesRead(int read, int listed, const QString& text) override;
    void WriteLog(const QString& text) override;
    void AppendRawLine(const QString& line) override;

protected:
    // The log.
    virtual int logLineCount() = 0;
    virtual void clearLog() = 0;
    virtual void appendLog(const QString& line) = 0;
    virtual QStringList logLines() = 0;
    // The progress bar, with the hint shown on hover.
    virtual void setProgress(int maximum, int position, const QString& hint) = 0;
    // The two counter labels.
    virtual void setCounters(const QString& contracts, const QString& queued) = 0;
    // The controls that start a run.
    virtual void setRunControlsEnabled(bool enabled) = 0;
    // The results list.
    virtual void appendResult(const QString& line) = 0;
    // A balloon at the tray icon, when the icon is shown.
    virtual void showRefusalBalloon(const QString& title, const QString& text) = 0;
};
