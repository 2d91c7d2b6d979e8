#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>
#include <functional>
#include <ostream>

#include "fetch/RunTiming.h"
#include "run/RunOptions.h"

// Timing scaled down for tests: every pause and spacing keeps its proportions, but a test run
// takes milliseconds where the product takes seconds. Restores the previous timing on exit.
class ScopedTiming {
public:
    explicit ScopedTiming(const RunTiming& timing);
    ~ScopedTiming();
    // The product's timing divided by `divisor` (at least 1 ms where the default is above 0).
    static RunTiming Scaled(int divisor);

private:
    RunTiming saved_;
};

// Writes `bytes` to `path`, creating folders as needed.
void WriteFile(const QString& path, const QByteArray& bytes);
QByteArray ReadFile(const QString& path);

// Waits until `condition` holds, processing this thread's events, for at most `timeoutMs`.
bool WaitFor(const std::function<bool()>& condition, int timeoutMs);

// A run whose files are all in `dir`, with a spacing mutex of its own, so that tests running side
// by side never wait for each other's requests.
RunOptions RunOptionsIn(const QString& dir);

// QString values in GoogleTest's failure messages as quoted UTF-8 text rather than bytes.
// GoogleTest finds it by argument-dependent lookup: QString is in the global namespace.
void PrintTo(const QString& text, std::ostream* out);
