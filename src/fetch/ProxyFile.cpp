#include "fetch/ProxyFile.h"

#include <QFile>

#include "fetch/ProxyRotation.h"
#include "text/ByteText.h"
#include "text/TextHelpers.h"

ProxyFile LoadProxyFile(const QString& path) {
    ProxyFile list;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return list;
    }
    list.exists = true;
    const QStringList lines = SplitLines(DecodeText(file.readAll()).text);
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (IsProxyLine(lines[i])) {
            list.proxies.append(lines[i]);
        } else if (!TrimControls(lines[i]).isEmpty()) {
            list.malformedLines.append(static_cast<int>(i + 1));
        }
    }
    return list;
}

QString MalformedProxyLinesText(const QList<int>& lines) {
    constexpr qsizetype kNamed = 20;
    QStringList numbers;
    for (qsizetype i = 0; i < lines.size() && i < kNamed; ++i) {
        numbers << QString::number(lines[i]);
    }
    QString text = QStringLiteral(
                       "Пропускаем строки файла proxy.txt, не похожие на прокси "
                       "(ip:port:login:password или login:password@ip:port), номера строк: ") +
                   numbers.join(QStringLiteral(", "));
    if (lines.size() > kNamed) {
        text += QStringLiteral(" и ещё %1").arg(lines.size() - kNamed);
    }
    return text;
}

bool ProxyFileNamesAProxy(const QString& path) {
    QFile file(path);
    if (!file.exists()) {
        file.open(QIODevice::WriteOnly);
        return false;
    }
    // A file whose lines name no proxy is as good as an empty one.
    return !LoadProxyFile(path).proxies.isEmpty();
}
