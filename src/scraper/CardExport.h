#pragma once

#include <QFile>
#include <QString>

class TScraper;

// The CSV file of a run: one row per contract card of an accepted refusal.
class CardExport {
public:
    // Creates the file in the program's directory, logs its path and writes the header.
    // Throws RunError when the file cannot be created.
    explicit CardExport(TScraper& run);
    ~CardExport();

    // Appends the row of one card page; `protocolDate` is the signing date-time of the refusal
    // the card belongs to.
    void WriteRow(const QString& page, const QString& url, const QString& protocolDate);

    // Closes the file; keeps it (and logs its name) when a new refusal was seen, else deletes it.
    void Close();

    QString FileName() const;

private:
    TScraper& run_;
    QFile file_;
    bool closed_ = false;
};
