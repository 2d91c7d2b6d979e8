#pragma once

#include <QCryptographicHash>
#include <QDate>
#include <QString>
#include <QStringList>
#include <QThread>
#include <atomic>
#include <memory>

#include "fetch/RunShared.h"
#include "store/HaveStore.h"
#include "store/NoticeQueue.h"
#include "store/PendingExports.h"
#include "run/RunControl.h"

class RunView;
class FetchWorker;
class CardExport;

// The run driver: one thread that owns one run from set-up to its end. It walks the search
// results (listing phase), then fetches the contract card of every accepted refusal and writes
// the CSV file (card phase), reporting to the window only through RunView calls.
class RunDriver : public QThread {
    Q_OBJECT
public:
    // `view` must outlive the run.
    explicit RunDriver(RunView* view);
    ~RunDriver() override;

    // --- Set by the window before start() ---
    bool ProxyChecked = false;             // the proxy box, as it stood when Start was pressed
    QDate PublishDateFrom, PublishDateTo;  // contract dates; a null date means no bound
    QDate RejectDateFrom, RejectDateTo;    // refusal date filter; null means no bound
    QString ProgramDir;  // settings.ini, proxy.txt, logs and CSV files (default: the program's)
    QString WorkDir;     // have.txt and StartURL.txt (default: the current directory)
    QString MutexName = QStringLiteral("QuorvaneMutex");
    // Deletes the driver when its thread has ended (the window's runs).
    bool FreeOnTerminate = false;
    // Set by the driver when the run could not begin (no spacing mutex, no usable start address,
    // a failed set-up); read once the run is over.
    bool SetUpFailed = false;

    // --- Run control from the window's thread ---
    // Holds the driver at its next check; it does nothing until continued.
    void Hold() { control_->Hold(); }
    void Continue() { control_->Continue(); }
    bool Held() const { return control_->Held(); }
    // Asks the driver to leave the run (continue it first when it is held).
    void Terminate() { control_->Terminate(); }
    bool Terminated() const { return control_->Terminated(); }
    // Set when the run is over (the driver frees itself soon after with FreeOnTerminate).
    bool Done() const { return control_->Done(); }
    // Outlives the driver, for callers that may act after it is gone.
    std::shared_ptr<RunControl> Control() const { return control_; }
    // Abandons a Telegram notice in flight as well (the program is closing).
    void AbandonNetwork() { abandonNetwork_.store(true); }

    // --- Fields the reporting calls read and write (each call runs while the driver waits) ---
    qint32 Limit = 0;
    QString result;
    QString LogMessageText;
    bool CursorHourGlass = false;
    qint32 ProgressBarPosition = 0;
    qint32 ProgressBarMax = 0;
    quint32 progesslastupdated = 0;
    quint32 counterlastupdated = 0;
    qint32 TendersCounter = 0;
    qint32 QCounter = 0;
    bool CheckBox1Checked = false;
    QString ProtocolUrl;
    QString ProtocolDate;

    // --- The run's own state, on the driver's thread ---
    QString StartUrl;
    QString PortalBase;  // scheme, host and port of StartUrl
    qint32 DetailSlots = 1;
    QStringList SearchQueue;
    QStringList RejectQueue;
    QStringList CardList;              // contract card addresses of accepted refusals
    QStringList CardDates;             // "registry id=signing date-time", one per CardList entry
    QList<PendingExport> CardPending;  // the journal entry of each CardList entry (key empty: none)
    QStringList SeenRejectDigests;     // sorted MD5 digests of the refusal links queued this run
    HaveStore HaveList;                // the refusals met before (have.txt)
    bool NewRejectSeen = false;
    QString BotToken, TgUserId, TgProxy, TgApiUrl;
    QString TgCaFile;                // absolute path of "TgCaFile"; empty when not set
    QList<int> MalformedProxyLines;  // proxy.txt lines that name no proxy, logged at set-up

    // The directories the run's files are in.
    QString ProgramPath(const QString& name) const;
    QString WorkPath(const QString& name) const;

    // Reporting calls; each runs on the view's thread while the driver waits.
    void AddLogLine();
    void AddLogLine(const QString& text);
    void ShowProgress();
    void ShowCounters();
    void ReadTestExportFlag();
    // Queues the Telegram notice of the accepted refusal `key` (ProtocolDate, ProtocolUrl).
    void QueueNotice(const QString& key);
    // The results line, the balloon and the delivery of the queued Telegram notices.
    void AnnounceReject();
    // Sends the queued Telegram notices, oldest first, until one fails for a passing reason.
    void DeliverNotices();

    RunView& View() { return *view_; }
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
    void WriteCardRow(qsizetype index, const QString& page, const QString& url);
    // Records the refusal in have.txt, then takes its entry out of the journal.
    void FinishExport(const QString& key);
    // A card that failed to load: tried again by later runs, or after days written without it.
    void CardFailed(qsizetype index, const QString& url);
    // One line when Telegram notices have waited long.
    void ReportNoticeBacklog();
    void CardPhase();
    void EndOfRun();
    void ReportRunEnd();
    void ToggleBusy();
    void StartWorker(const QString& url, WorkerLists& lists, qsizetype cardIndex = -1);
    void HarvestListing(FetchWorker* worker);
    void TerminateWorkers(WorkerLists& lists);
    void DisposeWorkers(WorkerLists& lists);
    int RunningCount(WorkerLists& lists);
    // The end of a loop pass: a short sleep after a pass that got something done, else a wait
    // until a worker hands its page in or ends or the run is held, continued or stopped (unless
    // that happened since `seen` was counted).
    void EndLoopPass(bool didSomething, quint64 seen);
    void LoadProxyList();
    void ReadSettings();
    bool LoadStartUrl();

    RunView* view_;
    std::shared_ptr<RunShared> shared_;
    WorkerLists listingLists_;
    WorkerLists cardLists_;
    std::unique_ptr<CardExport> export_;
    std::unique_ptr<PendingExports> pending_;
    std::unique_ptr<NoticeQueue> notices_;

    std::shared_ptr<RunControl> control_ = std::make_shared<RunControl>();
    std::atomic<bool> abandonNetwork_{false};
    uint workerStackSize_ = 0;  // 0: the system's default; tests set one no thread can have

    friend class RunDriverTestAccess;
};
