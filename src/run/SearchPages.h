#pragma once

#include <QDate>
#include <QString>
#include <QStringList>

// What one search-result page gave, read without touching the run: the listing phase applies it.
struct SearchPageOutcome {
    QStringList lines;         // log lines, in order, before those of the refusal links
    qsizetype countLine = -1;  // which of them is a first page's count line; -1: none
    // The page had its count, so the run's counters and progress move (by `records`).
    bool counted = false;
    qint32 records = 0;        // contracts the page adds; none when narrower searches stand in
    qint32 firstCount = -1;    // a first page's count, the progress bar's range; -1: none
    QStringList narrower;      // the searches that stand in for this one, in their order
    QStringList refusalLinks;  // in page order, repeats included
    QString next;              // the next page; empty: none
    bool noResults = false;    // the page says the search found nothing
    // The page reports records and is read as it stands, yet holds no entry the program knows.
    bool entriesUnrecognised = false;
    // A page that could not be read to its end (its count is no number): the lines so far
    // stand, then this message; nothing else of the page is taken.
    QString failure;
};

// Reads one fetched search-result page at `url`: its count, its split when it is too large (the
// split's dates relative to `today`), its refusal links with `base` in front of relative ones,
// and its next page.
SearchPageOutcome ReadSearchResults(QString page, const QString& url, const QString& base,
                                    const QDate& today);

// The start URL with the run's contract dates and a page size of 500; a test export always
// covers January 2026, whatever dates were chosen.
QString StartUrlForRun(const QString& url, const QDate& contractFrom, const QDate& contractTo,
                       bool testExport);
