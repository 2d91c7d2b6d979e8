#pragma once

#include <QDateTime>
#include <QString>

// The stamp of a log line: the local date in the regional short-date format, one space, the
// local time in the regional long-time format.
QString Stamp(const QDateTime& when = QDateTime::currentDateTime());

// A stamped log line: the stamp, ": " and the text.
QString StampedLine(const QString& text, const QDateTime& when = QDateTime::currentDateTime());
