#include "run/RefusalPages.h"

namespace {

// The whole-day count since 30 December 1899, the origin of the portal's date values.
qint64 DayCount(const QDate& date) {
    return QDate(1899, 12, 30).daysTo(date);
}

}  // namespace

DateWindowVerdict CheckDateWindow(const QDate& date, const QDate& from, const QDate& to) {
    DateWindowVerdict verdict;
    if (date.isValid() && DayCount(date) > 0 && from.isValid() && DayCount(from) > 0 &&
        from > date) {
        verdict.lines << QStringLiteral("Дата отказа меньше заданной, пропускаем его.");
        verdict.passes = false;
    }
    if (date.isValid() && to.isValid() && DayCount(to) > 0 && to < date) {
        verdict.lines << QStringLiteral("Дата отказа больше заданной, пропускаем его.");
        verdict.passes = false;
    }
    return verdict;
}

QString RefusalKey(const QString& url, const QString& signedAt) {
    return url + QLatin1Char('#') + signedAt;
}

QDate SigningDay(const QString& signedAt) {
    return QDate::fromString(signedAt.left(10), QStringLiteral("dd.MM.yyyy"));
}
