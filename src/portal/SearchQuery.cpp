#include "portal/SearchQuery.h"

#include <QtNumeric>
#include <algorithm>

#include "text/RunError.h"
#include "text/TextHelpers.h"

namespace {

const QString kDateLayout = QStringLiteral("dd.MM.yyyy");
const QString kDefaultPriceFrom = QStringLiteral("0");
const QString kDefaultPriceTo = QStringLiteral("10000000000");

// Where the parameter `name` begins: its "?" or "&", or -1.
qsizetype ParamStart(const QString& url, const QString& name) {
    const qsizetype first = url.indexOf(QLatin1Char('?') + name + QLatin1Char('='));
    return first >= 0 ? first : url.indexOf(QLatin1Char('&') + name + QLatin1Char('='));
}

QString DateParam(const QDate& date) {
    return date.isValid() ? date.toString(kDateLayout) : QString();
}

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

QString RemoveUrlParam(const QString& url, const QString& name) {
    const qsizetype start = ParamStart(url, name);
    if (start < 0) {
        return url;
    }
    const qsizetype next = url.indexOf(QLatin1Char('&'), start + 1);
    QString result = url;
    if (url.at(start) == QLatin1Char('?')) {
        // The query keeps its "?": the parameter goes with the "&" of the one that follows.
        result.remove(start + 1, next < 0 ? url.size() - start - 1 : next - start);
    } else {
        result.remove(start, next < 0 ? url.size() - start : next - start);
    }
    return result;
}

QString UrlParamValue(const QString& url, const QString& name) {
    const qsizetype start = ParamStart(url, name);
    if (start < 0) {
        return {};
    }
    const qsizetype from = start + name.size() + 2;
    const qsizetype next = url.indexOf(QLatin1Char('&'), from);
    return url.mid(from, next < 0 ? -1 : next - from);
}

QString IntervalKey(const QString& url) {
    const QString start =
        ExtractBetween(url, QStringLiteral("contractDateFrom="), QString(), QStringLiteral("&"));
    QString end = ExtractBetween(url, QStringLiteral("contractDateTo="), QString(), QString());
    const qsizetype amp = end.indexOf(QLatin1Char('&'));
    if (amp >= 0) {
        end.truncate(amp);
    }
    return QStringLiteral("contractDateFrom=") + start + QStringLiteral("&contractDateTo=") + end;
}

bool IsFirstSearchPage(const QString& url) {
    return url.contains(QStringLiteral("pageNumber=1&"));
}

QString StartSearchUrl(const QString& url, const QDate& from, const QDate& to) {
    QString result = url;
    for (const char* name : {"contractDateFrom", "contractDateTo", "publishDateFrom",
                             "publishDateTo", "updateDateFrom", "updateDateTo"}) {
        result = RemoveUrlParam(result, QString::fromLatin1(name));
    }
    result += QStringLiteral("&contractDateFrom=") + DateParam(from) +
              QStringLiteral("&contractDateTo=") + DateParam(to);
    result = ReplaceAll(result, QStringLiteral("%2C"), QStringLiteral(","));
    result = ReplaceAll(result, QStringLiteral("%7B"), QStringLiteral("{"));
    result = ReplaceAll(result, QStringLiteral("%7D"), QStringLiteral("}"));
    return RemoveUrlParam(result, QStringLiteral("recordsPerPage")) +
           QStringLiteral("&recordsPerPage=_500");
}

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
