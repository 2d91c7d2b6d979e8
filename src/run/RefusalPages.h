#pragma once

#include <QString>

class RunDriver;

// Handles one fetched refusal page: finds its refusal documents, skips those met before,
// records the new ones in have.txt, filters them by refusal date and accepts the rest.
void HandleRefusalPage(RunDriver& run, const QString& page, const QString& url);
