#include "store/RecordFile.h"

#include <QFile>

#include "text/ByteText.h"
#include "text/FileSteps.h"
#include "text/RunError.h"

namespace {

QString Escaped(const QString& field) {
    QString out;
    out.reserve(field.size());
    for (const QChar c : field) {
        switch (c.unicode()) {
            case '\\':
                out += QLatin1String("\\\\");
                break;
            case '\t':
                out += QLatin1String("\\t");
                break;
            case '\r':
                out += QLatin1String("\\r");
                break;
            case '\n':
                out += QLatin1String("\\n");
                break;
            default:
                out += c;
        }
    }
    return out;
}

QString Unescaped(const QString& field) {
    QString out;
    out.reserve(field.size());
    for (qsizetype i = 0; i < field.size(); ++i) {
        if (field[i] != QLatin1Char('\\') || i + 1 == field.size()) {
            out += field[i];
            continue;
        }
        const QChar next = field[++i];
        out += next == QLatin1Char('t')   ? QChar('\t')
               : next == QLatin1Char('r') ? QChar('\r')
               : next == QLatin1Char('n') ? QChar('\n')
                                          : next;
    }
    return out;
}

}  // namespace

QList<QStringList> ReadRecordFile(const QString& path) {
    QFile file(path);
    if (!file.exists()) {
        return {};
    }
    if (!file.open(QIODevice::ReadOnly)) {
        throw RunError(
            QStringLiteral("Не удалось прочитать файл %1: %2").arg(path, file.errorString()));
    }
    const QByteArray bytes = file.readAll();
    QList<QStringList> records;
    for (const QString& line : SplitLines(QString::fromUtf8(bytes))) {
        if (line.isEmpty()) {
            continue;
        }
        QStringList fields = line.split(QLatin1Char('\t'));
        for (QString& field : fields) {
            field = Unescaped(field);
        }
        records.append(fields);
    }
    return records;
}

void WriteRecordFile(const QString& path, const QList<QStringList>& records) {
    if (records.isEmpty()) {
        if (!QFile::exists(path)) {
            return;
        }
        FileStep("unlink", path);
        if (!QFile::remove(path)) {
            throw RunError(QStringLiteral("Не удалось удалить файл %1").arg(path));
        }
        return;
    }
    QString text;
    for (const QStringList& record : records) {
        QStringList fields;
        for (const QString& field : record) {
            fields.append(Escaped(field));
        }
        text += fields.join(QLatin1Char('\t'));
        text += QLatin1String("\r\n");
    }
    QString error;
    if (!WriteFileAtomically(path, text.toUtf8(), &error)) {
        throw RunError(error);
    }
}
