#include "run/RejectPages.h"

#include <QDate>

#include "run/RunDriver.h"
#include "store/CardExport.h"
#include "text/TextHelpers.h"

namespace {

const QString kAttachmentStart = QStringLiteral("<section class=\"attachment\">");
const QString kAttachmentEnd = QStringLiteral("<footer");
const QString kDocumentMarker = QStringLiteral("<section class=\"littleBlack pb-3\">");
const QString kSectionEnd = QStringLiteral("</section>");
const QString kSigned = QStringLiteral("Подписано\n");
const QString kCancellation = QStringLiteral("об отмене");
const QString kRegistryNumber = QStringLiteral("Реестровый номер контракта</span>");

// A document title as one line: tags and entities gone by `toText`, runs of spaces made single.
QString CleanTitle(const QString& html, QString (*toText)(const QString&)) {
    QString title = TrimControls(toText(html));
    const QString doubleSpace = QStringLiteral("  ");
    while (title.contains(doubleSpace)) {
        title = ReplaceAll(title, doubleSpace, QStringLiteral(" "));
    }
    return title;
}

// The whole-day count since 30 December 1899, the origin of the portal's date values.
qint64 DayCount(const QDate& date) {
    return QDate(1899, 12, 30).daysTo(date);
}

// Whether the refusal dated `date` (invalid: unknown) lies within the run's refusal-date window;
// logs why not. Both bounds are inclusive, and both are checked so both lines can appear.
bool PassesDateWindow(RunDriver& run, const QDate& date) {
    bool passes = true;
    if (date.isValid() && DayCount(date) > 0 && run.RejectDateFrom.isValid() &&
        DayCount(run.RejectDateFrom) > 0 && run.RejectDateFrom > date) {
        run.AddLogLine(QStringLiteral("Дата отказа меньше заданной, пропускаем его."));
        passes = false;
    }
    if (date.isValid() && run.RejectDateTo.isValid() && DayCount(run.RejectDateTo) > 0 &&
        run.RejectDateTo < date) {
        run.AddLogLine(QStringLiteral("Дата отказа больше заданной, пропускаем его."));
        passes = false;
    }
    return passes;
}

// Queues the contract card of an accepted refusal and announces the refusal.
//
// Under the journal's lock the refusal's notice is queued and its entry written, unless another
// instance holds it or finished it meanwhile. Its have.txt line follows before it is announced,
// and every path that removes the entry writes the line first, so a refusal whose entry is gone
// is never met as new again. A kill between queueing a notice and its removal from the queue is
// the only way to a repeated notice.
void Accept(RunDriver& run, const QString& page, const QString& key, const QString& havePath) {
    const QString cell =
        ExtractBetween(page, kRegistryNumber, QString(), QStringLiteral("</span>"));
    run.ProtocolUrl =
        ExtractBetween(cell, QStringLiteral("href=\""), QString(), QStringLiteral("\""));
    if (run.ProtocolUrl.startsWith(QLatin1Char('/'))) {
        run.ProtocolUrl.prepend(run.PortalBase);
    }
    PendingExport entry;
    if (run.ProtocolUrl.trimmed().isEmpty()) {
        // Without a card there is no row to wait for, and no journal entry.
        run.QueueNotice(key);
    } else {
        const PendingExports::Added added = run.Pending().Add(
            key, run.ProtocolUrl, run.ProtocolDate, &entry,
            [&] {
                run.HaveList.Refresh(havePath);
                return run.HaveList.Contains(key);
            },
            [&] { run.QueueNotice(key); });
        if (added == PendingExports::Added::HeldByRunningInstance ||
            added == PendingExports::Added::Exported) {
            return;  // another instance announces and exports it, or has done so
        }
    }
    run.HaveList.Append(havePath, key);
    run.CardList.append(run.ProtocolUrl);
    run.CardDates.append(RegistryIdOf(run.ProtocolUrl) + QLatin1Char('=') + run.ProtocolDate);
    run.CardPending.append(entry);
    run.AnnounceReject();
}

}  // namespace

void HandleRejectPage(RunDriver& run, const QString& page, const QString& url) {
    const QString region = ExtractBetween(page, kAttachmentStart, QString(), kAttachmentEnd);
    const QString havePath = run.WorkPath(QStringLiteral("have.txt"));
    // The region is consumed with a moving position: `from` is where what is left of it begins.
    qsizetype from = 0;
    for (;;) {
        const qsizetype start = region.indexOf(kDocumentMarker, from);
        if (start < 0) {
            break;
        }
        const qsizetype end = region.indexOf(kSectionEnd, start);
        const QString section = end < 0 ? QString() : region.mid(start, end - start);
        // The cancellation check keeps the title as it was always read; the log decodes it fully.
        const QString title = CleanTitle(section, HtmlToText);
        from = start + 2;
        if (title.contains(kCancellation)) {
            continue;
        }
        run.AddLogLine(QStringLiteral("Обнаружен отказ: ") +
                       CleanTitle(section, HtmlToReadableText) + QStringLiteral(" на ") + url);

        // The signing date-time: the section after the one that holds "Подписано".
        const qsizetype signedAt = region.indexOf(kSigned, from);
        QString signedText;
        if (signedAt >= 0) {
            const qsizetype close = region.indexOf(kSectionEnd, signedAt + kSigned.size());
            const qsizetype valueStart = close < 0 ? -1 : close + kSectionEnd.size();
            const qsizetype valueEnd = close < 0 ? -1 : region.indexOf(kSectionEnd, valueStart);
            if (valueEnd >= 0) {
                signedText = region.mid(valueStart, valueEnd - valueStart);
            }
        }
        run.ProtocolDate = TrimControls(HtmlToText(signedText));

        const QString key = url + QLatin1Char('#') + run.ProtocolDate;
        // Another instance on the same folder may have recorded it since this run began.
        run.HaveList.Refresh(havePath);
        if (run.HaveList.Contains(key)) {
            run.AddLogLine(
                QStringLiteral("Данный отказ найден в файле have.txt, то есть был выгружен ранее. "
                               "Пропускаем его."));
            run.ProtocolUrl.clear();
            continue;
        }
        run.AddLogLine(
            QStringLiteral("Данный отказ не найден в файле have.txt, то есть ранее не выгружался. "
                           "Берём в работу."));
        // Set before the store is written, so a failed write still keeps the CSV file.
        run.NewRejectSeen = true;

        const QDate date =
            QDate::fromString(run.ProtocolDate.left(10), QStringLiteral("dd.MM.yyyy"));
        if (!date.isValid()) {
            run.AddLogLine(url + QStringLiteral(" - Неправильный формат даты в отказе: ") +
                           run.ProtocolDate +
                           QStringLiteral(", отказ будет считаться подходящим под фильтры."));
        }
        // Every new refusal is recorded, whether it passed the window or not.
        if (PassesDateWindow(run, date)) {
            Accept(run, page, key, havePath);
        } else {
            run.HaveList.Append(havePath, key);
        }
    }
}
