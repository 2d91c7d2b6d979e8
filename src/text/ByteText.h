#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// Received bytes as text, one character per byte (Latin-1), so that the ASCII markers the fetch
// checks look for are found unchanged and the bytes can be recovered exactly later.
// An absent stream gives an empty text; a count of 0 or above the size means the whole stream.
QString StreamToText(const QByteArray* stream, qint32 count);

// The inverse of StreamToText: the original bytes.
QByteArray TextToStream(const QString& text);

// A page as the driver reads it: the worker's byte text decoded as UTF-8.
QString DecodePage(const QString& byteText);

// Text files: a byte-order mark selects UTF-8 or UTF-16; a file without one is in the system's
// encoding. Files are written back in the encoding they were read in.
// The code point of the UTF-8 sequence at p[i] (of `n` bytes) and its length in `length`; a
// length of 0 when the bytes there are no well-formed sequence (overlong, a surrogate, cut
// short, a stray byte).
char32_t Utf8CodePointAt(const uchar* p, qsizetype i, qsizetype n, int* length);

enum class TextEncoding { System, Utf8Bom, Utf16LE, Utf16BE };

struct DecodedText {
    QString text;
    TextEncoding encoding = TextEncoding::System;
};

DecodedText DecodeText(const QByteArray& bytes);
QByteArray EncodeText(const QString& text, TextEncoding encoding);

// Lines ending at CR, LF or CR LF; a line break at the very end adds no empty line.
QStringList SplitLines(const QString& text);

// Makes a new or renamed name in the folder durable. A failure here does not undo the file
// already complete under that name, so it is not reported.
void SyncDirectory(const QString& dirPath);

// Flushes the data of the file at `path` to disk: what another process wrote and did not sync
// is then as durable as what this one synced itself. False when it could not.
bool SyncFileData(const QString& path);

// Replaces `path` as a whole: writes a temporary file beside it, flushes it to disk and renames
// it over the old one, so a crash or a full disk never leaves a partly written file.
// Returns false with `error` set when the file could not be written; the old file then stays.
// An existing file keeps its permissions; a new one gets the usual ones, or with `ownerOnly`
// is readable and writable by its owner alone (it holds a secret) from its first byte on.
bool WriteFileAtomically(const QString& path, const QByteArray& bytes, QString* error,
                         bool ownerOnly = false);
