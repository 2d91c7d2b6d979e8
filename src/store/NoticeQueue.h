#pragma once

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>
#include <functional>

#include "text/FileLock.h"

// One Telegram notice to one recipient, not yet done with: its message not yet sent, or sent
// and waiting for the card's details to be added to it.
struct QueuedNotice {
    QString key;  // the refusal key, so one refusal is queued once for each recipient
    QString signedAt;
    QString cardUrl;
    QDateTime detectedUtc;  // when the refusal was found; the notice states this time
    // Non-empty: a ready-made message sent verbatim to every recipient, never edited.
    QString text;
    QString recipient;        // "chat" or "chat/thread" as settings.ini spells it
    qint64 messageId = 0;     // the message the API took; 0: not sent yet
    bool detailsDue = false;  // the row is not written yet: its details are still to come
    QString details;          // the card's details to be shown below the notice's first line

    bool Sent() const { return messageId != 0; }
    // Whether there is anything to send now: the message, or the edit that adds the details.
    bool Due() const { return !Sent() || (!detailsDue && !details.isEmpty()); }
};

// The notices waiting to go out ("notice-queue.txt" beside have.txt), one record a recipient. A
// notice is queued before its first attempt; once sent it leaves the queue, unless the card's
// details are still to be added to it by an edit, which is kept and retried the same way. After
// a passing failure (the API unreachable, a time-out, a 5xx or 429 answer, the proxy down) it
// stays and the next delivery, in this run or a later one, tries it again, oldest first; one
// recipient's failure holds back only that recipient's notices. The file is replaced atomically
// under "notice-queue.lock"; "notice-queue.send.lock" lets one instance deliver at a time, so
// two instances never send the same notice. Files of one notice a line, written before there
// were several recipients, are read as that notice for each of `recipients`.
class NoticeQueue {
public:
    explicit NoticeQueue(const QString& workDir, QStringList recipients = {});

    // Queues a notice for each recipient that has none of the same refusal queued already.
    // Throws RunError when the queue cannot be written.
    void Add(const QueuedNotice& notice, const QStringList& recipients);
    // The refusal's row is written: `details` go into its notices (sent with them, or added by
    // an edit). Empty details: nothing is added, and notices already sent are done.
    void SetDetails(const QString& key, const QString& details);
    // Notices waiting for details that will not come (the details were turned off) are done
    // once sent.
    void DropDetailsDue();

    // What became of one notice handed to the sender.
    struct Delivery {
        enum What {
            Done,     // sent, or refused for good; it leaves the queue unless an edit is due
            Later,    // not sent for a passing reason: this recipient's turn ends
            StopAll,  // nothing more may go out now (the API asked every message to wait)
        } what = Done;
        qint64 messageId = 0;  // of a new message the API took
        QString details;       // the details the message sent carried
    };
    // Sends the notices that are due, oldest first and the edits after them, each recipient's
    // until one of them is left for later. Does nothing while another instance delivers. Throws
    // RunError when the queue cannot be written.
    using Sender = std::function<Delivery(const QueuedNotice&)>;
    void Deliver(const Sender& send);

    QList<QueuedNotice> Entries() const;
    // The notices with something due to send.
    qsizetype DueCount() const;
    QString QueuePath() const;

private:
    // One round of delivery under the send lock. False when another instance holds the lock or
    // delivery was stopped; true when every due notice not in `tried` was handled.
    bool DeliverWhileHoldingSendLock(const Sender& send, QList<QueuedNotice>& tried,
                                     QStringList& passed);
    bool HasUntried(const QList<QueuedNotice>& tried, const QStringList& passed) const;
    QList<QueuedNotice> Read() const;
    void Write(const QList<QueuedNotice>& notices) const;

    QString dir_;
    QStringList recipients_;
};
