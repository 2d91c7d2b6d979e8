#pragma once

#include <QDate>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>

#include "run/RunEvents.h"
#include "run/RunHealth.h"
#include "run/RunOptions.h"
#include "store/SettingsFile.h"

class QTimer;
class RunControl;
class RecheckLedger;
class RunDriver;

// What a face chose for its runs; the watch turns it into each run's options.
struct RunChoice {
    QDate contractFrom;  // null: 1 January of last year
    QDate contractTo;    // null: the current day, taken afresh at every run
    bool refusalFilter = false;
    QDate refusalFrom;  // with the filter on; a null date is no bound
    QDate refusalTo;
    int threads = settings_file::kDefaultThreadLimit;
    bool useProxy = false;  // the proxies of proxy.txt
    bool testExport = false;
    QString programDir;  // settings.ini, proxy.txt, logs, CSV files; empty: the program's folder
    QString workDir;     // have.txt and StartURL.txt; empty: the current folder
    QString mutexName;   // the runs' named mutex; empty: the product's
};

// How a run ended, as the watch saw it.
struct RunSummary {
    bool setUpFailed = false;  // the run could not begin
    bool phaseFailed = false;  // a phase of it failed
    int refusalsAccepted = 0;  // refusals it announced
    RunHealth health;          // how well it saw the portal
};

// The watch both faces run: it starts runs from what the face chose, owns the current run's
// driver, pauses, resumes after a failed phase, stops, and repeats a run a restart delay after
// each one that was not stopped. It stands between the driver and the face's report: every
// event of a run reaches it on its own thread and goes on to the report, so a face only shows
// and asks. Lives on one thread, the face's; every call comes from there.
class RunWatch : public QObject, public RunEvents {
    Q_OBJECT
public:
    // `display` shows the runs and must outlive the watch; `choose` is asked at every start.
    RunWatch(RunEvents& display, std::function<RunChoice()> choose, QObject* parent = nullptr);
    ~RunWatch() override;

    // The contract date "from" when the face chose none: 1 January of last year.
    static QDate DefaultContractFrom(const QDate& today);
    // A run's options from a face's choice, with `today` for the defaults.
    static RunOptions OptionsFor(const RunChoice& choice, const QDate& today);

    // Where the current day comes from; the calendar's day unless set.
    void SetCurrentDay(std::function<QDate()> currentDay);
    // Whether a run that ended without being stopped is followed by a new one; a restart
    // already pending stays.
    void SetRepeating(bool repeating) { repeating_ = repeating; }
    bool Repeating() const { return repeating_; }

    // Starts a run from the face's choice, cancelling a pending restart. False when a run is
    // going, or when proxies are on and proxy.txt names none (one line says so, and
    // startRefused follows).
    bool Start();
    // Asks the run to leave (with `abandonNetwork`, a Telegram notice in flight as well) and
    // cancels a pending restart. False when no run was going.
    bool Stop(bool abandonNetwork);
    // The operator's pause: holds a running run, or continues a held one.
    void TogglePause();
    // The resume timer's end of a failed phase's pause.
    void ResumeAfterPause();
    // Applies to the run in flight from its next worker on; each run starts with its choice.
    void SetThreadLimit(int limit);
    // Stops the run with its network calls so that the program can end, and waits at most
    // `timeoutMs` for its thread; what the run told before its end is shown before this
    // returns. True when no run is left.
    bool StopForExit(int timeoutMs);

    // A run goes and has not come to its end.
    bool RunActive() const;
    // No run is left: none was started, or the last one's thread has ended and been let go.
    bool Idle() const { return run_ == nullptr; }
    bool Held() const;
    // The current run's control; null when idle.
    std::shared_ptr<RunControl> Control() const;
    QTimer* restartTimer() const { return restartTimer_; }
    QTimer* resumeTimer() const { return resumeTimer_; }

    // RunEvents: each goes on to the display; a failed phase arms the resume timer, the end of
    // a run that was not stopped the restart timer.
    QObject* context() override { return this; }
    void LogLine(const QString& text) override;
    void ProgressChanged(int position, int maximum) override;
    void CountersChanged(int contractsFound, int refusalsQueued) override;
    void RunBusy() override;
    void RunIdle(const RunEnding& how) override;
    void PhaseEnded(const QString& failure, std::weak_ptr<RunControl> run) override;
    void RefusalAccepted(const QString& signedAt, const QString& cardUrl) override;
    void RefusalPagesRead(int read, int listed, const QString& text) override;
    void WriteLog(const QString& text) override;
    void AppendRawLine(const QString& line) override;

signals:
    // A run has begun with these options.
    void runStarted(const RunOptions& options);
    // A start found no proxy in proxy.txt.
    void startRefused();
    // A run's thread has ended and the watch has let go of its driver; its health is in
    // `summary`.
    void runEnded(const RunSummary& summary);
    // How far a run's refusal pages are, about once a minute (the service's status line).
    void refusalPagesRead(const QString& text);

private:
    // Runs `call` with the display on the display's thread, behind what went before.
    void Show(std::function<void(RunEvents&)> call);
    // Lets go of a driver whose run is over, once what it posted has been handled.
    void Collect();

    RunEvents& display_;
    std::function<RunChoice()> choose_;
    std::function<QDate()> currentDay_;
    bool repeating_ = false;
    QTimer* restartTimer_;
    QTimer* resumeTimer_;
    std::unique_ptr<RunDriver> run_;
    // Tells the end of the current run's thread from that of a driver let go before.
    quint64 runSerial_ = 0;
    RunSummary summary_;
    // How many probes of a portal that refused every request have failed in a row: the next
    // one waits the gap of this place. 0: the last run was answered.
    int probesFailed_ = 0;
    // When each refusal page met before was last checked again, across this watch's runs.
    std::shared_ptr<RecheckLedger> recheckLedger_;
};
