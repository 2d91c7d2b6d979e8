#pragma once

#include <QString>

class TScraper;

// Handles one fetched refusal page: finds its refusal documents, skips those met before,
// records the new ones in have.txt, filters them by refusal date and accepts the rest.
void HandleRejectPage(TScraper& run, const QString& page, const QString& url);
