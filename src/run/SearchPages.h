#pragma once

#include <QString>

class RunDriver;

// The run's handling of search URLs and search-result pages.

// Rewrites the start URL with the run's contract dates and a page size of 500.
void RewriteStartUrl(RunDriver& run, QString& url);

// Handles one fetched search-result page: counts it, splits it when it is too large, queues its
// refusal links and its next page.
void HandleSearchPage(RunDriver& run, QString page, const QString& url);
