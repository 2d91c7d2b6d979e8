#pragma once

#include <QList>
#include <QThread>
#include <atomic>
#include <memory>

#include "run/RefusalExporter.h"
#include "run/RunControl.h"
#include "run/RunHealth.h"
#include "run/RunOptions.h"

class NoticeDispatcher;
class RunEvents;
class RunReporter;
struct RunInputs;
struct RunShared;

// What a run ended with, as its faces and tests read it once its thread has ended.
struct RunOutcome {
    // The run could not begin: no spacing mutex, no usable start address, a failed set-up.
    bool setUpFailed = false;
    qint32 contractsFound = 0;    // what the searches counted, split searches not twice
    qint32 firstSearchCount = 0;  // the count of the first search page read
    QList<CardJob> cards;         // the contract cards of accepted refusals, in their order
    bool newRefusalSeen = false;  // a refusal not met before: the run's CSV file is kept
    RunHealth health;             // how well it saw the portal; Unknown when stopped
};

// The run driver: one thread that owns one run from set-up to its end. It reads the run's
// inputs, walks the search results (the listing phase), then fetches the contract card of every
// accepted refusal and writes the CSV file (the card phase), telling its face what happens only
// through RunEvents.
class RunDriver : public QThread {
    Q_OBJECT
public:
    // `events` must outlive the run.
    RunDriver(RunEvents* events, RunOptions options);
    ~RunDriver() override;

    // Hold, continue, terminate and the thread limit, from any thread; outlives the driver, for
    // callers that may act after it is gone.
    std::shared_ptr<RunControl> Control() const { return control_; }
    // Abandons a Telegram notice in flight as well (the program is closing).
    void AbandonNetwork() { abandonNetwork_.store(true); }
    // What the run ended with; read once its thread has ended.
    const RunOutcome& Outcome() const { return outcome_; }

protected:
    void run() override;

private:
    // Everything up to the first request; false when the run cannot begin.
    bool SetUp(const RunInputs& inputs, RunReporter& reporter, RefusalExporter& exporter,
               NoticeDispatcher& notices);
    void Walk(const RunInputs& inputs, const std::shared_ptr<RunShared>& shared,
              RunReporter& reporter, RefusalExporter& exporter, NoticeDispatcher& notices);

    RunOptions options_;
    RunEvents* events_;
    std::shared_ptr<RunControl> control_ = std::make_shared<RunControl>();
    std::atomic<bool> abandonNetwork_{false};
    RunOutcome outcome_;
};
