#include "text/ByteText.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringDecoder>
#include <QStringEncoder>

QString StreamToText(const QByteArray* stream, qint32 count) {
    if (stream == nullptr || count < 0) {
        return {};
    }
    const qsizetype size = (count == 0 || count > stream->size()) ? stream->size() : count;
    // Latin-1 maps every byte to the character of the same value, so nothing is lost.
    return QString::fromLatin1(stream->constData(), size);
}

QByteArray TextToStream(const QString& text) {
    return text.toLatin1();
}

QString DecodePage(const QString& byteText) {
    return QString::fromUtf8(TextToStream(byteText));
}

namespace {

QString Decode(QByteArrayView bytes, QStringConverter::Encoding encoding) {
    // The caller has taken off any byte-order mark; one left in the body stays text.
    QStringDecoder decoder(encoding, QStringConverter::Flag::ConvertInitialBom);
    return decoder.decode(bytes);
}

QByteArray Encode(const QString& text, QStringConverter::Encoding encoding) {
    QStringEncoder encoder(encoding);
    return encoder.encode(text);
}

}  // namespace

DecodedText DecodeText(const QByteArray& bytes) {
    const QByteArrayView view(bytes);
    if (view.startsWith("\xEF\xBB\xBF")) {
        return {Decode(view.sliced(3), QStringConverter::Utf8), TextEncoding::Utf8Bom};
    }
    if (view.startsWith("\xFF\xFE")) {
        return {Decode(view.sliced(2), QStringConverter::Utf16LE), TextEncoding::Utf16LE};
    }
    if (view.startsWith("\xFE\xFF")) {
        return {Decode(view.sliced(2), QStringConverter::Utf16BE), TextEncoding::Utf16BE};
    }
    return {Decode(view, QStringConverter::System), TextEncoding::System};
}

QByteArray EncodeText(const QString& text, TextEncoding encoding) {
    switch (encoding) {
        case TextEncoding::Utf8Bom:
            return QByteArray("\xEF\xBB\xBF") + Encode(text, QStringConverter::Utf8);
        case TextEncoding::Utf16LE:
            return QByteArray("\xFF\xFE") + Encode(text, QStringConverter::Utf16LE);
        case TextEncoding::Utf16BE:
            return QByteArray("\xFE\xFF") + Encode(text, QStringConverter::Utf16BE);
        case TextEncoding::System:
            break;
    }
    return Encode(text, QStringConverter::System);
}

QStringList SplitLines(const QString& text) {
    QStringList lines;
    qsizetype start = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c != u'\r' && c != u'\n') {
            continue;
        }
        lines.append(text.mid(start, i - start));
        if (c == u'\r' && i + 1 < text.size() && text.at(i + 1) == u'\n') {
            ++i;
        }
        start = i + 1;
    }
    if (start < text.size()) {
        lines.append(text.mid(start));
    }
    return lines;
}

namespace {

// Makes the rename itself durable; a failure here does not undo the already complete file.
void SyncDirectory(const QString& dirPath) {
    const int fd = ::open(QFile::encodeName(dirPath).constData(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

}  // namespace

bool WriteFileAtomically(const QString& path, const QByteArray& bytes, QString* error) {
    auto fail = [&](const QString& message) {
        if (error != nullptr) {
            *error = message;
        }
        return false;
    };
    // QSaveFile writes into a temporary file beside the target and removes it unless committed;
    // it never falls back to writing the target in place.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        return fail(QStringLiteral("Не удалось создать файл %1: %2").arg(path, file.errorString()));
    }
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        const QString message = file.errorString();
        file.cancelWriting();
        return fail(QStringLiteral("Не удалось записать файл %1: %2").arg(path, message));
    }
    // The data must be on disk before the rename makes it the file's content.
    if (::fsync(file.handle()) != 0) {
        const QString message = QString::fromLocal8Bit(strerror(errno));
        file.cancelWriting();
        return fail(QStringLiteral("Не удалось записать файл %1: %2").arg(path, message));
    }
    if (!file.commit()) {
        return fail(
            QStringLiteral("Не удалось заменить файл %1: %2").arg(path, file.errorString()));
    }
    SyncDirectory(QFileInfo(path).absolutePath());
    return true;
}
