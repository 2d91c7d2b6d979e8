#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QThread>
#include <atomic>
#include <memory>

#include "fetch/RunShared.h"
#include "notify/TelegramNotice.h"
#include "run/RunControl.h"
#include "run/RunOptions.h"
#include "run/RunProgress.h"
#include "store/HaveStore.h"
#include "store/NoticeQueue.h"
#include "store/PendingExports.h"

class CsvFile;
class FetchWorker;
class RunEvents;

// The contract card of an accepted refusal, to be fetched in the card phase.
struct CardJob {
    QString url;
    QString refusalDate;  // the refusal's signing date-time, the row's date
    PendingExport entry;  // its journal entry; key empty: none
};

// What a run ended with, as its faces and tests read it once its thread has ended.
struct RunOutcome {
    // The run could not begin: no spacing mutex, no usable start address, a failed set-up.
    bool setUpFailed = false;
    qint32 contractsFound = 0;    // what the searches counted, split searches not twice
    qint32 firstSearchCount = 0;  // the count of the first search page read
    QList<CardJob> cards;         // the contract cards of accepted refusals, in their order
    bool newRefusalSeen = false;  // a refusal not met before: the run's CSV file is kept
};

// The run driver: one thread that owns one run from set-up to its end. It walks the search
// results (listing phase), then fetches the contract card of every accepted refusal and writes
// the CSV file (card phase), telling its face what happens only through RunEvents.
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
    const RunOptions& Options() const { return options_; }

    // --- The run's state, on the driver's thread ---
    RunProgress progress;
    QString startUrl;
    QString portalBase;  // scheme, host and port of startUrl
    qint32 detailSlots = 1;
    QStringList searchQueue;
    QStringList refusalQueue;
    QList<CardJob> cards;            // the contract cards of accepted refusals, in their order
    QStringList seenRefusalDigests;  // sorted MD5 digests of the refusal links queued this run
    HaveStore haveStore;             // the refusals met before (have.txt)
    bool newRefusalSeen = false;
    TelegramSettings telegram;       // empty token or user id: no notices
    QList<int> malformedProxyLines;  // proxy.txt lines that name no proxy, logged at set-up

    // The directories the run's files are in.
    QString ProgramPath(const QString& name) const;
    QString WorkPath(const QString& name) const;

    // Reports to the face; each waits until the face's thread has handled it.
    void AddLogLine(const QString& text);
    // The progress and the counters, each at most about once a second.
    void ShowProgress();
    void ShowCounters();
    // Queues the Telegram notice of the accepted refusal `key`, signed at `refusalDate`.
    void QueueNotice(const QString& key, const QString& refusalDate, const QString& cardUrl);
    // The results line, the balloon and the delivery of the queued Telegram notices.
    void AnnounceRefusal(const QString& refusalDate, const QString& cardUrl);
    // Sends the queued Telegram notices, oldest first, until one fails for a passing reason.
    void DeliverNotices();

    // Accepted refusals whose row is not written yet, and Telegram notices not yet delivered;
    // both kept in the work folder, made on first use.
    PendingExports& Pending();
    NoticeQueue& Notices();

protected:
    void run() override;

private:
    bool SetUp();
    bool ListingPhase();
    void ClaimOrphanedExports();
    bool RowAlreadyWritten(const PendingExport& entry) const;
    void OpenCsvFile();
    void WriteCardRow(qsizetype index, const QString& page, const QString& url);
    // Records the refusal in have.txt, then takes its entry out of the journal.
    void FinishExport(const QString& key);
    // A card that failed to load: tried again by later runs, or after days written without it.
    void CardFailed(qsizetype index, const QString& url);
    // One line when Telegram notices have waited long.
    void ReportNoticeBacklog();
    void CardPhase();
    void EndOfRun();
    // Tells the face how a phase ended; after a failure waits until the face continues the run.
    void ReportPhaseEnd(const QString& failure);
    void StartWorker(const QString& url, WorkerLists& lists, qsizetype cardIndex = -1);
    void HarvestListing(FetchWorker* worker);
    void TerminateWorkers(WorkerLists& lists);
    void DisposeWorkers(WorkerLists& lists);
    int RunningCount(WorkerLists& lists);
    // The end of a loop pass: a short sleep after a pass that got something done, else a wait
    // until a worker hands its page in or ends or the run is held, continued or stopped (unless
    // that happened since `seen` was counted).
    void EndLoopPass(bool didSomething, quint64 seen);
    // The short sleep after a step, so a busy phase does not spin.
    static void SleepLoopPass();
    void LoadProxyList();
    void ReadSettings();
    bool LoadStartUrl();

    RunOptions options_;
    RunEvents* events_;
    std::shared_ptr<RunShared> shared_;
    WorkerLists listingLists_;
    WorkerLists cardLists_;
    std::unique_ptr<CsvFile> csv_;
    std::unique_ptr<PendingExports> pending_;
    std::unique_ptr<NoticeQueue> notices_;

    std::shared_ptr<RunControl> control_ = std::make_shared<RunControl>();
    std::atomic<bool> abandonNetwork_{false};
    RunOutcome outcome_;
};
