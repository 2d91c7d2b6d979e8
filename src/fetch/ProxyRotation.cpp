#include "fetch/ProxyRotation.h"

#include "text/TextHelpers.h"

namespace {

// Characters that separate fields of the four-field form, like ":" does.
bool IsBlank(QChar c) {
    return c.unicode() >= 1 && c.unicode() <= 0x20;
}

// A field that opens with a double quote runs to the matching closing quote; a doubled quote
// inside stands for one. An unclosed quote runs to the end. `at` is left after the field.
QString QuotedField(const QString& text, qsizetype& at) {
    QString field;
    ++at;  // the opening quote
    while (at < text.size()) {
        const QChar c = text.at(at);
        if (c == u'"') {
            if (at + 1 < text.size() && text.at(at + 1) == u'"') {
                field.append(c);
                at += 2;
                continue;
            }
            ++at;  // the closing quote
            return field;
        }
        field.append(c);
        ++at;
    }
    return field;
}

// Splits at ":" by delimited-text rules: a ":", a run of blanks, or a ":" with blanks around it
// is one separator; leading blanks are skipped; "::" gives an empty field, and so does a ":"
// at the very end.
QStringList DelimitedFields(const QString& text) {
    QStringList fields;
    qsizetype at = 0;
    const qsizetype end = text.size();
    while (at < end && IsBlank(text.at(at))) {
        ++at;
    }
    while (at < end) {
        if (text.at(at) == u'"') {
            fields.append(QuotedField(text, at));
        } else {
            const qsizetype from = at;
            while (at < end && !IsBlank(text.at(at)) && text.at(at) != u':') {
                ++at;
            }
            fields.append(text.mid(from, at - from));
        }
        while (at < end && IsBlank(text.at(at))) {
            ++at;
        }
        if (at < end && text.at(at) == u':') {
            if (at + 1 == end) {
                fields.append(QString());
            }
            do {
                ++at;
            } while (at < end && IsBlank(text.at(at)));
        }
    }
    return fields;
}

// Text before and after the first `separator`; without one, all of it is `before`.
void SplitAtFirst(const QString& text, QChar separator, QString& before, QString& after) {
    const qsizetype at = text.indexOf(separator);
    if (at < 0) {
        before = text;
        after.clear();
    } else {
        before = text.left(at);
        after = text.mid(at + 1);
    }
}

}  // namespace

QString NextProxy(const QStringList& list, std::atomic<qint32>& cursor) {
    const qsizetype count = list.size();
    if (count == 0) {
        return {};
    }
    // Read, advance and store in one atomic step: concurrent workers each get their own line.
    qint32 current = cursor.load();
    qint32 next = 0;
    do {
        next = current + 1;
        if (next < 0 || next >= count) {
            next = 0;
        }
    } while (!cursor.compare_exchange_weak(current, next));
    return list.at(next);
}

HttpClient::Proxy ReadProxyLine(const QString& line) {
    QString s = TrimControls(line);
    // A NUL ends the line, as it ends any delimited text.
    const qsizetype nul = s.indexOf(QChar(u'\0'));
    if (nul >= 0) {
        s.truncate(nul);
    }
    // A scheme such as "http://" is ignored: every proxy is used as an HTTP proxy.
    const qsizetype slashes = s.indexOf(QStringLiteral("//"));
    if (slashes >= 0) {
        s.remove(0, slashes + 2);
    }

    HttpClient::Proxy proxy;
    const qsizetype at = s.indexOf(QLatin1Char('@'));
    if (at >= 0) {
        SplitAtFirst(s.mid(at + 1), QLatin1Char(':'), proxy.host, proxy.port);
        SplitAtFirst(s.left(at), QLatin1Char(':'), proxy.user, proxy.password);
    } else {
        const QStringList fields = DelimitedFields(s);
        if (fields.size() >= 4) {
            proxy.host = fields.at(0);
            proxy.port = fields.at(1);
            proxy.user = fields.at(2);
            proxy.password = fields.at(3);
        }
    }
    return proxy;
}

bool IsProxyLine(const QString& line) {
    const HttpClient::Proxy proxy = ReadProxyLine(line);
    if (proxy.host.isEmpty()) {
        return false;
    }
    if (proxy.port.isEmpty()) {
        return true;
    }
    bool ok = false;
    const uint port = proxy.port.toUInt(&ok);
    return ok && port >= 1 && port <= 65535;
}

void ApplyProxy(HttpClient& client, const QString& line) {
    HttpClient::Proxy proxy = client.proxy();
    if (line.isEmpty()) {
        proxy.host.clear();
        proxy.port.clear();
        client.setProxy(proxy);
        return;
    }
    const HttpClient::Proxy read = ReadProxyLine(line);
    proxy.host = read.host;
    proxy.port = read.port;
    // A line without a user keeps the credentials this client had.
    if (!read.user.isEmpty()) {
        proxy.user = read.user;
        proxy.password = read.password;
    }
    client.setProxy(proxy);
}
