#pragma once

#include <QString>

// The row of a refusal in the CSV file: eleven quoted fields joined by ";", the refusal's date
// and the contract card's values.

// The header line of the file, without its line end.
QString CardHeaderLine();

// The row of one card page at `url`, without its line end, for the refusal signed at
// `signedAt`.
QString CardRow(const QString& page, const QString& url, const QString& signedAt);

// Whether the CSV file at `path` holds, from `offset` on, a whole row of the card at `url` for
// the refusal signed at `signedAt`.
bool CsvRowWrittenAt(const QString& path, qint64 offset, const QString& url,
                     const QString& signedAt);
