#pragma once

#include <QStringList>
#include <QThread>
#include <mutex>

#include "run/ControlsRunView.h"

class RunDriver;

// The window's side of a run without a window: controls kept in memory on a thread of their
// own. Used by the tests and by command-line runs. Every accessor is safe from any thread.
class HeadlessRunView : public ControlsRunView {
public:
    HeadlessRunView();
    ~HeadlessRunView() override;

    QObject* context() override { return context_; }

    // The controls a run reads.
    void setThreadCount(int count);
    void setRestartChecked(bool checked);
    void setTestExportChecked(bool checked);

    // What the run showed.
    QStringList log() const;
    QStringList results() const;
    QStringList balloons() const;
    int progressMaximum() const;
    int progressPosition() const;
    QString progressHint() const;
    QString tendersLabel() const;
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
    int threadCount() override;
    void setProgress(int maximum, int position, const QString& hint) override;
    void setCounters(const QString& tenders, const QString& queued) override;
    void setRunControlsEnabled(bool enabled) override;
    bool restartChecked() override;
    int startRestartTimer() override;
    void startResumeTimer(RunDriver& run, int ms) override;
    bool testExportChecked() override;
    void appendResult(const QString& line) override;
    void showRejectBalloon(const QString& title, const QString& text) override;
    void processPendingEvents() override {}

private:
    QThread thread_;
    QObject* context_;
    mutable std::mutex mutex_;
    QStringList log_;
    QStringList results_;
    QStringList balloons_;
    int threadCount_ = 30;
    bool restartChecked_ = false;
    bool testExportChecked_ = false;
    int progressMaximum_ = 0;
    int progressPosition_ = 0;
    QString progressHint_;
    QString tendersLabel_;
    QString queuedLabel_;
    bool runControlsEnabled_ = true;
    bool restartTimerArmed_ = false;
    int resumeTimerArms_ = 0;
    int progressRefreshes_ = 0;
};
