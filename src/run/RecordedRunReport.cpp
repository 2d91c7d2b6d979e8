#include "run/RecordedRunReport.h"

#include <QTimer>

#include "fetch/RunTiming.h"
#include "run/RunControl.h"
#include "text/StampedLine.h"

RecordedRunReport::RecordedRunReport() : context_(new QObject) {
    thread_.setObjectName(QStringLiteral("RecordedRunReport"));
    context_->moveToThread(&thread_);
    QObject::connect(&thread_, &QThread::finished, context_, &QObject::deleteLater);
    thread_.start();
}

RecordedRunReport::~RecordedRunReport() {
    thread_.quit();
    thread_.wait();
}

void RecordedRunReport::setRestartChecked(bool checked) {
    std::lock_guard lock(mutex_);
    restartChecked_ = checked;
}

QStringList RecordedRunReport::log() const {
    std::lock_guard lock(mutex_);
    return log_;
}

QStringList RecordedRunReport::results() const {
    std::lock_guard lock(mutex_);
    return results_;
}

QStringList RecordedRunReport::balloons() const {
    std::lock_guard lock(mutex_);
    return balloons_;
}

int RecordedRunReport::progressMaximum() const {
    std::lock_guard lock(mutex_);
    return progressMaximum_;
}

int RecordedRunReport::progressPosition() const {
    std::lock_guard lock(mutex_);
    return progressPosition_;
}

QString RecordedRunReport::progressHint() const {
    std::lock_guard lock(mutex_);
    return progressHint_;
}

QString RecordedRunReport::contractsLabel() const {
    std::lock_guard lock(mutex_);
    return contractsLabel_;
}

QString RecordedRunReport::queuedLabel() const {
    std::lock_guard lock(mutex_);
    return queuedLabel_;
}

bool RecordedRunReport::runControlsEnabled() const {
    std::lock_guard lock(mutex_);
    return runControlsEnabled_;
}

bool RecordedRunReport::restartTimerArmed() const {
    std::lock_guard lock(mutex_);
    return restartTimerArmed_;
}

int RecordedRunReport::resumeTimerArms() const {
    std::lock_guard lock(mutex_);
    return resumeTimerArms_;
}

int RecordedRunReport::progressRefreshes() const {
    std::lock_guard lock(mutex_);
    return progressRefreshes_;
}

int RecordedRunReport::logLineCount() {
    std::lock_guard lock(mutex_);
    return static_cast<int>(log_.size());
}

void RecordedRunReport::clearLog() {
    std::lock_guard lock(mutex_);
    log_.clear();
}

void RecordedRunReport::appendLog(const QString& line) {
    std::lock_guard lock(mutex_);
    // A text view shows an appended text with line breaks as several lines.
    log_.append(line.split(QStringLiteral("\r\n")));
}

QStringList RecordedRunReport::logLines() {
    return log();
}

void RecordedRunReport::setProgress(int maximum, int position, const QString& hint) {
    std::lock_guard lock(mutex_);
    progressMaximum_ = maximum;
    progressPosition_ = position;
    progressHint_ = hint;
    ++progressRefreshes_;
}

void RecordedRunReport::setCounters(const QString& contracts, const QString& queued) {
    std::lock_guard lock(mutex_);
    contractsLabel_ = contracts;
    queuedLabel_ = queued;
}

void RecordedRunReport::setRunControlsEnabled(bool enabled) {
    std::lock_guard lock(mutex_);
    runControlsEnabled_ = enabled;
}

bool RecordedRunReport::restartChecked() {
    std::lock_guard lock(mutex_);
    return restartChecked_;
}

int RecordedRunReport::startRestartTimer() {
    std::lock_guard lock(mutex_);
    restartTimerArmed_ = true;
    return Timing().restartTimerMs;
}

void RecordedRunReport::startResumeTimer(std::weak_ptr<RunControl> run, int ms) {
    {
        std::lock_guard lock(mutex_);
        ++resumeTimerArms_;
    }
    // The timer may fire after the driver is gone; it only reaches the shared run control.
    QTimer::singleShot(ms, context_, [this, control = std::move(run)] {
        auto target = control.lock();
        if (target && !target->Done() && target->Held()) {
            // Logged before the driver goes on, so the line stands before anything it logs next.
            appendLog(StampedLine(QStringLiteral("Отключаем паузу, продолжаем работу")));
            target->Continue();
        }
    });
}

void RecordedRunReport::appendResult(const QString& line) {
    std::lock_guard lock(mutex_);
    results_.append(line);
}

void RecordedRunReport::showRefusalBalloon(const QString& title, const QString& text) {
    std::lock_guard lock(mutex_);
    balloons_.append(title + QLatin1Char('|') + text);
}
