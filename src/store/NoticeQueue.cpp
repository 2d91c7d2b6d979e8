#include "store/NoticeQueue.h"

#include <QDir>
#include <algorithm>

#include "store/RecordFile.h"

namespace {

const QString kQueue = QStringLiteral("notice-queue.txt");
const QString kQueueLock = QStringLiteral("notice-queue.lock");
const QString kSendLock = QStringLiteral("notice-queue.send.lock");

bool SameNotice(const QueuedNotice& a, const QueuedNotice& b) {
    return a.key.compare(b.key, Qt::CaseInsensitive) == 0;
}

}  // namespace

NoticeQueue::NoticeQueue(const QString& workDir)
    : dir_(workDir.isEmpty() ? QStringLiteral(".") : workDir) {}

QString NoticeQueue::QueuePath() const {
    return QDir(dir_).filePath(kQueue);
}

QList<QueuedNotice> NoticeQueue::Read() const {
    QList<QueuedNotice> notices;
    for (const QStringList& record : ReadRecordFile(QueuePath())) {
        QueuedNotice notice{record.value(0), record.value(1), record.value(2),
                            QDateTime::fromString(record.value(3), Qt::ISODate), record.value(4)};
        if (!notice.detectedUtc.isValid()) {
            notice.detectedUtc = QDateTime::currentDateTimeUtc();
        }
        notices.append(notice);
    }
    return notices;
}

void NoticeQueue::Write(const QList<QueuedNotice>& notices) const {
    QList<QStringList> records;
    for (const QueuedNotice& notice : notices) {
        records.append({notice.key, notice.signedAt, notice.cardUrl,
                        notice.detectedUtc.toUTC().toString(Qt::ISODate), notice.text});
    }
    WriteRecordFile(QueuePath(), records);
}

QList<QueuedNotice> NoticeQueue::Entries() const {
    FileLock lock(QDir(dir_).filePath(kQueueLock));
    FileLockGuard guard(lock);
    return Read();
}

void NoticeQueue::Add(const QueuedNotice& notice) {
    FileLock lock(QDir(dir_).filePath(kQueueLock));
    FileLockGuard guard(lock);
    QList<QueuedNotice> notices = Read();
    for (const QueuedNotice& queued : notices) {
        if (SameNotice(queued, notice)) {
            return;
        }
    }
    notices.append(notice);
    Write(notices);
}

void NoticeQueue::Deliver(const Sender& send) {
    QList<QueuedNotice> tried;
    // A notice another instance queued while this one held the send lock found the lock taken
    // and left its delivery to this one; so after letting go, the queue is looked at once more.
    while (DeliverWhileHoldingSendLock(send, tried) && HasUntried(tried)) {
    }
}

bool NoticeQueue::HasUntried(const QList<QueuedNotice>& tried) const {
    for (const QueuedNotice& queued : Entries()) {
        if (std::none_of(tried.cbegin(), tried.cend(),
                         [&](const QueuedNotice& t) { return SameNotice(t, queued); })) {
            return true;
        }
    }
    return false;
}

bool NoticeQueue::DeliverWhileHoldingSendLock(const Sender& send, QList<QueuedNotice>& tried) {
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
            for (const QueuedNotice& queued : Read()) {
                if (std::none_of(tried.cbegin(), tried.cend(),
                                 [&](const QueuedNotice& t) { return SameNotice(t, queued); })) {
                    next = queued;
                    found = true;
                    break;
                }
            }
        }
        if (!found) {
            return true;
        }
        tried.append(next);
        // The queue is not locked while the request runs, so adding a notice never waits on it.
        if (send(next) == Delivery::Later) {
            return false;
        }
        FileLockGuard guard(lock);
        QList<QueuedNotice> notices = Read();
        notices.removeIf([&](const QueuedNotice& queued) { return SameNotice(queued, next); });
        Write(notices);
    }
}
