#pragma once

#include <QString>
#include <QStringList>

#include "text/ByteText.h"

// An INI file read and written as the platform's INI functions do it: a missing file, section
// or key gives the default; a value is the text after the equals sign as it stands; writing a
// key changes (or adds) that one line and leaves every other line, comment and the file's
// encoding as they were. A new file is written in the system's encoding and is readable by
// its owner only; an existing one keeps its permissions.
class IniFile {
public:
    explicit IniFile(QString path);

    QString readString(const QString& section, const QString& key,
                       const QString& defaultValue) const;
    // A value that is not a whole number gives the default.
    int readInteger(const QString& section, const QString& key, int defaultValue) const;
    // An integer; any value other than 0 is true.
    bool readBool(const QString& section, const QString& key, bool defaultValue) const;

    // Returns false when the file could not be written.
    bool writeString(const QString& section, const QString& key, const QString& value);
    bool writeInteger(const QString& section, const QString& key, int value);
    bool writeBool(const QString& section, const QString& key, bool value);

private:
    QString path_;
};
