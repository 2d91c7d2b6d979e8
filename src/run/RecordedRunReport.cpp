#include "run/RecordedRunReport.h"

#include <QMetaObject>

RecordedRunReport::RecordedRunReport() : context_(new QObject) {
    thread_.setObjectName(QStringLiteral("RecordedRunReport"));
    context_->moveToThread(&thread_);
    QObject::connect(&thread_, &QThread::finished, context_, &QObject::deleteLater);
    thread_.start();
}

RecordedRunReport::~RecordedRunReport() {
    // Lines still queued are written out before the thread goes: the headless face's last
    // lines come right before the process ends.
    Settle();
    thread_.quit();
    thread_.wait();
}

void RecordedRunReport::Settle() const {
    if (QThread::currentThread() == &thread_) {
        return;
    }
    // Queued calls to one object are handled in the order they were posted.
    QMetaObject::invokeMethod(
        context_, [] {}, Qt::BlockingQueuedConnection);
}

QStringList RecordedRunReport::log() const {
    Settle();
    std::lock_guard lock(mutex_);
    return log_;
}

QStringList RecordedRunReport::results() const {
    Settle();
    std::lock_guard lock(mutex_);
    return results_;
}

QStringList RecordedRunReport::balloons() const {
    Settle();
    std::lock_guard lock(mutex_);
    return balloons_;
}

int RecordedRunReport::progressMaximum() const {
    Settle();
    std::lock_guard lock(mutex_);
    return progressMaximum_;
}

int RecordedRunReport::progressPosition() const {
    Settle();
    std::lock_guard lock(mutex_);
    return progressPosition_;
}

QString RecordedRunReport::progressHint() const {
    Settle();
    std::lock_guard lock(mutex_);
    return progressHint_;
}

QString RecordedRunReport::contractsLabel() const {
    Settle();
    std::lock_guard lock(mutex_);
    return contractsLabel_;
}

QString RecordedRunReport::queuedLabel() const {
    Settle();
    std::lock_guard lock(mutex_);
    return queuedLabel_;
}

bool RecordedRunReport::runControlsEnabled() const {
    Settle();
    std::lock_guard lock(mutex_);
    return runControlsEnabled_;
}

int RecordedRunReport::progressRefreshes() const {
    Settle();
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
    std::lock_guard lock(mutex_);
    return log_;
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

void RecordedRunReport::appendResult(const QString& line) {
    std::lock_guard lock(mutex_);
    results_.append(line);
}

void RecordedRunReport::showRefusalBalloon(const QString& title, const QString& text) {
    std::lock_guard lock(mutex_);
    balloons_.append(title + QLatin1Char('|') + text);
}
