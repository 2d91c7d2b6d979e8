#pragma once

#include <QString>

class TScraper;

// Search URLs and search-result pages.

// The URL without the query parameter `name`; removing the first parameter keeps the "?".
QString RemoveUrlParam(const QString& url, const QString& name);
// "contractDateFrom=" + start + "&contractDateTo=" + end of the URL's date window.
QString IntervalKey(const QString& url);

// Rewrites the start URL with the run's contract dates and a page size of 500.
void RewriteStartUrl(TScraper& run, QString& url);

// Handles one fetched search-result page: counts it, splits it when it is too large, queues its
// refusal links and its next page.
void HandleSearchPage(TScraper& run, QString page, const QString& url);
