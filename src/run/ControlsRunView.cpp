#include "run/ControlsRunView.h"

#include <QDir>
#include <QFileInfo>
#include <algorithm>

#include "fetch/RunTiming.h"
#include "run/RunDriver.h"
#include "text/StampedLine.h"
#include "text/ByteText.h"

void ControlsRunView::AddLogLine(RunDriver& run) {
    if (logLineCount() > kLogLineCap) {
        clearLog();
    }
    appendLog(StampedLine(run.LogMessageText));
}

void ControlsRunView::ShowProgress(RunDriver& run) {
    run.Limit = threadCount();
    if (TicksSince(run.progesslastupdated) <= static_cast<quint32>(Timing().refreshThrottleMs)) {
        return;
    }
    const int maximum = run.ProgressBarMax;
    // A bar cannot show a position beyond its range; the hint shows what the bar shows.
    const int position = std::clamp(run.ProgressBarPosition, 0, std::max(0, maximum));
    setProgress(maximum, position,
                QStringLiteral("%1 из %2, осталось %3")
                    .arg(position)
                    .arg(maximum)
                    .arg(qint64(maximum) - position));
    run.progesslastupdated = TickCount();
    processPendingEvents();
}

void ControlsRunView::ShowCounters(RunDriver& run) {
    if (TicksSince(run.counterlastupdated) <= static_cast<quint32>(Timing().refreshThrottleMs)) {
        return;
    }
    setCounters(QStringLiteral("Найдено контрактов: ") + QString::number(run.TendersCounter),
                QStringLiteral("Отказов в очереди:: ") + QString::number(run.QCounter));
    run.counterlastupdated = TickCount();
    run.Limit = threadCount();
    processPendingEvents();
}

void ControlsRunView::ToggleBusy(RunDriver& run) {
    if (run.CursorHourGlass) {
        clearLog();
        appendLog(StampedLine(QStringLiteral("Запуск")));
        setRunControlsEnabled(false);
        return;
    }

    const QString path = run.ProgramPath(QStringLiteral("logs")) + QDir::separator() +
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

    if (!run.Terminated() && restartChecked()) {
        const int interval = startRestartTimer();
        appendLog(QStringLiteral("\r\nПовторная выгрузка начнётся через ") +
                  QString::number(interval / 1000) + QStringLiteral(" секунд"));
    }
    setRunControlsEnabled(true);
}

void ControlsRunView::ReportRunEnd(RunDriver& run) {
    if (!run.result.contains(QStringLiteral("ERROR"))) {
        appendLog(StampedLine(QStringLiteral("Сбор данных завершен")));
        return;
    }
    appendLog(StampedLine(QStringLiteral("Ошибка: ") + run.result.mid(6, 200)));
    appendLog(StampedLine(QStringLiteral("Включаем паузу на 5 секунд")));
    StartResumeTimer(run);
    // The driver waits at its next check until the resume timer continues it.
    run.Hold();
}

void ControlsRunView::StartResumeTimer(RunDriver& run) {
    startResumeTimer(run, Timing().resumeTimerMs);
}

void ControlsRunView::ReadTestExportFlag(RunDriver& run) {
    run.CheckBox1Checked = testExportChecked();
}

void ControlsRunView::AnnounceReject(RunDriver& run) {
    appendResult(StampedLine(run.ProtocolDate + QLatin1Char(' ') + run.ProtocolUrl));
    showRejectBalloon(QStringLiteral("Quorvane"),
                      QStringLiteral("Найден отказ от ") + run.ProtocolDate);
}

void ControlsRunView::WriteLog(const QString& text) {
    appendLog(StampedLine(text));
}

void ControlsRunView::AppendRawLine(const QString& line) {
    appendLog(line);
}
