#pragma once

#include <QStringList>
#include <QThread>
#include <mutex>

#include "run/RunReport.h"

// A run's report kept in memory, on a thread of its own: the log (and with it the log file), the
// results, the balloons, the last progress and counters. The headless face builds on it, and
// the tests read what a run showed from it. Every accessor is safe from any thread.
class RecordedRunReport : public RunReport {
public:
    RecordedRunReport();
    ~RecordedRunReport() override;

    QObject* context() override { return context_; }

    // Whether a new run follows each run on its own.
    void setRestartChecked(bool checked);

    // What the run showed.
    QStringList log() const;
    QStringList results() const;
    QStringList balloons() const;
    int progressMaximum() const;
    int progressPosition() const;
    QString progressHint() const;
    QString contractsLabel() const;
    QString queuedLabel() const;
    bool runControlsEnabled() const;
    bool restartTimerArmed() const;
    int resumeTimerArms() const;
    int progressRefreshes() const;

protected:
    int logLineCount() override;
    void clearLog() override;
    void appendLog(const QString& line) override;
    QStringList logLines() override;
    void setProgress(int maximum, int position, const QString& hint) override;
    void setCounters(const QString& contracts, const QString& queued) override;
    void setRunControlsEnabled(bool enabled) override;
    bool restartChecked() override;
    int startRestartTimer() override;
    void startResumeTimer(std::weak_ptr<RunControl> run, int ms) override;
    void appendResult(const QString& line) override;
    void showRefusalBalloon(const QString& title, const QString& text) override;
    void processPendingEvents() override {}

private:
    QThread thread_;
    QObject* context_;
    mutable std::mutex mutex_;
    QStringList log_;
    QStringList results_;
    QStringList balloons_;
    bool restartChecked_ = false;
    int progressMaximum_ = 0;
    int progressPosition_ = 0;
    QString progressHint_;
    QString contractsLabel_;
    QString queuedLabel_;
    bool runControlsEnabled_ = true;
    bool restartTimerArmed_ = false;
    int resumeTimerArms_ = 0;
    int progressRefreshes_ = 0;
};
