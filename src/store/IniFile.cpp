#include "store/IniFile.h"

#include <QFile>
#include <limits>
#include <optional>

#include "text/TextHelpers.h"

namespace {

struct IniLines {
    QStringList lines;
    TextEncoding encoding = TextEncoding::System;
};

enum class LoadResult { Loaded, Missing, Unreadable };

LoadResult Load(const QString& path, IniLines* ini) {
    QFile file(path);
    if (!file.exists()) {
        return LoadResult::Missing;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        return LoadResult::Unreadable;
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        return LoadResult::Unreadable;
    }
    DecodedText decoded = DecodeText(bytes);
    ini->lines = SplitLines(decoded.text);
    ini->encoding = decoded.encoding;
    return LoadResult::Loaded;
}

// The name of the section a header line opens, or nothing for any other line.
std::optional<QString> SectionName(const QString& line) {
    const QString trimmed = TrimControls(line);
    if (!trimmed.startsWith(u'[')) {
        return std::nullopt;
    }
    qsizetype close = trimmed.lastIndexOf(u']');
    if (close < 0) {
        close = trimmed.size();
    }
    return TrimControls(trimmed.mid(1, close - 1));
}

bool SameName(const QString& a, const QString& b) {
    return QString::compare(a, b, Qt::CaseInsensitive) == 0;
}

// The key of a "key=value" line; comments and lines without "=" have none.
std::optional<QString> KeyName(const QString& line) {
    const QString trimmed = TrimControls(line);
    if (trimmed.startsWith(u';')) {
        return std::nullopt;
    }
    const qsizetype eq = trimmed.indexOf(u'=');
    if (eq < 0) {
        return std::nullopt;
    }
    return TrimControls(trimmed.left(eq));
}

QString ValueOf(const QString& line) {
    return TrimControls(line.mid(line.indexOf(u'=') + 1));
}

// Index of the section's header line, or -1.
qsizetype FindSection(const QStringList& lines, const QString& section) {
    const QString wanted = TrimControls(section);
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const auto name = SectionName(lines[i]);
        if (name && SameName(*name, wanted)) {
            return i;
        }
    }
    return -1;
}

// One past the section's last line: the next header or the end of the file.
qsizetype SectionEnd(const QStringList& lines, qsizetype header) {
    qsizetype i = header + 1;
    while (i < lines.size() && !SectionName(lines[i])) {
        ++i;
    }
    return i;
}

// Index of the key's line within [from, to), or -1.
qsizetype FindKey(const QStringList& lines, qsizetype from, qsizetype to, const QString& key) {
    const QString wanted = TrimControls(key);
    for (qsizetype i = from; i < to; ++i) {
        const auto name = KeyName(lines[i]);
        if (name && SameName(*name, wanted)) {
            return i;
        }
    }
    return -1;
}

bool HasLineBreak(const QString& text) {
    return text.contains(u'\r') || text.contains(u'\n');
}

}  // namespace

IniFile::IniFile(QString path) : path_(std::move(path)) {}

QString IniFile::readString(const QString& section, const QString& key,
                            const QString& defaultValue) const {
    IniLines ini;
    if (Load(path_, &ini) != LoadResult::Loaded) {
        return defaultValue;
    }
    const qsizetype header = FindSection(ini.lines, section);
    if (header < 0) {
        return defaultValue;
    }
    const qsizetype line = FindKey(ini.lines, header + 1, SectionEnd(ini.lines, header), key);
    return line < 0 ? defaultValue : ValueOf(ini.lines[line]);
}

int IniFile::readInteger(const QString& section, const QString& key, int defaultValue) const {
    const QString value = readString(section, key, QString());
    // An optional sign and decimal digits only; anything else, or a number out of range,
    // is not a whole number.
    qsizetype i = 0;
    const bool negative = value.startsWith(u'-');
    if (negative || value.startsWith(u'+')) {
        i = 1;
    }
    if (i == value.size()) {
        return defaultValue;
    }
    qint64 number = 0;
    for (; i < value.size(); ++i) {
        const char16_t c = value.at(i).unicode();
        if (c < u'0' || c > u'9') {
            return defaultValue;
        }
        number = number * 10 + (c - u'0');
        if (number > qint64{std::numeric_limits<int>::max()} + 1) {
            return defaultValue;
        }
    }
    if (negative) {
        number = -number;
    }
    if (number > std::numeric_limits<int>::max()) {
        return defaultValue;
    }
    return static_cast<int>(number);
}

bool IniFile::readBool(const QString& section, const QString& key, bool defaultValue) const {
    return readInteger(section, key, defaultValue ? 1 : 0) != 0;
}

bool IniFile::writeString(const QString& section, const QString& key, const QString& value) {
    // A line break would split the entry and could plant other keys; such names cannot be
    // written as one line and are refused.
    const QString sectionName = TrimControls(section);
    const QString keyName = TrimControls(key);
    if (sectionName.isEmpty() || keyName.isEmpty() || keyName.contains(u'=') ||
        keyName.startsWith(u'[') || keyName.startsWith(u';') || sectionName.contains(u']') ||
        HasLineBreak(section) || HasLineBreak(key) || HasLineBreak(value)) {
        return false;
    }

    IniLines ini;
    // A file that exists but cannot be read is never replaced by one holding only this key.
    const LoadResult loaded = Load(path_, &ini);
    if (loaded == LoadResult::Unreadable) {
        return false;
    }
    QStringList& lines = ini.lines;
    const qsizetype header = FindSection(lines, sectionName);
    if (header < 0) {
        lines.append(QLatin1Char('[') + sectionName + QLatin1Char(']'));
        lines.append(keyName + QLatin1Char('=') + value);
    } else {
        const qsizetype end = SectionEnd(lines, header);
        const qsizetype line = FindKey(lines, header + 1, end, keyName);
        if (line >= 0) {
            // Keep the key as the file spells it.
            lines[line] = *KeyName(lines[line]) + QLatin1Char('=') + value;
        } else {
            // After the section's last non-blank line, so a blank line before the next
            // section stays where it is.
            qsizetype last = header;
            for (qsizetype i = header + 1; i < end; ++i) {
                if (!TrimControls(lines[i]).isEmpty()) {
                    last = i;
                }
            }
            lines.insert(last + 1, keyName + QLatin1Char('=') + value);
        }
    }

    QString text = lines.join(QStringLiteral("\r\n"));
    text.append(QStringLiteral("\r\n"));
    QString error;
    // settings.ini holds the bot token: a file made here is its owner's alone.
    return WriteFileAtomically(path_, EncodeText(text, ini.encoding), &error,
                               loaded == LoadResult::Missing);
}

bool IniFile::writeInteger(const QString& section, const QString& key, int value) {
    return writeString(section, key, QString::number(value));
}

bool IniFile::writeBool(const QString& section, const QString& key, bool value) {
    return writeString(section, key, value ? QStringLiteral("1") : QStringLiteral("0"));
}
