#pragma once

#include <atomic>
#include <cstdio>
#include <mutex>

#include "run/RecordedRunReport.h"

// The report of a run without a window, with every line the window's log and results would get
// also written to a stream (standard output), one line each, flushed at once: a
// service manager's journal is the log viewer then.
class ConsoleRunReport : public RecordedRunReport {
public:
    explicit ConsoleRunReport(std::FILE* out = stdout) : out_(out) {}

    // A line to the stream alone, for lines the window shows before any run.
    void Echo(const QString& text);

    // Whether the run that has just ended armed the restart timer; resets it.
    bool TakeRestartArmed() { return restartArmed_.exchange(false); }
    // Whether a phase of the run that has just ended failed; resets it.
    bool TakePhaseFailed() { return phaseFailed_.exchange(false); }
    // How many refusals the run that has just ended announced; resets the count.
    int TakeRefusalsFound() { return refusalsFound_.exchange(0); }

    void PhaseEnded(const QString& failure, std::weak_ptr<RunControl> run) override;
    void RefusalAccepted(const QString& refusalDate, const QString& cardUrl) override;

protected:
    void appendLog(const QString& line) override;
    // Results are only written out: a watch that runs for months keeps none of them.
    void appendResult(const QString& line) override;
    int startRestartTimer() override;

private:
    // Called with echoMutex_ held.
    void WriteLines(const QString& text);

    std::FILE* out_;
    std::mutex echoMutex_;
    std::atomic<bool> restartArmed_{false};
    std::atomic<bool> phaseFailed_{false};
    std::atomic<int> refusalsFound_{0};
};
