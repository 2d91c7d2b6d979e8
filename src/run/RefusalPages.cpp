#include "run/RefusalPages.h"

#include <QDate>

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
    if (date.isValid() && DayCount(date) > 0 && run.Options().refusalFrom.isValid() &&
        DayCount(run.Options().refusalFrom) > 0 && run.Options().refusalFrom > date) {
        run.AddLogLine(QStringLiteral("Дата отказа меньше заданной, пропускаем его."));
        passes = false;
    }
    if (date.isValid() && run.Options().refusalTo.isValid() &&
        DayCount(run.Options().refusalTo) > 0 && run.Options().refusalTo < date) {
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
void Accept(RunDriver& run, const QString& page, const QString& key, const QString& refusalDate,
            const QString& havePath) {
    const QString cardUrl = ContractCardLink(page, run.portalBase);
    PendingExport entry;
    if (cardUrl.trimmed().isEmpty()) {
        // Without a card there is no row to wait for, and no journal entry.
        run.QueueNotice(key, refusalDate, cardUrl);
    } else {
        const PendingExports::Added added = run.Pending().Add(
            key, cardUrl, refusalDate, &entry,
            [&] {
                run.haveStore.Refresh(havePath);
                return run.haveStore.Contains(key);
            },
            [&] { run.QueueNotice(key, refusalDate, cardUrl); });
        if (added == PendingExports::Added::HeldByRunningInstance ||
            added == PendingExports::Added::Exported) {
            return;  // another instance announces and exports it, or has done so
        }
    }
    run.haveStore.Append(havePath, key);
    run.cards.append({cardUrl, refusalDate, entry});
    run.AnnounceRefusal(refusalDate, cardUrl);
}

}  // namespace

void HandleRefusalPage(RunDriver& run, const QString& page, const QString& url) {
    const QString havePath = run.WorkPath(QStringLiteral("have.txt"));
    RefusalDocuments documents(page);
    RefusalDocument document;
    while (documents.Next(&document)) {
        if (document.cancels) {
            continue;
        }
        run.AddLogLine(QStringLiteral("Обнаружен отказ: ") + document.readableTitle +
                       QStringLiteral(" на ") + url);
        const QString& refusalDate = document.signedText;
        const QString key = url + QLatin1Char('#') + refusalDate;
        // Another instance on the same folder may have recorded it since this run began.
        run.haveStore.Refresh(havePath);
        if (run.haveStore.Contains(key)) {
            run.AddLogLine(
                QStringLiteral("Данный отказ найден в файле have.txt, то есть был выгружен ранее. "
                               "Пропускаем его."));
            continue;
        }
        run.AddLogLine(
            QStringLiteral("Данный отказ не найден в файле have.txt, то есть ранее не выгружался. "
                           "Берём в работу."));
        // Set before the store is written, so a failed write still keeps the CSV file.
        run.newRefusalSeen = true;

        const QDate date = QDate::fromString(refusalDate.left(10), QStringLiteral("dd.MM.yyyy"));
        if (!date.isValid()) {
            run.AddLogLine(url + QStringLiteral(" - Неправильный формат даты в отказе: ") +
                           refusalDate +
                           QStringLiteral(", отказ будет считаться подходящим под фильтры."));
        }
        // Every new refusal is recorded, whether it passed the window or not.
        if (PassesDateWindow(run, date)) {
            Accept(run, page, key, refusalDate, havePath);
        } else {
            run.haveStore.Append(havePath, key);
        }
    }
}
