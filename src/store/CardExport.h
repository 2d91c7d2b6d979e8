#pragma once

#include <QFile>
#include <QString>

class RunDriver;

// The CSV file of a run: one row per contract card of an accepted refusal.
class CardExport {
public:
    // Creates the file in the program's directory, logs its path and writes the header.
    // Throws RunError when the file cannot be created or its header cannot be written; no file
    // is left then.
    explicit CardExport(RunDriver& run);
    ~CardExport();

    // Appends the row of one card page; `protocolDate` is the signing date-time of the refusal
    // the card belongs to. Throws RunError when the row cannot be written; the file then holds
    // the rows before it and no part of this one.
    void WriteRow(const QString& page, const QString& url, const QString& protocolDate);

    // Closes the file; keeps it (and logs its name) when a new refusal was seen, else deletes it.
    void Close();

    QString FileName() const;
    // Where the next row will begin.
    qint64 Size() const { return file_.size(); }

private:
    QString Candidate(const QString& stem, int copy) const;
    // Creates the file with its header under the first free name; false where the file system
    // cannot make a file without a name first.
    bool CreateWithHeader(const QString& stem, const QByteArray& header);
    void CreateThenWriteHeader(const QString& stem, const QByteArray& header);
    void WriteLine(const QByteArray& line);

    RunDriver& run_;
    QFile file_;
    QString path_;
    bool closed_ = false;
};

// The header line of the file, without its line end.
// The contract's registry id in a card address: everything after its first "=".
QString RegistryIdOf(const QString& cardUrl);

QString CardHeaderLine();

// Whether the CSV file at `path` holds, from `offset` on, a whole row of the card at `url` for
// the refusal signed at `protocolDate`.
bool CsvRowWrittenAt(const QString& path, qint64 offset, const QString& url,
                     const QString& protocolDate);

// The row of one card page at `url`, without its line end: eleven quoted fields joined by ";".
QString CardRow(const QString& page, const QString& url, const QString& protocolDate);
