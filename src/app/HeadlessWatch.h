#pragma once

#include <QObject>

#include "app/CommandLine.h"
#include "app/ServiceNotifier.h"
#include "run/RunWatch.h"
#include "store/FileLayout.h"

class ConsoleRunReport;

// The program without a window: the run watch with the options in place of the window's
// controls, once or as a watch that starts a new run a restart delay after each one ends, until
// stopped. Ends the application's event loop with the exit code: 0 when the runs ended or were
// stopped, 1 when a single run had a failed phase, 2 when a run could not begin. Under a service
// manager it reports ready at the first run, a status line after every run, and its stop.
class HeadlessWatch : public QObject {
    Q_OBJECT
public:
    HeadlessWatch(const CommandLine& options, const FileLayout& layout, ConsoleRunReport& report,
                  int defaultThreads, bool defaultProxy);
    ~HeadlessWatch() override;

    void Start();
    // Like the window's stop button: the run in flight leaves at once and no new one begins.
    void Stop();

private:
    RunChoice Choice() const;
    void RunFinished(const RunSummary& summary);
    QString RunEndStatus(const RunSummary& summary);

    CommandLine options_;
    FileLayout layout_;
    ConsoleRunReport& report_;
    bool useProxy_;
    int threads_;
    ServiceNotifier notifier_;
    RunWatch watch_;
    bool stopping_ = false;
};
