#include "run/RejectPages.h"

#include <QDate>

#include "portal/ContractCard.h"
#include "portal/RefusalPage.h"
#include "run/RunDriver.h"

namespace {

// The whole-day count since 30 December 1899, the origin of the portal's date values.
qint64 DayCount(const QDate& date) {
    return QDate(1899, 12, 30).daysTo(date);
}

// Whether the refusal dated `date` (invalid: unknown) lies within the run's refusal-date window;
// logs why not. Both bounds are inclusive, and both are checked so both lines can appear.
bool PassesDateWindow(RunDriver& run, const QDate& date) {
    bool passes = true;
    if (date.isValid() && DayCount(date) > 0 && run.options.refusalFrom.isValid() &&
        DayCount(run.options.refusalFrom) > 0 && run.options.refusalFrom > date) {
        run.AddLogLine(QStringLiteral("Дата отказа меньше заданной, пропускаем его."));
        passes = false;
    }
    if (date.isValid() && run.options.refusalTo.isValid() && DayCount(run.options.refusalTo) > 0 &&
        run.options.refusalTo < date) {
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
    run.refusalCardUrl = ContractCardLink(page, run.portalBase);
    PendingExport entry;
    if (run.refusalCardUrl.trimmed().isEmpty()) {
        // Without a card there is no row to wait for, and no journal entry.
        run.QueueNotice(key);
    } else {
        const PendingExports::Added added = run.Pending().Add(
            key, run.refusalCardUrl, run.refusalDate, &entry,
            [&] {
                run.haveStore.Refresh(havePath);
                return run.haveStore.Contains(key);
            },
            [&] { run.QueueNotice(key); });
        if (added == PendingExports::Added::HeldByRunningInstance ||
            added == PendingExports::Added::Exported) {
            return;  // another instance announces and exports it, or has done so
        }
    }
    run.haveStore.Append(havePath, key);
    run.cardUrls.append(run.refusalCardUrl);
    run.cardDates.append(RegistryIdOf(run.refusalCardUrl) + QLatin1Char('=') + run.refusalDate);
    run.cardEntries.append(entry);
    run.AnnounceReject();
}

}  // namespace

void HandleRejectPage(RunDriver& run, const QString& page, const QString& url) {
    const QString havePath = run.WorkPath(QStringLiteral("have.txt"));
    RefusalDocuments documents(page);
    RefusalDocument document;
    while (documents.Next(&document)) {
        if (document.cancels) {
            continue;
        }
        run.AddLogLine(QStringLiteral("Обнаружен отказ: ") + document.readableTitle +
                       QStringLiteral(" на ") + url);
        run.refusalDate = document.signedText;

        const QString key = url + QLatin1Char('#') + run.refusalDate;
        // Another instance on the same folder may have recorded it since this run began.
        run.haveStore.Refresh(havePath);
        if (run.haveStore.Contains(key)) {
            run.AddLogLine(
                QStringLiteral("Данный отказ найден в файле have.txt, то есть был выгружен ранее. "
                               "Пропускаем его."));
            run.refusalCardUrl.clear();
            continue;
        }
        run.AddLogLine(
            QStringLiteral("Данный отказ не найден в файле have.txt, то есть ранее не выгружался. "
                           "Берём в работу."));
        // Set before the store is written, so a failed write still keeps the CSV file.
        run.newRefusalSeen = true;

        const QDate date =
            QDate::fromString(run.refusalDate.left(10), QStringLiteral("dd.MM.yyyy"));
        if (!date.isValid()) {
            run.AddLogLine(url + QStringLiteral(" - Неправильный формат даты в отказе: ") +
                           run.refusalDate +
                           QStringLiteral(", отказ будет считаться подходящим под фильтры."));
        }
        // Every new refusal is recorded, whether it passed the window or not.
        if (PassesDateWindow(run, date)) {
            Accept(run, page, key, havePath);
        } else {
            run.haveStore.Append(havePath, key);
        }
    }
}
