#pragma once

// What the tests of watches run as users run them share: a folder, the portal and Bot API
// imitations the program is set up against, refusals published while it runs, and the headless
// program (with the timing scaled as in-process tests scale it) run as a child process.
#include <QObject>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <functional>
#include <memory>
#include <mutex>

#include "PortalImitation.h"
#include "PortalReplica.h"
#include "TelegramImitation.h"
#include "support/TestSupport.h"

struct PublishedRefusal {
    QString registryId;
    QString signedAt;
    qint64 publishedMs = 0;
};

struct NoticeRequest {
    QString signedAt;
    bool delivered;
    qint64 atMs;
};

qint64 SteadyMs();

class WatchBench {
public:
    // The Bot API imitation fails every third notice.
    explicit WatchBench(const QString& token);

    QString path(const QString& name) const { return dir_.filePath(name); }
    QString folder() const { return dir_.path(); }

    // Called with every portal request before it is answered.
    std::function<void(const replica::Request&)> onPortalRequest;
    // Called with every notice the Bot API took.
    std::function<void()> onDelivered;
    // Asked with each notice's signing time: true fails it with a 503.
    std::function<bool(const QString& signedAt)> failNotice;

    // Publishes refusal number `number` on the portal.
    void Publish(int number);
    // Publishes `count` refusals of other contracts that the watch met before: their keys are
    // in have.txt already. Returns their refusal pages' addresses, in registry order.
    QStringList PublishMetBefore(int count);
    // Every `n`-th notice fails (0: none).
    void FailEveryNthNotice(int n) { bot_.failEvery(n); }
    QList<PublishedRefusal> Refusals();
    QList<NoticeRequest> Notices();
    int Delivered(const QString& signedAt);
    // Whether a message the Bot API holds for the refusal shows its card's details.
    bool DetailsShown(const QString& signedAt);

    QStringList CsvFiles() const;
    // Registry ids of every row in every CSV file; `whole` tells whether each file is whole.
    QStringList ExportedIds(bool* whole) const;
    // Every refusal exported and delivered, nothing left waiting.
    bool AllDone();
    // The refusals that did not get through, with the notices tried for them, and the waiting
    // files: what a failure needs to be understood. `sinceMs` is where times count from.
    QStringList Report(qint64 sinceMs);

private:
    QString FileReport(const QString& name) const;

    QTemporaryDir dir_;
    ScopedTiming timing_;
    replica::PortalImitation portal_;
    replica::TelegramImitation bot_;
    replica::PortalReplica portalServer_;
    replica::PortalReplica telegramServer_;
    std::mutex mutex_;
    QList<PublishedRefusal> refusals_;
    QList<NoticeRequest> notices_;
};

// One headless program as a child process, with its output lines and the last of them (with
// its starts, kills and deaths) kept for the report of a failure.
class WatchProcess : public QObject {
    Q_OBJECT
public:
    ~WatchProcess() override;

    // Starts the watch on the bench's folder; as the user `uid` when given.
    void Start(const WatchBench& bench, const QStringList& extra = {}, int uid = -1);
    bool Runs() const { return process_ && process_->state() != QProcess::NotRunning; }
    void Kill(const QString& why);
    // Asks it to stop as a service manager does; its exit code, or -1 when it did not end.
    int Stop();
    // Waits for it to end by itself; its exit code, or -1.
    int WaitForExit();

    std::function<void(const QString&)> onLine;
    QStringList lines;  // every line it printed
    QStringList tail;   // the last lines of every start, with what happened to it
    int runEnds = 0;

private:
    void Keep(const QString& line);

    std::unique_ptr<QProcess> process_;
    QString output_;
    bool ending_ = false;
    qint64 startMs_ = SteadyMs();
};
