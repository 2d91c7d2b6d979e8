#include "run/HeadlessRunView.h"

#include <QTimer>

#include "fetch/RunTiming.h"
#include "run/RunDriver.h"
#include "text/StampedLine.h"

HeadlessRunView::HeadlessRunView() : context_(new QObject) {
    thread_.setObjectName(QStringLiteral("HeadlessRunView"));
    context_->moveToThread(&thread_);
    QObject::connect(&thread_, &QThread::finished, context_, &QObject::deleteLater);
    thread_.start();
}

HeadlessRunView::~HeadlessRunView() {
    thread_.quit();
    thread_.wait();
}

void HeadlessRunView::setThreadCount(int count) {
    std::lock_guard lock(mutex_);
    threadCount_ = count;
}

void HeadlessRunView::setRestartChecked(bool checked) {
    std::lock_guard lock(mutex_);
    restartChecked_ = checked;
}

void HeadlessRunView::setTestExportChecked(bool checked) {
    std::lock_guard lock(mutex_);
    testExportChecked_ = checked;
}

QStringList HeadlessRunView::log() const {
    std::lock_guard lock(mutex_);
    return log_;
}

QStringList HeadlessRunView::results() const {
    std::lock_guard lock(mutex_);
    return results_;
}

QStringList HeadlessRunView::balloons() const {
    std::lock_guard lock(mutex_);
    return balloons_;
}

int HeadlessRunView::progressMaximum() const {
    std::lock_guard lock(mutex_);
    return progressMaximum_;
}

int HeadlessRunView::progressPosition() const {
    std::lock_guard lock(mutex_);
    return progressPosition_;
}

QString HeadlessRunView::progressHint() const {
    std::lock_guard lock(mutex_);
    return progressHint_;
}

QString HeadlessRunView::tendersLabel() const {
    std::lock_guard lock(mutex_);
    return tendersLabel_;
}

QString HeadlessRunView::queuedLabel() const {
    std::lock_guard lock(mutex_);
    return queuedLabel_;
}

bool HeadlessRunView::runControlsEnabled() const {
    std::lock_guard lock(mutex_);
    return runControlsEnabled_;
}

bool HeadlessRunView::restartTimerArmed() const {
    std::lock_guard lock(mutex_);
    return restartTimerArmed_;
}

int HeadlessRunView::resumeTimerArms() const {
    std::lock_guard lock(mutex_);
    return resumeTimerArms_;
}

int HeadlessRunView::progressRefreshes() const {
    std::lock_guard lock(mutex_);
    return progressRefreshes_;
}

int HeadlessRunView::logLineCount() {
    std::lock_guard lock(mutex_);
    return static_cast<int>(log_.size());
}

void HeadlessRunView::clearLog() {
    std::lock_guard lock(mutex_);
    log_.clear();
}

void HeadlessRunView::appendLog(const QString& line) {
    std::lock_guard lock(mutex_);
    // A memo shows an appended text with line breaks as several lines.
    log_.append(line.split(QStringLiteral("\r\n")));
}

QStringList HeadlessRunView::logLines() {
    return log();
}

int HeadlessRunView::threadCount() {
    std::lock_guard lock(mutex_);
    return threadCount_;
}

void HeadlessRunView::setProgress(int maximum, int position, const QString& hint) {
    std::lock_guard lock(mutex_);
    progressMaximum_ = maximum;
    progressPosition_ = position;
    progressHint_ = hint;
    ++progressRefreshes_;
}

void HeadlessRunView::setCounters(const QString& tenders, const QString& queued) {
    std::lock_guard lock(mutex_);
    tendersLabel_ = tenders;
    queuedLabel_ = queued;
}

void HeadlessRunView::setRunControlsEnabled(bool enabled) {
    std::lock_guard lock(mutex_);
    runControlsEnabled_ = enabled;
}

bool HeadlessRunView::restartChecked() {
    std::lock_guard lock(mutex_);
    return restartChecked_;
}

int HeadlessRunView::startRestartTimer() {
    std::lock_guard lock(mutex_);
    restartTimerArmed_ = true;
    return Timing().restartTimerMs;
}

void HeadlessRunView::startResumeTimer(RunDriver& run, int ms) {
    {
        std::lock_guard lock(mutex_);
        ++resumeTimerArms_;
    }
    // The timer may fire after the driver is gone; it only reaches the shared run control.
    std::weak_ptr<RunControl> control = run.Control();
    QTimer::singleShot(ms, context_, [this, control] {
        auto target = control.lock();
        if (target && !target->Done() && target->Held()) {
            // Logged before the driver goes on, so the line stands before anything it logs next.
            appendLog(StampedLine(QStringLiteral("Отключаем паузу, продолжаем работу")));
            target->Continue();
        }
    });
}

bool HeadlessRunView::testExportChecked() {
    std::lock_guard lock(mutex_);
    return testExportChecked_;
}

void HeadlessRunView::appendResult(const QString& line) {
    std::lock_guard lock(mutex_);
    results_.append(line);
}

void HeadlessRunView::showRejectBalloon(const QString& title, const QString& text) {
    std::lock_guard lock(mutex_);
    balloons_.append(title + QLatin1Char('|') + text);
}
