#pragma once

#include <cstdio>
#include <mutex>

#include "run/RecordedRunReport.h"

// The report of a run without a window, with every line the window's log and results would get
// also written to a stream (standard output), one line each, flushed at once: a
// service manager's journal is the log viewer then.
class ConsoleRunReport : public RecordedRunReport {
public:
    explicit ConsoleRunReport(std::FILE* out = stdout) : out_(out) {}
    // Lines still queued go to the stream before the process ends.
    ~ConsoleRunReport() override { Settle(); }

    // A line to the stream alone, for lines the window shows before any run.
    void Echo(const QString& text);

protected:
    void appendLog(const QString& line) override;
    // Results are only written out: a watch that runs for months keeps none of them.
    void appendResult(const QString& line) override;

private:
    // Called with echoMutex_ held.
    void WriteLines(const QString& text);

    std::FILE* out_;
    std::mutex echoMutex_;
};
