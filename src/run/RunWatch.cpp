#include "run/RunWatch.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QTimer>
#include <algorithm>

#include "fetch/ProxyFile.h"
#include "fetch/RunTiming.h"
#include "run/RecheckLedger.h"
#include "run/RunControl.h"
#include "run/RunDriver.h"

namespace {

const QString kProxyFileEmpty =
    QStringLiteral("файл proxy.txt пустой, задайте в него прокси в формате ip:port:login:password");
const QString kPauseOn = QStringLiteral("Включаем паузу");
const QString kPauseOff = QStringLiteral("Отключаем паузу, продолжаем работу");
const QString kStopping = QStringLiteral("Останавливаем работу");

QTimer* SingleShot(QObject* parent, const char* name) {
    auto* timer = new QTimer(parent);
    timer->setObjectName(QString::fromLatin1(name));
    timer->setSingleShot(true);
    return timer;
}

}  // namespace

RunWatch::RunWatch(RunEvents& display, std::function<RunChoice()> choose, QObject* parent)
    : QObject(parent),
      display_(display),
      choose_(std::move(choose)),
      currentDay_([] { return QDate::currentDate(); }),
      restartTimer_(SingleShot(this, "restartTimer")),
      resumeTimer_(SingleShot(this, "resumeTimer")),
      recheckLedger_(std::make_shared<RecheckLedger>()) {
    restartTimer_->setInterval(Timing().restartTimerMs);
    resumeTimer_->setInterval(Timing().resumeTimerMs);
    connect(restartTimer_, &QTimer::timeout, this, [this] { Start(); });
    connect(resumeTimer_, &QTimer::timeout, this, &RunWatch::ResumeAfterPause);
}

RunWatch::~RunWatch() {
    if (run_) {
        // Whatever it posts from here on is dropped with this object, unseen.
        run_->AbandonNetwork();
        run_->Control()->Terminate();
        run_.reset();
    }
}

QDate RunWatch::DefaultContractFrom(const QDate& today) {
    return QDate(today.year() - 1, 1, 1);
}

RunOptions RunWatch::OptionsFor(const RunChoice& choice, const QDate& today) {
    RunOptions options;
    options.useProxy = choice.useProxy;
    options.contractFrom =
        choice.contractFrom.isValid() ? choice.contractFrom : DefaultContractFrom(today);
    options.contractTo = choice.contractTo.isValid() ? choice.contractTo : today;
    if (choice.refusalFilter) {
        options.refusalFrom = choice.refusalFrom;
        options.refusalTo = choice.refusalTo;
    }
    options.testExport = choice.testExport;
    options.threadLimit = choice.threads;
    options.programDir = choice.programDir;
    options.workDir = choice.workDir;
    if (!choice.mutexName.isEmpty()) {
        options.mutexName = choice.mutexName;
    }
    return options;
}

void RunWatch::SetCurrentDay(std::function<QDate()> currentDay) {
    currentDay_ = std::move(currentDay);
}

// --- Run control ---

bool RunWatch::RunActive() const {
    return run_ && !run_->Control()->Done();
}

bool RunWatch::Held() const {
    return RunActive() && run_->Control()->Held();
}

std::shared_ptr<RunControl> RunWatch::Control() const {
    return run_ ? run_->Control() : nullptr;
}

bool RunWatch::Start() {
    if (RunActive()) {
        return false;
    }
    if (run_) {
        // The last run has just ended: its last events are shown before anything of the next.
        QCoreApplication::sendPostedEvents(this);
        Collect();
    }
    const RunChoice choice = choose_();
    const QString programDir =
        choice.programDir.isEmpty() ? QCoreApplication::applicationDirPath() : choice.programDir;
    if (choice.useProxy &&
        !ProxyFileNamesAProxy(QDir(programDir).filePath(QStringLiteral("proxy.txt")))) {
        Show([](RunEvents& display) { display.WriteLog(kProxyFileEmpty); });
        emit startRefused();
        return false;
    }
    restartTimer_->stop();

    RunOptions options = OptionsFor(choice, currentDay_());
    // A watch whose runs repeat goes round the known refusal pages in turns.
    options.repeating = repeating_;
    options.recheckLedger = recheckLedger_;
    options.probe = probesFailed_ > 0;
    summary_ = RunSummary();
    run_ = std::make_unique<RunDriver>(this, options);
    const quint64 serial = ++runSerial_;
    connect(
        run_.get(), &QThread::finished, this,
        [this, serial] {
            if (serial == runSerial_) {
                Collect();
            }
        },
        Qt::QueuedConnection);
    run_->start();
    emit runStarted(options);
    return true;
}

bool RunWatch::Stop(bool abandonNetwork) {
    restartTimer_->stop();
    if (!RunActive()) {
        return false;
    }
    if (abandonNetwork) {
        run_->AbandonNetwork();
    }
    run_->Control()->Terminate();
    Show([](RunEvents& display) { display.WriteLog(kStopping); });
    return true;
}

void RunWatch::TogglePause() {
    if (!RunActive()) {
        return;
    }
    const std::shared_ptr<RunControl> control = run_->Control();
    if (control->Held()) {
        // Logged before the driver goes on, so the line stands before anything it logs next.
        Show([](RunEvents& display) { display.WriteLog(kPauseOff); });
        control->Continue();
        return;
    }
    control->Hold();
    Show([](RunEvents& display) { display.WriteLog(kPauseOn); });
    // An operator's pause is not ended by a pending automatic resume.
    resumeTimer_->stop();
}

void RunWatch::ResumeAfterPause() {
    resumeTimer_->stop();
    if (Held()) {
        Show([](RunEvents& display) { display.WriteLog(kPauseOff); });
        run_->Control()->Continue();
    }
}

void RunWatch::SetThreadLimit(int limit) {
    if (RunActive()) {
        run_->Control()->SetThreadLimit(limit);
    }
}

bool RunWatch::StopForExit(int timeoutMs) {
    // No new run may begin while the program ends.
    restartTimer_->stop();
    resumeTimer_->stop();
    if (RunActive()) {
        run_->AbandonNetwork();
        run_->Control()->Terminate();
    }
    if (!run_) {
        return true;
    }
    // The driver never waits for this thread, so waiting for it here cannot deadlock.
    if (!run_->wait(QDeadlineTimer(timeoutMs))) {
        return false;
    }
    // Its end state (the log file among it) is written before the program goes on.
    QCoreApplication::sendPostedEvents(this);
    Collect();
    restartTimer_->stop();
    resumeTimer_->stop();
    return true;
}

void RunWatch::Collect() {
    if (!run_) {
        return;
    }
    run_->wait();
    RunSummary summary = summary_;
    summary.setUpFailed = run_->Outcome().setUpFailed;
    summary.health = run_->Outcome().health;
    run_.reset();
    emit runEnded(summary);
}

// --- The run's events, on to the display ---

void RunWatch::Show(std::function<void(RunEvents&)> call) {
    RunEvents& display = display_;
    CallOnSinkThread(display, [&display, call = std::move(call)] { call(display); });
}

void RunWatch::LogLine(const QString& text) {
    Show([text](RunEvents& display) { display.LogLine(text); });
}

void RunWatch::ProgressChanged(int position, int maximum) {
    Show([position, maximum](RunEvents& display) { display.ProgressChanged(position, maximum); });
}

void RunWatch::RefusalPagesRead(int read, int listed, const QString& text) {
    Show(
        [read, listed, text](RunEvents& display) { display.RefusalPagesRead(read, listed, text); });
    emit refusalPagesRead(text);
}

void RunWatch::CountersChanged(int contractsFound, int refusalsQueued) {
    Show([contractsFound, refusalsQueued](RunEvents& display) {
        display.CountersChanged(contractsFound, refusalsQueued);
    });
}

void RunWatch::RunBusy() {
    Show([](RunEvents& display) { display.RunBusy(); });
}

void RunWatch::RunIdle(const RunEnding& how) {
    Show([how](RunEvents& display) { display.RunIdle(how); });
    // A stop that came while this event waited to be handled counts too.
    const bool stopped = how.stopped || (run_ && run_->Control()->Terminated());
    if (stopped || !repeating_) {
        return;
    }
    // A portal that refused every request is asked again at growing gaps, with one request.
    int delayMs = Timing().restartTimerMs;
    if (how.health.gaveUp) {
        const auto& gaps = Timing().probeGapsMs;
        delayMs = gaps[std::min<size_t>(size_t(probesFailed_), gaps.size() - 1)];
        ++probesFailed_;
    } else {
        probesFailed_ = 0;
    }
    restartTimer_->start(delayMs);
    // After the log file is written, so the file does not hold it.
    const QString line = QStringLiteral("\r\nПовторная выгрузка начнётся через ") +
                         QString::number(restartTimer_->interval() / 1000) +
                         QStringLiteral(" секунд");
    Show([line](RunEvents& display) { display.AppendRawLine(line); });
}

void RunWatch::PhaseEnded(const QString& failure, std::weak_ptr<RunControl> run) {
    Show([failure, run](RunEvents& display) { display.PhaseEnded(failure, run); });
    if (!failure.isEmpty()) {
        summary_.phaseFailed = true;
        // The driver holds itself; the timer continues it if it is still held then.
        resumeTimer_->start(Timing().resumeTimerMs);
    }
}

void RunWatch::RefusalAccepted(const QString& signedAt, const QString& cardUrl) {
    ++summary_.refusalsAccepted;
    Show([signedAt, cardUrl](RunEvents& display) { display.RefusalAccepted(signedAt, cardUrl); });
}

void RunWatch::WriteLog(const QString& text) {
    Show([text](RunEvents& display) { display.WriteLog(text); });
}

void RunWatch::AppendRawLine(const QString& line) {
    Show([line](RunEvents& display) { display.AppendRawLine(line); });
}
