#include "run/SearchPages.h"

#include <QCryptographicHash>
#include <QDate>
#include <algorithm>

#include "portal/SearchPage.h"
#include "portal/SearchQuery.h"
#include "run/RunDriver.h"
#include "text/RunError.h"

namespace {

const QString kCrLf = QStringLiteral("\r\n");

// Adds the digest to the sorted list; false when it was there already.
bool InsertDigest(QStringList& digests, const QString& digest) {
    const auto it = std::lower_bound(digests.begin(), digests.end(), digest);
    if (it != digests.end() && *it == digest) {
        return false;
    }
    digests.insert(it, digest);
    return true;
}

// Puts the narrower searches at the front of searchQueue and logs the split. Returns false when
// the search has to be walked as it stands instead (it cannot be narrowed, or its dates cannot
// be read); the reason is logged then.
bool SplitInterval(RunDriver& run, const QString& url, qint32 count) {
    const QString walkedWhole =
        QStringLiteral("Поиск не удаётся сузить дальше, контракты собираем с текущей ссылки: ") +
        url;
    QStringList pieces;
    try {
        pieces = SplitSearch(url, count, QDate::currentDate());
    } catch (const std::exception& e) {
        // The search is walked unsplit rather than lost with its refusal links.
        run.AddLogLine(QStringLiteral("Ошибка на этапе обработки: ") + ErrorMessage(e));
        run.AddLogLine(walkedWhole);
        return false;
    }
    if (pieces.isEmpty()) {
        run.AddLogLine(walkedWhole);
        return false;
    }
    run.AddLogLine(
        QStringLiteral("Разбиваем длинный интервал на несколько мелких, с текущей ссылки "
                       "контракты не собираем."));
    for (auto it = pieces.crbegin(); it != pieces.crend(); ++it) {
        run.searchQueue.prepend(*it);
    }
    return true;
}

}  // namespace

void RewriteStartUrl(RunDriver& run, QString& url) {
    QDate from = run.Options().contractFrom;
    QDate to = run.Options().contractTo;
    if (run.Options().testExport) {
        // A test export always covers the same month, whatever dates were chosen.
        from = QDate(2026, 1, 1);
        to = QDate(2026, 2, 1);
    }
    url = StartSearchUrl(url, from, to);
}

void HandleSearchPage(RunDriver& run, QString page, const QString& url) {
    qint32 records = 0;
    qsizetype rest = 0;
    const SearchCount count = ReadSearchCount(page);
    if (count.state != SearchCount::State::Found) {
        if (count.state == SearchCount::State::NotFound) {
            run.AddLogLine(QStringLiteral("Не найдено количество записей: ") + url + kCrLf);
        }
    } else {
        if (IsFirstSearchPage(url)) {
            run.AddLogLine(IntervalKey(url) + kCrLf + QStringLiteral("Нашлось ") + count.text +
                           QStringLiteral(" записей"));
            const qint32 number = count.Number();
            records = number;
            if (run.progress.maximum == 0) {
                run.progress.maximum = number;
            }
            if (number >= kSplitThreshold && SplitInterval(run, url, number)) {
                // The narrower searches stand in for this one: nothing is taken from it.
                page.clear();
                records = 0;
            }
        }
        const QStringList links = CollectRefusalLinks(page, run.portalBase, &rest);
        for (const QString& link : links) {
            const QString digest = QString::fromLatin1(
                QCryptographicHash::hash(link.toUtf8(), QCryptographicHash::Md5).toHex());
            if (!InsertDigest(run.seenRefusalDigests, digest)) {
                continue;
            }
            run.AddLogLine(QStringLiteral("Найден отказ ") + link);
            run.refusalQueue.append(link);
        }
        run.progress.contractsFound += records;
        run.ShowCounters();
        run.progress.position = run.progress.contractsFound;
        run.ShowProgress();
    }
    const QString next = NextPageUrl(page, rest, url);
    if (!next.isEmpty()) {
        run.searchQueue.append(next);
    }
}
