#include "text/TextHelpers.h"

#include <limits>

#include "text/CharacterReferences.h"
#include "text/RunError.h"

QString ExtractBetween(const QString& text, const QString& start, const QString& second,
                       const QString& end) {
    // Work with 0-based indexes; `from` is where the value begins.
    qsizetype from = 0;
    if (!start.isEmpty()) {
        const qsizetype at = text.indexOf(start);
        if (at < 0) {
            return {};
        }
        from = at + start.size();
    }
    if (!second.isEmpty()) {
        const qsizetype at = text.indexOf(second, from);
        if (at < 0) {
            return {};
        }
        from = at + second.size();
    }
    qsizetype to = text.size();
    if (!end.isEmpty()) {
        to = text.indexOf(end, from);
        if (to < 0) {
            return {};
        }
    }
    return text.mid(from, to - from);
}

qsizetype LastPosWithin(const QString& marker, const QString& text, qsizetype n) {
    if (marker.isEmpty() || n <= 0) {
        return 0;
    }
    const qsizetype limit = std::min(n, text.size());
    if (marker.size() > limit) {
        return 0;
    }
    // The latest start from which the marker still ends within the limit.
    const qsizetype at = text.lastIndexOf(marker, limit - marker.size());
    return at < 0 ? 0 : at + 1;
}

QString ExtractBetweenBackward(const QString& text, const QString& anchor, const QString& second,
                               const QString& left) {
    qsizetype p = LastPosWithin(anchor, text, text.size());
    if (p == 0) {
        return {};
    }
    if (!second.isEmpty()) {
        p = LastPosWithin(second, text, p - 1);
        if (p == 0) {
            return {};
        }
    }
    const qsizetype q = LastPosWithin(left, text, p - 1);
    if (q == 0) {
        return {};
    }
    const qsizetype from = q - 1 + left.size();
    return text.mid(from, (p - 1) - from);
}

QString ReplaceAll(const QString& text, const QString& search, const QString& replacement) {
    if (search.isEmpty()) {
        return text;
    }
    qsizetype at = text.indexOf(search);
    if (at < 0) {
        return text;
    }
    QString result;
    result.reserve(text.size());
    qsizetype done = 0;
    while (at >= 0) {
        result.append(QStringView(text).mid(done, at - done));
        result.append(replacement);
        done = at + search.size();
        at = text.indexOf(search, done);
    }
    result.append(QStringView(text).mid(done));
    return result;
}

namespace {

// Removes every tag: from each "<" to the first ">" after it, or to the end when none follows.
QString StripTags(const QString& text) {
    QString result;
    result.reserve(text.size());
    qsizetype done = 0;
    while (done < text.size()) {
        const qsizetype open = text.indexOf(QLatin1Char('<'), done);
        if (open < 0) {
            result.append(QStringView(text).mid(done));
            break;
        }
        result.append(QStringView(text).mid(done, open - done));
        const qsizetype close = text.indexOf(QLatin1Char('>'), open);
        if (close < 0) {
            break;
        }
        done = close + 1;
    }
    return result;
}

}  // namespace

QString HtmlToText(const QString& text) {
    // The order matters: "&lt;" is decoded before tags are stripped, so it opens a tag too.
    static const struct {
        const char16_t* from;
        const char16_t* to;
    } kReplacements[] = {
        {u"&nbsp;", u" "},  {u"&bull;", u"-"},  {u"&times;", u"x"},  {u"&quot;", u"\""},
        {u"&mdash;", u"-"}, {u"&ndash;", u"-"}, {u"&laquo;", u"\""}, {u"&raquo;", u"\""},
        {u"&lt;", u"<"},    {u"&gt;", u">"},    {u"&#039;", u"'"},   {u"<br>", u" "},
        {u"\r", u""},       {u"\n", u""},
    };
    QString result = text;
    for (const auto& r : kReplacements) {
        result = ReplaceAll(result, QString::fromUtf16(r.from), QString::fromUtf16(r.to));
    }
    return StripTags(result);
}

QString HtmlToReadableText(const QString& text) {
    QString result = ReplaceAll(text, QStringLiteral("<br>"), QStringLiteral(" "));
    result.remove(QLatin1Char('\r'));
    result.remove(QLatin1Char('\n'));
    return DecodeCharacterReferences(StripTags(result));
}

QString CsvSafeText(const QString& text) {
    QString result = text;
    result.replace(QLatin1Char('"'), QLatin1Char('\''));
    return result;
}

namespace {

// Russian conventions, whatever the machine's locale: the portal is Russian.
constexpr char16_t kDecimalSeparator = u',';
constexpr char16_t kThousandsSeparator = u'\u00A0';

}  // namespace

qint32 ParseIntLenient(const QString& text) {
    // Leading signs, spaces and brackets; the first other character decides whether the
    // separators are read the other way round.
    bool negative = false;
    qsizetype firstOther = -1;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == u'-') {
            negative = !negative;
        } else if (c != u' ' && c != u'(' && c != u'+') {
            firstOther = i;
            break;
        }
    }
    bool swap = firstOther >= 0 && text.at(firstOther) == kThousandsSeparator;
    if (!swap) {
        const qsizetype firstDs = text.indexOf(kDecimalSeparator);
        if (firstDs >= 0 && firstDs > firstOther) {
            const bool severalDs = text.indexOf(kDecimalSeparator, firstDs + 1) >= 0;
            const qsizetype firstTs = text.indexOf(kThousandsSeparator);
            swap = severalDs || (firstTs >= 0 && firstDs < firstTs);
        }
    }

    // Keep the digits and the decimal separators (after a swap: the former group separators).
    QString kept;
    for (const QChar c : text) {
        if (c >= u'0' && c <= u'9') {
            kept.append(c);
        } else if (c == (swap ? kThousandsSeparator : kDecimalSeparator)) {
            kept.append(QChar(kDecimalSeparator));
        }
    }
    if (kept.isEmpty()) {
        return 0;
    }
    if (kept.count(QChar(kDecimalSeparator)) > 1) {
        throw RunError(QStringLiteral("\"%1\" не является числом").arg(text));
    }

    // Only the whole part counts: the fraction is truncated toward zero.
    const QStringView whole = QStringView(kept).left(kept.indexOf(QChar(kDecimalSeparator)));
    qint64 value = 0;
    for (const QChar c : whole) {
        value = value * 10 + (c.unicode() - u'0');
        if (value > std::numeric_limits<qint32>::max() + qint64{1}) {
            break;
        }
    }
    if (negative) {
        value = -value;
    }
    // A count that does not fit is an error rather than a silently wrapped number.
    if (value > std::numeric_limits<qint32>::max() || value < std::numeric_limits<qint32>::min()) {
        throw RunError(QStringLiteral("\"%1\" вне допустимого диапазона чисел").arg(text));
    }
    return static_cast<qint32>(value);
}

QString UrlEncodeUtf8(const QString& text) {
    static const char kHex[] = "0123456789ABCDEF";
    const QByteArray bytes = text.toUtf8();
    QString result;
    result.reserve(bytes.size() * 3);
    for (const char ch : bytes) {
        const auto b = static_cast<unsigned char>(ch);
        if ((b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9')) {
            result.append(QLatin1Char(ch));
        } else {
            result.append(QLatin1Char('%'));
            result.append(QLatin1Char(kHex[b >> 4]));
            result.append(QLatin1Char(kHex[b & 0x0F]));
        }
    }
    return result;
}

QString TrimControls(const QString& text) {
    qsizetype from = 0;
    qsizetype to = text.size();
    while (from < to && text.at(from).unicode() <= 0x20) {
        ++from;
    }
    while (to > from && text.at(to - 1).unicode() <= 0x20) {
        --to;
    }
    return text.mid(from, to - from);
}
