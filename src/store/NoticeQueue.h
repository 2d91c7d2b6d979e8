#pragma once

#include <QDateTime>
#include <QList>
#include <QString>
#include <functional>

#include "text/FileLock.h"

// One Telegram notice not yet delivered.
struct QueuedNotice {
    QString key;  // the refusal key, so one refusal is queued once
    QString signedAt;
    QString cardUrl;
    QDateTime detectedUtc;  // when the refusal was found; the notice states this time
    // Non-empty: a ready-made message, sent verbatim and never edited (the monitor's own state).
    QString text;
};

// The notices waiting to go out ("notice-queue.txt" beside have.txt). A notice is queued before
// its first attempt and leaves the queue once it was sent or refused for good; after a passing
// failure (the API unreachable, a time-out, a 5xx or 429 answer, the proxy down) it stays and
// the next delivery, in this run or a later one, tries it again, oldest first. The file is
// replaced atomically under "notice-queue.lock"; "notice-queue.send.lock" lets one instance
// deliver at a time, so two instances never send the same notice.
class NoticeQueue {
public:
    explicit NoticeQueue(const QString& workDir);

    // Queues a notice unless one of the same refusal is queued already. Throws RunError when the
    // queue cannot be written.
    void Add(const QueuedNotice& notice);

    // What became of one notice handed to the sender.
    enum class Delivery {
        Done,   // sent, or refused for good: it leaves the queue
        Later,  // not sent for a passing reason (or not tried): it stays, and delivery stops
    };
    // Sends the queued notices oldest first until one is left for later. Does nothing while
    // another instance delivers. Throws RunError when the queue cannot be written.
    using Sender = std::function<Delivery(const QueuedNotice&)>;
    void Deliver(const Sender& send);

    QList<QueuedNotice> Entries() const;
    QString QueuePath() const;

private:
    // One round of delivery under the send lock. False when another instance holds the lock or
    // a notice failed; true when every notice not in `tried` was handled.
    bool DeliverWhileHoldingSendLock(const Sender& send, QList<QueuedNotice>& tried);
    bool HasUntried(const QList<QueuedNotice>& tried) const;
    QList<QueuedNotice> Read() const;
    void Write(const QList<QueuedNotice>& notices) const;

    QString dir_;
};
