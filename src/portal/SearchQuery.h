#pragma once

#include <QDate>
#include <QString>
#include <QStringList>

// Search URLs of the portal's contract register: their parameters, the first search of a run
// and the narrower searches that replace one that is too large.

// The URL without the query parameter `name`; removing the first parameter keeps the "?".
QString RemoveUrlParam(const QString& url, const QString& name);
// The value of the query parameter `name` (the occurrence RemoveUrlParam would remove), up to
// the next "&" or the end of the URL; empty when the parameter is missing.
QString UrlParamValue(const QString& url, const QString& name);
// "contractDateFrom=" + start + "&contractDateTo=" + end of the URL's date window.
QString IntervalKey(const QString& url);
// Whether the URL is the first page of its search, the one whose count is read.
bool IsFirstSearchPage(const QString& url);

// The start URL with the contract dates `from` and `to` (an invalid date is sent empty), its
// escaped commas and braces opened and a page size of 500 at the end.
QString StartSearchUrl(const QString& url, const QDate& from, const QDate& to);

// A first page that reports this many records or more is replaced by narrower searches.
constexpr qint32 kSplitThreshold = 400;

// The narrower searches that replace a search of `count` records, in the order they stand at
// the front of the search queue: the latest date window or the highest price band first.
// A window over several days is cut into date windows, a single day into price bands; every
// piece is narrower than the search, and there are always at least two. Empty when the search
// cannot be narrowed (one day and one price, or a window or band that ends before it starts).
// `today` ends a window without an end date. Throws RunError when the dates cannot be read.
QStringList SplitSearch(const QString& url, qint64 count, const QDate& today);
