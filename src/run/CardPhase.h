#pragma once

#include <QList>

#include "run/RefusalExporter.h"

class RunControl;
class RunReporter;
class WorkerPool;

// The card phase: the contract card of every accepted refusal, fetched by workers in the detail
// slots, and its row in the run's CSV file.
class CardPhase {
public:
    CardPhase(QList<CardJob> cards, RunControl& control, WorkerPool& pool, RunReporter& reporter,
              RefusalExporter& exporter);

    // Fetches every card and writes its row; a stop closes the file with the rows written so far.
    void Run();

private:
    // Starts the next card's worker, or finishes a card whose row an earlier run wrote. False
    // when the run was stopped.
    bool StartNext();
    // Hands in the finished cards; false when the run was stopped.
    bool HarvestFinished(bool& didSomething);

    QList<CardJob> cards_;
    RunControl& control_;
    WorkerPool& pool_;
    RunReporter& reporter_;
    RefusalExporter& exporter_;
    qsizetype nextCard_ = 0;
};
