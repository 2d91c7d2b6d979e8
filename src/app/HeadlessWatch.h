#pragma once

#include <QObject>
#include <QTimer>
#include <memory>

#include "app/CommandLine.h"
#include "app/ServiceNotifier.h"
#include "store/FileLayout.h"

class ConsoleRunReport;
class RunDriver;

// The program without a window: runs the run driver with the options in place of the window's
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
    void StartRun();
    void RunFinished();
    bool ProxyFileHasLines();
    QString RunEndStatus();

    CommandLine options_;
    FileLayout layout_;
    ConsoleRunReport& report_;
    bool useProxy_;
    int threads_;
    ServiceNotifier notifier_;
    std::unique_ptr<RunDriver> run_;
    QTimer restartTimer_;
    // While stopping, a run that a failed phase holds is continued so that it can get out.
    QTimer stopPoll_;
    bool stopping_ = false;
};
