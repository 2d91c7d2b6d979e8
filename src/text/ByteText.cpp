#include "text/ByteText.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStringDecoder>
#include <QStringEncoder>

#include "text/FileSteps.h"

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

char32_t Utf8CodePointAt(const uchar* p, qsizetype i, qsizetype n, int* length) {
    const uchar lead = p[i];
    int size = 0;
    char32_t code = 0;
    char32_t least = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        size = 2;
        code = lead & 0x1F;
        least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        size = 3;
        code = lead & 0x0F;
        least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        size = 4;
        code = lead & 0x07;
        least = 0x10000;
    }
    bool wellFormed = size > 0 && i + size <= n;
    for (int k = 1; wellFormed && k < size; ++k) {
        const uchar next = p[i + k];
        wellFormed = (next & 0xC0) == 0x80;
        code = (code << 6) | (next & 0x3F);
    }
    wellFormed =
        wellFormed && code >= least && code <= 0x10FFFF && !(code >= 0xD800 && code <= 0xDFFF);
    *length = wellFormed ? size : 0;
    return wellFormed ? code : 0;
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

// UTF-8 that keeps every byte: a byte that does not belong to a well-formed sequence becomes
// the lone surrogate U+DC00 + byte, which no well-formed UTF-8 can produce, and is written back
// as that byte. A hand-edited file with lines in another encoding, or with junk in it, thus
// comes back unchanged when it is rewritten.
QString DecodeUtf8KeepingBytes(QByteArrayView bytes) {
    QString text;
    text.reserve(bytes.size());
    const auto* p = reinterpret_cast<const uchar*>(bytes.data());
    const qsizetype n = bytes.size();
    qsizetype i = 0;
    while (i < n) {
        qsizetype ascii = i;
        while (ascii < n && p[ascii] < 0x80) {
            ++ascii;
        }
        if (ascii > i) {
            text.append(QLatin1StringView(bytes.data() + i, ascii - i));
            i = ascii;
            continue;
        }
        const uchar lead = p[i];
        int length = 0;
        const char32_t code = Utf8CodePointAt(p, i, n, &length);
        if (length == 0) {
            text.append(QChar(static_cast<char16_t>(0xDC00 + lead)));
            ++i;
        } else if (code >= 0x10000) {
            text.append(QChar(QChar::highSurrogate(code)));
            text.append(QChar(QChar::lowSurrogate(code)));
            i += length;
        } else {
            text.append(QChar(static_cast<char16_t>(code)));
            i += length;
        }
    }
    return text;
}

bool IsKeptByte(const QString& text, qsizetype i) {
    const char16_t c = text.at(i).unicode();
    return c >= 0xDC80 && c <= 0xDCFF && (i == 0 || !text.at(i - 1).isHighSurrogate());
}

QByteArray EncodeUtf8KeepingBytes(const QString& text) {
    QByteArray bytes;
    qsizetype from = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (IsKeptByte(text, i)) {
            bytes += QStringView(text).sliced(from, i - from).toUtf8();
            bytes += static_cast<char>(text.at(i).unicode() - 0xDC00);
            from = i + 1;
        }
    }
    if (from == 0) {
        return text.toUtf8();
    }
    bytes += QStringView(text).sliced(from).toUtf8();
    return bytes;
}

}  // namespace

DecodedText DecodeText(const QByteArray& bytes) {
    const QByteArrayView view(bytes);
    if (view.startsWith("\xEF\xBB\xBF")) {
        return {DecodeUtf8KeepingBytes(view.sliced(3)), TextEncoding::Utf8Bom};
    }
    if (view.startsWith("\xFF\xFE")) {
        return {Decode(view.sliced(2), QStringConverter::Utf16LE), TextEncoding::Utf16LE};
    }
    if (view.startsWith("\xFE\xFF")) {
        return {Decode(view.sliced(2), QStringConverter::Utf16BE), TextEncoding::Utf16BE};
    }
    // The system's encoding is UTF-8 here.
    return {DecodeUtf8KeepingBytes(view), TextEncoding::System};
}

QByteArray EncodeText(const QString& text, TextEncoding encoding) {
    switch (encoding) {
        case TextEncoding::Utf8Bom:
            return QByteArray("\xEF\xBB\xBF") + EncodeUtf8KeepingBytes(text);
        case TextEncoding::Utf16LE:
            return QByteArray("\xFF\xFE") + Encode(text, QStringConverter::Utf16LE);
        case TextEncoding::Utf16BE:
            return QByteArray("\xFE\xFF") + Encode(text, QStringConverter::Utf16BE);
        case TextEncoding::System:
            break;
    }
    return EncodeUtf8KeepingBytes(text);
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

void SyncDirectory(const QString& dirPath) {
    FileStep("dirsync", dirPath);
    const int fd =
        ::open(QFile::encodeName(dirPath).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

bool SyncFileData(const QString& path) {
    FileStep("fsync", path);
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool synced = ::fdatasync(fd) == 0;
    ::close(fd);
    return synced;
}

bool WriteFileAtomically(const QString& path, const QByteArray& bytes, QString* error,
                         bool ownerOnly) {
    auto fail = [&](const QString& text) {
        if (error != nullptr) {
            *error = text.arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        }
        return false;
    };
    const QByteArray target = QFile::encodeName(path);
    struct stat old {};
    const bool exists = ::stat(target.constData(), &old) == 0;
    // A temporary file beside the target, never the target written in place; a kill may leave
    // one behind, which nothing reads.
    QByteArray temp;
    int fd = -1;
    for (int attempt = 0; fd < 0; ++attempt) {
        temp = target + ".new-" +
               QByteArray::number(QRandomGenerator::global()->generate64() % 2176782336u, 36);
        FileStep("create", QFile::decodeName(temp));
        // A secret is readable by its owner alone from its first byte on.
        fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                    ownerOnly && !exists ? S_IRUSR | S_IWUSR : 0666);
        if (fd < 0 && (errno != EEXIST || attempt >= 100)) {
            return fail(QStringLiteral("Не удалось создать файл %1: %2"));
        }
    }
    const QString tempPath = QFile::decodeName(temp);
    const auto abandon = [&](const QString& text) {
        const int saved = errno;
        ::close(fd);
        FileStep("unlink", tempPath);
        ::unlink(temp.constData());
        errno = saved;
        return fail(text);
    };
    // A replacement keeps the old file's permissions.
    if (exists && ::fchmod(fd, old.st_mode & 07777) != 0) {
        return abandon(QStringLiteral("Не удалось создать файл %1: %2"));
    }
    FileStep("write", tempPath, 0, bytes.size());
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t n =
            ::write(fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return abandon(QStringLiteral("Не удалось записать файл %1: %2"));
        }
        done += n;
    }
    // The data must be on disk before the rename makes it the file's content.
    FileStep("fsync", tempPath);
    if (::fsync(fd) != 0) {
        return abandon(QStringLiteral("Не удалось записать файл %1: %2"));
    }
    ::close(fd);
    FileStep("rename", path, -1, -1, tempPath);
    if (::rename(temp.constData(), target.constData()) != 0) {
        const int saved = errno;
        FileStep("unlink", tempPath);
        ::unlink(temp.constData());
        errno = saved;
        return fail(QStringLiteral("Не удалось заменить файл %1: %2"));
    }
    // The new name must survive a power cut as well, before anything counts on it.
    SyncDirectory(QFileInfo(path).absolutePath());
    return true;
}
