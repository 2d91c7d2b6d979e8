#include "store/PendingExports.h"

#include <QDir>
#include <QFile>
#include <QSet>
#include <QUuid>

#include "store/RecordFile.h"

namespace {

const QString kJournal = QStringLiteral("have-pending.txt");
const QString kJournalLock = QStringLiteral("have-pending.lock");
const QString kOwnerPrefix = QStringLiteral("have-pending-");
const QString kOwnerSuffix = QStringLiteral(".lock");

bool SameKey(const QString& a, const QString& b) {
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

QString TimeText(const QDateTime& utc) {
    return utc.isValid() ? utc.toUTC().toString(Qt::ISODate) : QString();
}

QStringList ToRecord(const PendingExport& entry) {
    return {entry.owner,
            entry.key,
            entry.cardUrl,
            entry.signedAt,
            entry.csvFile,
            entry.csvOffset < 0 ? QString() : QString::number(entry.csvOffset),
            TimeText(entry.acceptedUtc),
            TimeText(entry.cardFailedUtc)};
}

PendingExport FromRecord(const QStringList& record) {
    PendingExport entry;
    entry.owner = record.value(0);
    entry.key = record.value(1);
    entry.cardUrl = record.value(2);
    entry.signedAt = record.value(3);
    entry.csvFile = record.value(4);
    bool ok = false;
    const qint64 offset = record.value(5).toLongLong(&ok);
    entry.csvOffset = ok ? offset : -1;
    // Entries from before the times were kept count from when they are first read.
    entry.acceptedUtc = QDateTime::fromString(record.value(6), Qt::ISODate);
    if (!entry.acceptedUtc.isValid()) {
        entry.acceptedUtc = QDateTime::currentDateTimeUtc();
    }
    entry.cardFailedUtc = QDateTime::fromString(record.value(7), Qt::ISODate);
    return entry;
}

}  // namespace

PendingExports::PendingExports(const QString& workDir)
    : dir_(workDir.isEmpty() ? QStringLiteral(".") : workDir) {}

PendingExports::~PendingExports() {
    Close();
}

QString PendingExports::JournalPath() const {
    return QDir(dir_).filePath(kJournal);
}

QString PendingExports::OwnerLockPath(const QString& owner) const {
    return QDir(dir_).filePath(kOwnerPrefix + owner + kOwnerSuffix);
}

void PendingExports::Open() {
    if (IsOpen()) {
        return;
    }
    journalLock_ = std::make_unique<FileLock>(QDir(dir_).filePath(kJournalLock));
    FileLockGuard guard(*journalLock_);
    // Created and locked under the journal lock, so no other run takes it for a dead one's.
    owner_ = QUuid::createUuid().toString(QUuid::Id128);
    auto own = std::make_unique<FileLock>(OwnerLockPath(owner_));
    own->Lock();
    ownerLock_ = std::move(own);
    RemoveStaleOwnerLocks(Read());
}

void PendingExports::Close() {
    if (!IsOpen()) {
        return;
    }
    FileLockGuard guard(*journalLock_);
    QFile::remove(OwnerLockPath(owner_));
    ownerLock_.reset();
}

bool PendingExports::OwnerAlive(const QString& owner) const {
    return owner == owner_ || FileLock::HeldByAnyone(OwnerLockPath(owner));
}

void PendingExports::RemoveStaleOwnerLocks(const QList<PendingExport>& entries) const {
    QSet<QString> referenced;
    for (const PendingExport& entry : entries) {
        referenced.insert(entry.owner);
    }
    const QStringList files =
        QDir(dir_).entryList({kOwnerPrefix + QLatin1Char('*') + kOwnerSuffix}, QDir::Files);
    for (const QString& file : files) {
        const QString owner =
            file.mid(kOwnerPrefix.size(), file.size() - kOwnerPrefix.size() - kOwnerSuffix.size());
        if (!referenced.contains(owner) && !OwnerAlive(owner)) {
            QFile::remove(QDir(dir_).filePath(file));
        }
    }
}

QList<PendingExport> PendingExports::Read() const {
    QList<PendingExport> entries;
    for (const QStringList& record : ReadRecordFile(JournalPath())) {
        entries.append(FromRecord(record));
    }
    return entries;
}

void PendingExports::Write(const QList<PendingExport>& entries) const {
    QList<QStringList> records;
    for (const PendingExport& entry : entries) {
        records.append(ToRecord(entry));
    }
    WriteRecordFile(JournalPath(), records);
}

void PendingExports::Edit(const std::function<bool(QList<PendingExport>&)>& change) {
    Open();
    FileLockGuard guard(*journalLock_);
    QList<PendingExport> entries = Read();
    if (change(entries)) {
        Write(entries);
    }
}

PendingExports::Added PendingExports::Add(const QString& key, const QString& cardUrl,
                                          const QString& signedAt, PendingExport* entry,
                                          const std::function<bool()>& exported,
                                          const std::function<void()>& beforeNew) {
    Added result = Added::New;
    Edit([&](QList<PendingExport>& entries) {
        for (PendingExport& existing : entries) {
            if (!SameKey(existing.key, key)) {
                continue;
            }
            if (OwnerAlive(existing.owner) && existing.owner != owner_) {
                result = Added::HeldByRunningInstance;
                return false;
            }
            // Met again after a crash before its have.txt line: the entry keeps the file and
            // offset its row may already have gone to.
            const bool changed = existing.owner != owner_;
            existing.owner = owner_;
            *entry = existing;
            result = Added::TakenOver;
            return changed;
        }
        if (exported && exported()) {
            result = Added::Exported;
            return false;
        }
        if (beforeNew) {
            beforeNew();
        }
        *entry = PendingExport{
            owner_,     key, cardUrl, signedAt, QString(), -1, QDateTime::currentDateTimeUtc(),
            QDateTime()};
        entries.append(*entry);
        return true;
    });
    return result;
}

QList<PendingExport> PendingExports::ClaimOrphans(qint64 everyRunMs, qint64 gapMs) {
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const auto due = [&](const PendingExport& entry) {
        return !entry.cardFailedUtc.isValid() || entry.acceptedUtc.msecsTo(now) < everyRunMs ||
               entry.cardFailedUtc.msecsTo(now) >= gapMs;
    };
    QList<PendingExport> claimed;
    Edit([&](QList<PendingExport>& entries) {
        QSet<QString> deadOwners;
        for (PendingExport& entry : entries) {
            if (!OwnerAlive(entry.owner) && due(entry)) {
                deadOwners.insert(entry.owner);
                entry.owner = owner_;
                claimed.append(entry);
            }
        }
        if (claimed.isEmpty()) {
            return false;
        }
        Write(entries);
        for (const QString& owner : deadOwners) {
            QFile::remove(OwnerLockPath(owner));
        }
        return false;  // written above, before the dead runs' lock files went
    });
    return claimed;
}

void PendingExports::SetCardFailed(const QString& key) {
    Edit([&](QList<PendingExport>& entries) {
        for (PendingExport& entry : entries) {
            if (SameKey(entry.key, key)) {
                entry.cardFailedUtc = QDateTime::currentDateTimeUtc();
                return true;
            }
        }
        return false;
    });
}

void PendingExports::SetCsvFile(const QString& key, const QString& csvFile, qint64 offset) {
    Edit([&](QList<PendingExport>& entries) {
        for (PendingExport& entry : entries) {
            if (SameKey(entry.key, key)) {
                entry.csvFile = csvFile;
                entry.csvOffset = offset;
                return true;
            }
        }
        return false;
    });
}

void PendingExports::Remove(const QString& key) {
    Edit([&](QList<PendingExport>& entries) {
        const qsizetype before = entries.size();
        entries.removeIf([&](const PendingExport& entry) { return SameKey(entry.key, key); });
        return entries.size() != before;
    });
}

QList<PendingExport> PendingExports::Entries() {
    Open();
    FileLockGuard guard(*journalLock_);
    return Read();
}
