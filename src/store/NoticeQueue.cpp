#include "store/NoticeQueue.h"

#include <QDir>
#include <algorithm>

#include "store/RecordFile.h"

namespace {

const QString kQueue = QStringLiteral("notice-queue.txt");
const QString kQueueLock = QStringLiteral("notice-queue.lock");
const QString kSendLock = QStringLiteral("notice-queue.send.lock");

// A record of one notice for every recipient, as files kept before there were several.
constexpr qsizetype kOneForAllFields = 4;

bool SameRefusal(const QueuedNotice& a, const QString& key) {
    return a.key.compare(key, Qt::CaseInsensitive) == 0;
}

bool SameNotice(const QueuedNotice& a, const QueuedNotice& b) {
    return SameRefusal(a, b.key) && a.recipient == b.recipient;
}

bool Contains(const QList<QueuedNotice>& notices, const QueuedNotice& notice) {
    return std::any_of(notices.cbegin(), notices.cend(),
                       [&](const QueuedNotice& n) { return SameNotice(n, notice); });
}

}  // namespace

NoticeQueue::NoticeQueue(const QString& workDir, QStringList recipients)
    : dir_(workDir.isEmpty() ? QStringLiteral(".") : workDir), recipients_(std::move(recipients)) {}

QString NoticeQueue::QueuePath() const {
    return QDir(dir_).filePath(kQueue);
}

QList<QueuedNotice> NoticeQueue::Read() const {
    QList<QueuedNotice> notices;
    for (const QStringList& record : ReadRecordFile(QueuePath())) {
        QueuedNotice notice;
        notice.key = record.value(0);
        notice.signedAt = record.value(1);
        notice.cardUrl = record.value(2);
        notice.detectedUtc = QDateTime::fromString(record.value(3), Qt::ISODate);
        if (!notice.detectedUtc.isValid()) {
            notice.detectedUtc = QDateTime::currentDateTimeUtc();
        }
        if (record.size() <= kOneForAllFields) {
            // Its row may be written already: it goes out as it always did, without an edit.
            const QStringList to = recipients_.isEmpty() ? QStringList{QString()} : recipients_;
            for (const QString& recipient : to) {
                notice.recipient = recipient;
                if (!Contains(notices, notice)) {
                    notices.append(notice);
                }
            }
            continue;
        }
        notice.recipient = record.value(4);
        notice.messageId = record.value(5).toLongLong();
        notice.detailsDue = record.value(6) == QLatin1String("1");
        notice.details = record.value(7);
        notice.text = record.value(8);
        notices.append(notice);
    }
    return notices;
}

void NoticeQueue::Write(const QList<QueuedNotice>& notices) const {
    QList<QStringList> records;
    for (const QueuedNotice& notice : notices) {
        records.append({notice.key, notice.signedAt, notice.cardUrl,
                        notice.detectedUtc.toUTC().toString(Qt::ISODate), notice.recipient,
                        QString::number(notice.messageId),
                        notice.detailsDue ? QStringLiteral("1") : QStringLiteral("0"),
                        notice.details, notice.text});
    }
    WriteRecordFile(QueuePath(), records);
}

QList<QueuedNotice> NoticeQueue::Entries() const {
    FileLock lock(QDir(dir_).filePath(kQueueLock));
    FileLockGuard guard(lock);
    return Read();
}

qsizetype NoticeQueue::DueCount() const {
    const QList<QueuedNotice> notices = Entries();
    return std::count_if(notices.cbegin(), notices.cend(),
                         [](const QueuedNotice& n) { return n.Due(); });
}

void NoticeQueue::Add(const QueuedNotice& notice, const QStringList& recipients) {
    FileLock lock(QDir(dir_).filePath(kQueueLock));
    FileLockGuard guard(lock);
    QList<QueuedNotice> notices = Read();
    bool added = false;
    for (const QString& recipient : recipients) {
        QueuedNotice one = notice;
        one.recipient = recipient;
        if (!Contains(notices, one)) {
            notices.append(one);
            added = true;
        }
    }
    if (added) {
        Write(notices);
    }
}

void NoticeQueue::SetDetails(const QString& key, const QString& details) {
    FileLock lock(QDir(dir_).filePath(kQueueLock));
    FileLockGuard guard(lock);
    QList<QueuedNotice> notices = Read();
    bool changed = false;
    for (QueuedNotice& notice : notices) {
        if (SameRefusal(notice, key) && notice.text.isEmpty() &&
            (notice.detailsDue || notice.details != details)) {
            notice.detailsDue = false;
            notice.details = details;
            changed = true;
        }
    }
    // A message sent that gets nothing added is done with.
    const qsizetype before = notices.size();
    notices.removeIf([](const QueuedNotice& n) { return !n.Due() && !n.detailsDue; });
    if (changed || notices.size() != before) {
        Write(notices);
    }
}

void NoticeQueue::DropDetailsDue() {
    FileLock lock(QDir(dir_).filePath(kQueueLock));
    FileLockGuard guard(lock);
    QList<QueuedNotice> notices = Read();
    if (std::none_of(notices.cbegin(), notices.cend(),
                     [](const QueuedNotice& n) { return n.detailsDue; })) {
        return;
    }
    for (QueuedNotice& notice : notices) {
        notice.detailsDue = false;
    }
    notices.removeIf([](const QueuedNotice& n) { return !n.Due(); });
    Write(notices);
}

void NoticeQueue::Deliver(const Sender& send) {
    QList<QueuedNotice> tried;
    QStringList passed;  // recipients whose turn ended in this delivery
    // A notice another instance queued while this one held the send lock found the lock taken
    // and left its delivery to this one; so after letting go, the queue is looked at once more.
    while (DeliverWhileHoldingSendLock(send, tried, passed) && HasUntried(tried, passed)) {
    }
}

bool NoticeQueue::HasUntried(const QList<QueuedNotice>& tried, const QStringList& passed) const {
    for (const QueuedNotice& queued : Entries()) {
        if (queued.Due() && !passed.contains(queued.recipient) && !Contains(tried, queued)) {
            return true;
        }
    }
    return false;
}

bool NoticeQueue::DeliverWhileHoldingSendLock(const Sender& send, QList<QueuedNotice>& tried,
                                              QStringList& passed) {
    FileLock sending(QDir(dir_).filePath(kSendLock));
    if (!sending.TryLock()) {
        return false;  // another instance is delivering, and takes notices added meanwhile too
    }
    FileLock lock(QDir(dir_).filePath(kQueueLock));
    // The queue is read afresh for every notice: others may have been added while one went out.
    for (;;) {
        QueuedNotice next;
        bool found = false;
        {
            FileLockGuard guard(lock);
            // Notices not sent yet go before the edits of ones sent: a new refusal is told first.
            const QList<QueuedNotice> notices = Read();
            for (const bool edits : {false, true}) {
                for (const QueuedNotice& queued : notices) {
                    if (!found && queued.Due() && queued.Sent() == edits &&
                        !passed.contains(queued.recipient) && !Contains(tried, queued)) {
                        next = queued;
                        found = true;
                    }
                }
            }
        }
        if (!found) {
            return true;
        }
        tried.append(next);
        // The queue is not locked while the request runs, so adding a notice never waits on it.
        const Delivery delivery = send(next);
        if (delivery.what == Delivery::StopAll) {
            return false;
        }
        if (delivery.what == Delivery::Later) {
            passed.append(next.recipient);
            continue;
        }
        FileLockGuard guard(lock);
        QList<QueuedNotice> notices = Read();
        for (qsizetype i = 0; i < notices.size(); ++i) {
            QueuedNotice& queued = notices[i];
            if (!SameNotice(queued, next)) {
                continue;
            }
            if (!queued.Sent()) {
                queued.messageId = delivery.messageId;
            }
            // Without a message id there is nothing to edit. Details still to come, or ones that
            // came while the message went out, keep it for the edit.
            if (delivery.messageId == 0 ||
                (!queued.detailsDue && queued.details == delivery.details)) {
                notices.removeAt(i--);
            }
        }
        Write(notices);
    }
}
