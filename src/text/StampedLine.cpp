#include "text/StampedLine.h"

#include <QLocale>

namespace {

// The regional long-time format without a time-zone name, which Qt's long format adds but the
// operator's clock does not show.
QString LongTimeFormat(const QLocale& locale) {
    QString format = locale.timeFormat(QLocale::LongFormat);
    format.remove(QLatin1Char('t'));
    return format.trimmed();
}

}  // namespace

QString Stamp(const QDateTime& when) {
    const QLocale locale = QLocale::system();
    return locale.toString(when.date(), QLocale::ShortFormat) + QLatin1Char(' ') +
           locale.toString(when.time(), LongTimeFormat(locale));
}

QString StampedLine(const QString& text, const QDateTime& when) {
    return Stamp(when) + QStringLiteral(": ") + text;
}
