#pragma once

#include <QString>
#include <QStringList>

class RunDriver;

// Search URLs and search-result pages.

// The URL without the query parameter `name`; removing the first parameter keeps the "?".
QString RemoveUrlParam(const QString& url, const QString& name);
// The value of the query parameter `name` (the occurrence RemoveUrlParam would remove), up to
// the next "&" or the end of the URL; empty when the parameter is missing.
QString UrlParamValue(const QString& url, const QString& name);
// "contractDateFrom=" + start + "&contractDateTo=" + end of the URL's date window.
QString IntervalKey(const QString& url);

// Rewrites the start URL with the run's contract dates and a page size of 500.
void RewriteStartUrl(RunDriver& run, QString& url);

// Handles one fetched search-result page: counts it, splits it when it is too large, queues its
// refusal links and its next page.
void HandleSearchPage(RunDriver& run, QString page, const QString& url);

// The refusal links of a page's result entries, in page order, with `base` put in front of the
// ones that begin with "/". `rest` receives where the part of the page behind the entries
// begins (0-based), the part the page bar is read from.
QStringList CollectRejectLinks(const QString& page, const QString& base, qsizetype* rest);
// The URL of the page after `url` as the page bar from `rest` on names it; empty when the page
// has no next-page arrow or its page bar names no later page.
QString NextPageUrl(const QString& page, qsizetype rest, const QString& url);
