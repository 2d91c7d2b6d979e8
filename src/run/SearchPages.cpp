#include "run/SearchPages.h"

#include <QRegularExpression>

#include "portal/SearchPage.h"
#include "portal/SearchQuery.h"
#include "text/RunError.h"

namespace {

const QString kCrLf = QStringLiteral("\r\n");

// The narrower searches that stand in for `url`, with the split's lines added to `out`. False
// when the search has to be walked as it stands instead (it cannot be narrowed, or its dates
// cannot be read); the reason is among the lines then.
bool Split(const QString& url, qint32 count, const QDate& today, SearchPageOutcome& out) {
    const QString walkedWhole =
        QStringLiteral("Поиск не удаётся сузить дальше, контракты собираем с текущей ссылки: ") +
        url;
    QStringList pieces;
    try {
        pieces = SplitSearch(url, count, today);
    } catch (const std::exception& e) {
        // The search is walked unsplit rather than lost with its refusal links.
        out.lines << QStringLiteral("Ошибка на этапе обработки: ") + ErrorMessage(e) << walkedWhole;
        return false;
    }
    if (pieces.isEmpty()) {
        out.lines << walkedWhole;
        return false;
    }
    out.lines << QStringLiteral(
        "Разбиваем длинный интервал на несколько мелких, с текущей ссылки "
        "контракты не собираем.");
    out.narrower = pieces;
    return true;
}

}  // namespace

QString StartUrlForRun(const QString& url, const QDate& contractFrom, const QDate& contractTo,
                       bool testExport) {
    if (testExport) {
        return StartSearchUrl(url, QDate(2026, 1, 1), QDate(2026, 2, 1));
    }
    return StartSearchUrl(url, contractFrom, contractTo);
}

SearchPageOutcome ReadSearchResults(QString page, const QString& url, const QString& base,
                                    const QDate& today) {
    SearchPageOutcome out;
    qsizetype rest = 0;
    const SearchCount count = ReadSearchCount(page);
    if (count.state != SearchCount::State::Found) {
        out.noResults = count.state == SearchCount::State::NoResults;
        if (count.state == SearchCount::State::NotFound) {
            out.lines << QStringLiteral("Не найдено количество записей: ") + url + kCrLf;
        }
    } else {
        if (IsFirstSearchPage(url)) {
            out.countLine = out.lines.size();
            out.lines << IntervalKey(url) + kCrLf + QStringLiteral("Нашлось ") + count.text +
                             QStringLiteral(" записей");
            qint32 number = 0;
            try {
                number = count.Number();
            } catch (const std::exception& e) {
                out.failure = ErrorMessage(e);
                return out;
            }
            out.records = number;
            out.firstCount = number;
            if (number >= kSplitThreshold && Split(url, number, today, out)) {
                // The narrower searches stand in for this one: nothing is taken from it.
                page.clear();
                out.records = 0;
            }
        }
        out.counted = true;
        out.refusalLinks = CollectRefusalLinks(page, base, &rest);
        bool numeric = false;
        const qint32 shown =
            QString(count.text).remove(QRegularExpression(QStringLiteral("\\D"))).toInt(&numeric);
        out.entriesUnrecognised =
            out.narrower.isEmpty() && numeric && shown > 0 && CountSearchEntries(page) == 0;
    }
    out.next = NextPageUrl(page, rest, url);
    return out;
}
