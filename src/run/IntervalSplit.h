#pragma once

#include <QDate>
#include <QString>
#include <QStringList>

class RunDriver;

// A first page that reports this many records or more is replaced by narrower searches.
constexpr qint32 kSplitThreshold = 400;

// The narrower searches that replace a search of `count` records, in the order they stand at
// the front of the search queue: the latest date window or the highest price band first.
// A window over several days is cut into date windows, a single day into price bands; every
// piece is narrower than the search, and there are always at least two. Empty when the search
// cannot be narrowed (one day and one price, or a window or band that ends before it starts).
// `today` ends a window without an end date. Throws RunError when the dates cannot be read.
QStringList SplitSearch(const QString& url, qint64 count, const QDate& today);

// Puts the narrower searches at the front of SearchQueue and logs the split. Returns false when
// the search has to be walked as it stands instead (it cannot be narrowed, or its dates cannot
// be read); the reason is logged then.
bool SplitInterval(RunDriver& run, const QString& url, qint32 count);
