#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// Small files of records that the program keeps beside have.txt: one record a line, its fields
// separated by tabs, with "\\", "\t", "\r" and "\n" standing for a backslash, a tab, a CR and
// an LF inside a field. UTF-8 without a byte-order mark.

// The records of the file; none when it does not exist. Throws RunError when it cannot be read.
QList<QStringList> ReadRecordFile(const QString& path);

// Replaces the file as a whole (or removes it when there are no records), so that a crash
// leaves either the old records or the new ones. Throws RunError when it cannot.
void WriteRecordFile(const QString& path, const QList<QStringList>& records);
