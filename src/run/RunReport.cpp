#include "run/RunReport.h"

#include <QDir>
#include <QFileInfo>

#include "fetch/RunTiming.h"
#include "text/ByteText.h"
#include "text/StampedLine.h"

void RunReport::LogLine(const QString& text) {
    if (logLineCount() > kLogLineCap) {
        clearLog();
    }
    appendLog(StampedLine(text));
}

void RunReport::ProgressChanged(int position, int maximum) {
    // The hint shows what the bar shows.
    setProgress(maximum, position,
                QStringLiteral("%1 из %2, осталось %3")
                    .arg(position)
                    .arg(maximum)
                    .arg(qint64(maximum) - position));
}

void RunReport::CountersChanged(int contractsFound, int refusalsQueued) {
    setCounters(QStringLiteral("Найдено контрактов: ") + QString::number(contractsFound),
                QStringLiteral("Отказов в очереди:: ") + QString::number(refusalsQueued));
}

void RunReport::RunBusy() {
    clearLog();
    appendLog(StampedLine(QStringLiteral("Запуск")));
    setRunControlsEnabled(false);
}

void RunReport::RunIdle(const RunEnding& how) {
    const QString path = how.logFolder + QDir::separator() +
                         QStringLiteral("log-%1.txt").arg(static_cast<qint32>(TickCount()));
    appendLog(StampedLine(QStringLiteral("Лог записан в ") + path));
    QString error;
    const QByteArray bytes =
        EncodeText(logLines().join(QStringLiteral("\r\n")), TextEncoding::System);
    if (!QDir().mkpath(QFileInfo(path).absolutePath()) ||
        !WriteFileAtomically(path, bytes, &error)) {
        // The rest of the end state still happens; the operator sees why the file is missing.
        appendLog(StampedLine(QStringLiteral("Не удалось записать лог: ") + error));
    }
    setRunControlsEnabled(true);
}

void RunReport::PhaseEnded(const QString& failure, std::weak_ptr<RunControl> /*run*/) {
    if (failure.isEmpty()) {
        appendLog(StampedLine(QStringLiteral("Сбор данных завершен")));
        return;
    }
    appendLog(StampedLine(QStringLiteral("Ошибка: ") + failure.left(200)));
    // The driver is held now; the watch's resume timer continues it.
    appendLog(StampedLine(QStringLiteral("Включаем паузу на 5 секунд")));
}

void RunReport::RefusalAccepted(const QString& signedAt, const QString& cardUrl) {
    appendResult(StampedLine(signedAt + QLatin1Char(' ') + cardUrl));
    showRefusalBalloon(QStringLiteral("Quorvane"), QStringLiteral("Найден отказ от ") + signedAt);
}

void RunReport::RefusalPagesRead(int read, int listed, const QString& text) {
    setProgress(listed, read, text);
}

void RunReport::WriteLog(const QString& text) {
    appendLog(StampedLine(text));
}

void RunReport::AppendRawLine(const QString& line) {
    appendLog(line);
}
