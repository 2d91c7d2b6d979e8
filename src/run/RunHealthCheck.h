#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <functional>

#include "fetch/FetchFailure.h"
#include "run/RunHealth.h"

class FailureStreak;
struct SearchPageOutcome;

// What a run saw of the portal, page by page, and the health it concludes from it: blind when
// no search page could be read, when a page with records showed no entry the program knows,
// when no refusal page gave a document or no card gave a field, or when every request failed
// the same way; suspect when a search's count halved.
class RunHealthCheck {
public:
    // A search page handed back: `outcome` is null when it failed.
    void SearchPage(const QString& url, const SearchPageOutcome* outcome,
                    const FetchFailure& failure);
    // The count of a start address's own first page (`line` as StartURL.txt gives it).
    void StartCount(const QString& line, int search, qint32 count);
    // A refusal page or card that failed to load.
    void FailedPage(const QString& url);
    void RefusalPage(const QString& url, bool hasDocument);
    void Card(const QString& url, bool hasField);

    // The run's health from what it saw and how its requests went.
    RunHealth Verdict(const FailureStreak& requests) const;

    // The verdict against what earlier runs left in the work folder: the drop lines, the
    // recovery, the lines for the log, the notices to queue (a new blind state, a recovery, a
    // confirmed drop, none repeated within a day), and the record for the next run.
    using LogLine = std::function<void(const QString& text)>;
    using QueueNotice = std::function<void(const QString& key, const QString& text)>;
    RunHealth Conclude(const QString& workDir, const FailureStreak& requests, const LogLine& log,
                       const QueueNotice& queue) const;

private:
    struct Count {
        QString line;
        int search = 0;
        qint32 count = 0;
    };
    int searchTried_ = 0;
    int searchRead_ = 0;
    int searchFailed_ = 0;
    QString firstUnread_;  // a search page that came back without a count
    QString firstFailed_;
    FetchFailure searchFailure_;
    bool searchFailedAlike_ = true;
    QString firstNoEntries_;
    int refusalPages_ = 0;
    int refusalDocuments_ = 0;
    QString firstEmptyRefusal_;
    int cards_ = 0;
    int cardsWithFields_ = 0;
    QString firstEmptyCard_;
    QList<Count> counts_;
};
