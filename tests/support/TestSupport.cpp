#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QUuid>

ScopedTiming::ScopedTiming(const RunTiming& timing) : saved_(Timing()) {
    SetTiming(timing);
}

ScopedTiming::~ScopedTiming() {
    SetTiming(saved_);
}

RunTiming ScopedTiming::Scaled(int divisor) {
    RunTiming t;
    auto scale = [divisor](int ms) { return ms > 0 ? std::max(1, ms / divisor) : ms; };
    t.detailSpacingMs = scale(t.detailSpacingMs);
    t.idleWakeMs = scale(t.idleWakeMs);
    t.failPauseMs = scale(t.failPauseMs);
    t.pause429ProxyMs = scale(t.pause429ProxyMs);
    t.pause429DirectMs = scale(t.pause429DirectMs);
    t.dateMismatchPauseMs = scale(t.dateMismatchPauseMs);
    t.finalFailWaitMs = scale(t.finalFailWaitMs);
    t.refreshThrottleMs = scale(t.refreshThrottleMs);
    t.resumeTimerMs = scale(t.resumeTimerMs);
    t.restartTimerMs = scale(t.restartTimerMs);
    t.recheckShareMs = scale(t.recheckShareMs);
    t.progressLineMs = scale(t.progressLineMs);
    t.telegramChatSpacingMs = scale(t.telegramChatSpacingMs);
    t.telegramGroupWindowMs = scale(t.telegramGroupWindowMs);
    t.telegramRetryAfterUnitMs = scale(t.telegramRetryAfterUnitMs);
    t.noticeDrainMs = scale(t.noticeDrainMs);
    for (int& gap : t.probeGapsMs) {
        gap = scale(gap);
    }
    t.healthNoticeRepeatMs = t.healthNoticeRepeatMs / divisor;
    // libcurl counts these in whole seconds; a speed limit scales the other way.
    t.httpIdleTimeoutSec = 2;
    t.httpLowSpeedBytes = t.httpLowSpeedBytes * std::max(1, divisor / 2);
    t.httpPageTimeoutSec = std::max(2, t.httpPageTimeoutSec / divisor);
    t.telegramTimeoutSec = 2;
    return t;
}

void WriteFile(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        qFatal("cannot write %s", qPrintable(path));
    }
    file.write(bytes);
}

QByteArray ReadFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return file.readAll();
}

bool WaitFor(const std::function<bool()>& condition, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeoutMs) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(2);
    }
    return true;
}

RunOptions RunOptionsIn(const QString& dir) {
    RunOptions options;
    options.programDir = dir;
    options.workDir = dir;
    options.mutexName =
        QStringLiteral("QuorvaneTest-") + QUuid::createUuid().toString(QUuid::Id128);
    return options;
}

void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}
