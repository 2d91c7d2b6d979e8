#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <memory>

#include "run/RefusalExporter.h"

class FetchWorker;
class NoticeDispatcher;
class RecheckLedger;
class RunControl;
class RunReporter;
class WorkerPool;
struct RunInputs;
struct RunOptions;
struct SearchPageOutcome;

// The listing phase: walks the search-result pages of every start address, splitting searches
// that are too large, and reads the refusal pages they list, fetched by workers and read in
// turn. Pages never met before go first, as soon as a search lists them; pages met before
// follow once the searches are walked, all of them in a single run, and in a repeating run as
// many as its share allows, oldest check first. Each new refusal is recorded, filtered by its
// date and, when it passes, accepted: its contract card waits for the card phase.
class ListingPhase {
public:
    ListingPhase(const RunOptions& options, const RunInputs& inputs, RunControl& control,
                 WorkerPool& pool, RunReporter& reporter, RefusalExporter& exporter,
                 NoticeDispatcher& notices);
    ~ListingPhase();

    // Walks the searches. False when the run was stopped; a phase that failed counts as ended.
    bool Run();

    // What a fetched page gave, applied to the run: the queues, the counters and the log.
    // `search` is the start address's place among the run's searches.
    void ApplySearchPage(const SearchPageOutcome& outcome, int search = 0);
    void ApplyRefusalPage(const QString& page, const QString& url);

    // The cards of the refusals accepted so far, in their order.
    const QList<CardJob>& Cards() const { return cards_; }
    QStringList SearchQueue() const;
    // Refusal pages waiting, never met ones first.
    QStringList RefusalQueue() const;

private:
    struct QueuedSearch {
        QString url;
        int search = 0;
    };
    enum class Step { Nothing, Done, Stopped };
    // One pass's start of a worker from the queues.
    Step StartNext();
    // The next refusal page to fetch, when one may go now; empty when none.
    QString TakeRefusalPage();
    void Harvest(FetchWorker& worker);
    // Queues a refusal link unless this run has queued it before.
    void QueueRefusalLink(const QString& link);
    void AcceptRefusal(const QString& key, const QString& signedAt, const QString& page);
    // How many pages met before a run may check again.
    qsizetype RecheckBudget() const;
    // About once a minute: the refusal pages read, listed and the time left at this pace.
    void ReportPagesProgress();
    void ReportRecheck();
    qsizetype PagesWaiting() const;
    // The run gave up on a portal that refuses every request: nothing more goes out.
    void GiveUp();
    bool gaveUpLogged_ = false;

    const RunOptions& options_;
    const RunInputs& inputs_;
    RunControl& control_;
    WorkerPool& pool_;
    RunReporter& reporter_;
    RefusalExporter& exporter_;
    NoticeDispatcher& notices_;
    std::shared_ptr<RecheckLedger> ledger_;

    QList<QueuedSearch> searchQueue_;
    QMultiHash<QString, int> searchesInFlight_;  // search pages being fetched, by address
    QHash<QString, int> startPages_;             // the start addresses' own first pages, by address
    QStringList newPages_;                       // refusal pages never met, in listing order
    QStringList knownPages_;                     // refusal pages met before, in listing order
    QStringList recheckPages_;                   // the ones of them this run checks, in turn
    bool recheckChosen_ = false;
    qsizetype knownListed_ = 0;
    qsizetype recheckCount_ = 0;
    qsizetype pagesRead_ = 0;  // refusal pages fetched and read this run
    qsizetype pagesStarted_ = 0;
    QStringList seenRefusalDigests_;  // sorted MD5 digests of the refusal links queued
    QList<CardJob> cards_;
    QElapsedTimer clock_;
    qint64 lastProgressLineMs_ = 0;
};
