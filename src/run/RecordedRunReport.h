#pragma once

#include <QStringList>
#include <QThread>
#include <mutex>

#include "run/RunReport.h"

// A run's report kept in memory, on a thread of its own: the log (and with it the log file), the
// results, the balloons, the last progress and counters. The headless face builds on it, and
// the tests read what a run showed from it. Every accessor is safe from any thread, and first
// waits until whatever was posted to the report before the call has been handled, so what a
// finished run told is there once its thread has ended.
class RecordedRunReport : public RunReport {
public:
    RecordedRunReport();
    ~RecordedRunReport() override;

    QObject* context() override { return context_; }

    // Waits until the report's thread has handled everything posted to it before this call;
    // returns at once on that thread. The destructor does it too, but as this class only: a
    // subclass with display operations of its own settles in its own destructor.
    void Settle() const;

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
    int progressRefreshes() const;

protected:
    int logLineCount() override;
    void clearLog() override;
    void appendLog(const QString& line) override;
    QStringList logLines() override;
    void setProgress(int maximum, int position, const QString& hint) override;
    void setCounters(const QString& contracts, const QString& queued) override;
    void setRunControlsEnabled(bool enabled) override;
    void appendResult(const QString& line) override;
    void showRefusalBalloon(const QString& title, const QString& text) override;

private:
    QThread thread_;
    QObject* context_;
    mutable std::mutex mutex_;
    QStringList log_;
    QStringList results_;
    QStringList balloons_;
    int progressMaximum_ = 0;
    int progressPosition_ = 0;
    QString progressHint_;
    QString contractsLabel_;
    QString queuedLabel_;
    bool runControlsEnabled_ = true;
    int progressRefreshes_ = 0;
};
