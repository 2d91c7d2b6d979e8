#pragma once

#include <QDate>
#include <QString>
#include <QStringList>

// Whether a refusal dated `date` (invalid: unknown) lies within the refusal-date window
// [`from`, `to`] (a null bound is no bound), with the log lines that say why not. Both bounds
// are inclusive, and both are checked so both lines can appear.
struct DateWindowVerdict {
    bool passes = true;
    QStringList lines;
};
DateWindowVerdict CheckDateWindow(const QDate& date, const QDate& from, const QDate& to);

// The key of a refusal in have.txt: its page's address and its signing date-time.
QString RefusalKey(const QString& url, const QString& signedAt);

// The signing date-time's day; invalid when the text does not begin with one.
QDate SigningDay(const QString& signedAt);
