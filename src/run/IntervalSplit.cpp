#include "run/IntervalSplit.h"

#include <QtNumeric>

#include "run/RunDriver.h"
#include "run/SearchPages.h"
#include "text/RunError.h"

namespace {

const QString kDateLayout = QStringLiteral("dd.MM.yyyy");
const QString kDefaultPriceFrom = QStringLiteral("0");
const QString kDefaultPriceTo = QStringLiteral("10000000000");

// n / d rounded to the nearest whole number, halves to the even neighbour (n >= 0, d > 0).
qint64 RoundHalfEven(qint64 n, qint64 d) {
    const qint64 q = n / d;
    const qint64 r2 = (n % d) * 2;
    if (r2 > d || (r2 == d && q % 2 != 0)) {
        return q + 1;
    }
    return q;
}

QDate ReadDate(const QString& text) {
    const QDate date = QDate::fromString(text, kDateLayout);
    if (!date.isValid()) {
        throw RunError(QStringLiteral("'") + text +
                       QStringLiteral("' не является правильной датой"));
    }
    return date;
}

qint64 ReadPrice(const QString& text) {
    bool ok = false;
    const qint64 value = text.toLongLong(&ok);
    return ok ? value : 0;
}

QStringList SplitByDate(const QString& url, const QDate& from, const QDate& to, qint64 count) {
    const qint64 days = from.daysTo(to);
    if (days <= 0) {
        return {};
    }
    // At least two pieces, so that no piece is the whole window again.
    const qint64 pieces = std::max<qint64>(count / 1000 + 1, 2);
    const qint64 step = RoundHalfEven(days, pieces);
    const QString base = RemoveUrlParam(RemoveUrlParam(url, QStringLiteral("contractDateFrom")),
                                        QStringLiteral("contractDateTo"));
    QStringList queue;
    QDate cur = from;
    QDate hi = cur.addDays(step);
    while (cur <= to) {
        queue.prepend(base + QStringLiteral("&contractDateFrom=") + cur.toString(kDateLayout) +
                      QStringLiteral("&contractDateTo=") + hi.toString(kDateLayout));
        cur = hi.addDays(1);
        hi = cur.addDays(step);
        if (hi > to) {
            hi = to;
        }
    }
    return queue;
}

QStringList SplitByPrice(const QString& url) {
    QString fromText = UrlParamValue(url, QStringLiteral("contractPriceFrom"));
    QString toText = UrlParamValue(url, QStringLiteral("contractPriceTo"));
    const qint64 from = ReadPrice(fromText.isEmpty() ? kDefaultPriceFrom : fromText);
    const qint64 to = ReadPrice(toText.isEmpty() ? kDefaultPriceTo : toText);
    qint64 width = 0;
    if (qSubOverflow(to, from, &width) || width <= 0) {
        return {};
    }
    const qint64 step = RoundHalfEven(width, 10);
    const QString base = RemoveUrlParam(RemoveUrlParam(url, QStringLiteral("contractPriceFrom")),
                                        QStringLiteral("contractPriceTo"));
    auto band = [&base](qint64 lo, qint64 hi) {
        return base + QStringLiteral("&contractPriceFrom=") + QString::number(lo) +
               QStringLiteral("&contractPriceTo=") + QString::number(hi);
    };
    QStringList queue;
    if (step == 0) {
        // A band of a few units: one band per price.
        for (qint64 price = from; price <= to; ++price) {
            queue.prepend(band(price, price));
        }
        return queue;
    }
    qint64 lo = from;
    qint64 hi = from + step;  // below `to`, since the step is below the width
    for (;;) {
        queue.prepend(band(lo, hi));
        if (hi >= to) {
            break;
        }
        lo = hi + 1;
        hi = (to - hi > step) ? hi + step : to;
    }
    return queue;
}

}  // namespace

QStringList SplitSearch(const QString& url, qint64 count, const QDate& today) {
    const QString fromText = UrlParamValue(url, QStringLiteral("contractDateFrom"));
    QString toText = UrlParamValue(url, QStringLiteral("contractDateTo"));
    if (toText.isEmpty()) {
        toText = today.toString(kDateLayout);
    }
    if (fromText == toText) {
        return SplitByPrice(url);
    }
    const QDate from = ReadDate(fromText);
    const QDate to = ReadDate(toText);
    if (from == to) {
        return SplitByPrice(url);
    }
    return SplitByDate(url, from, to, count);
}

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
        run.SearchQueue.prepend(*it);
    }
    return true;
}
