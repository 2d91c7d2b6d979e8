#include "app/ConsoleRunView.h"

#include "run/RunDriver.h"

void ConsoleRunView::Echo(const QString& text) {
    std::lock_guard lock(echoMutex_);
    WriteLines(text);
}

void ConsoleRunView::WriteLines(const QString& text) {
    // A memo shows an appended text with line breaks as several lines.
    for (const QString& line : text.split(QStringLiteral("\r\n"))) {
        const QByteArray bytes = line.toUtf8() + '\n';
        std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), out_);
    }
    std::fflush(out_);
}

void ConsoleRunView::ReportRunEnd(RunDriver& run) {
    if (run.result.contains(QStringLiteral("ERROR"))) {
        phaseFailed_.store(true);
    }
    HeadlessRunView::ReportRunEnd(run);
}

void ConsoleRunView::AnnounceReject(RunDriver& run) {
    refusalsFound_.fetch_add(1);
    HeadlessRunView::AnnounceReject(run);
}

void ConsoleRunView::appendLog(const QString& line) {
    // Under the echo lock, so the stream and the memo (and with it the log file) keep one order.
    std::lock_guard lock(echoMutex_);
    HeadlessRunView::appendLog(line);
    WriteLines(line);
}

void ConsoleRunView::appendResult(const QString& line) {
    Echo(line);
}

int ConsoleRunView::startRestartTimer() {
    restartArmed_.store(true);
    return HeadlessRunView::startRestartTimer();
}
