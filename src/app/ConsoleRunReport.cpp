#include "app/ConsoleRunReport.h"

void ConsoleRunReport::Echo(const QString& text) {
    std::lock_guard lock(echoMutex_);
    WriteLines(text);
}

void ConsoleRunReport::WriteLines(const QString& text) {
    // A memo shows an appended text with line breaks as several lines.
    for (const QString& line : text.split(QStringLiteral("\r\n"))) {
        const QByteArray bytes = line.toUtf8() + '\n';
        std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), out_);
    }
    std::fflush(out_);
}

void ConsoleRunReport::appendLog(const QString& line) {
    // Under the echo lock, so the stream and the memo (and with it the log file) keep one order.
    std::lock_guard lock(echoMutex_);
    RecordedRunReport::appendLog(line);
    WriteLines(line);
}

void ConsoleRunReport::appendResult(const QString& line) {
    Echo(line);
}
