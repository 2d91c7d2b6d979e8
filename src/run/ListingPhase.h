#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include "run/RefusalExporter.h"

class FetchWorker;
class NoticeDispatcher;
class RunControl;
class RunReporter;
class WorkerPool;
struct RunInputs;
struct RunOptions;
struct SearchPageOutcome;

// The listing phase: walks the search-result pages from the start address, splitting searches
// that are too large, and reads every refusal page they list, fetched by workers and read in
// turn. Each new refusal is recorded, filtered by its date and, when it passes, accepted: its
// contract card waits for the card phase.
class ListingPhase {
public:
    ListingPhase(const RunOptions& options, const RunInputs& inputs, RunControl& control,
                 WorkerPool& pool, RunReporter& reporter, RefusalExporter& exporter,
                 NoticeDispatcher& notices);

    // Walks the searches. False when the run was stopped; a phase that failed counts as ended.
    bool Run();

    // What a fetched page gave, applied to the run: the queues, the counters and the log.
    void ApplySearchPage(const SearchPageOutcome& outcome);
    void ApplyRefusalPage(const QString& page, const QString& url);

    // The cards of the refusals accepted so far, in their order.
    const QList<CardJob>& Cards() const { return cards_; }
    const QStringList& SearchQueue() const { return searchQueue_; }
    const QStringList& RefusalQueue() const { return refusalQueue_; }

private:
    // One pass's start of a worker from the queues.
    enum class Step { Nothing, Done, Stopped };
    Step StartNext();
    void Harvest(FetchWorker& worker);
    // Queues a refusal link unless this run has queued it before.
    void QueueRefusalLink(const QString& link);
    void AcceptRefusal(const QString& key, const QString& signedAt, const QString& page);

    const RunOptions& options_;
    const RunInputs& inputs_;
    RunControl& control_;
    WorkerPool& pool_;
    RunReporter& reporter_;
    RefusalExporter& exporter_;
    NoticeDispatcher& notices_;
    QStringList searchQueue_;
    QStringList refusalQueue_;
    QStringList seenRefusalDigests_;  // sorted MD5 digests of the refusal links queued
    QList<CardJob> cards_;
};
