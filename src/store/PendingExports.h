#pragma once

#include <QDateTime>
#include <QList>
#include <QString>
#include <functional>
#include <memory>

#include "text/FileLock.h"

// One accepted refusal whose CSV row is not known to be written yet.
struct PendingExport {
    QString owner;            // the run that exports it
    QString key;              // the refusal key, as in have.txt
    QString cardUrl;          // its contract card
    QString signedAt;     // its signing date-time
    QString csvFile;          // the CSV file (name in the program's directory) its row went to
    qint64 csvOffset = -1;    // where in that file the row begins
    QDateTime acceptedUtc;    // when the refusal was accepted
    QDateTime cardFailedUtc;  // when its card last failed to load; null: it has not
};

// The journal of accepted refusals not yet exported ("have-pending.txt" beside have.txt).
//
// A refusal enters have.txt when its page is read, but its row is written only in the card
// phase; a stop, a card that never loads or a crash in between would leave it marked as
// exported forever. So an accepted refusal is written here before its have.txt line and leaves
// only once its row is in a CSV file. Just before the row is written the entry names that file
// and the offset the row starts at, so a later run can tell a row written before a crash from
// one that never was, and no refusal gets two rows.
//
// Several instances may share the work folder. Every change rereads and replaces the whole
// journal atomically under "have-pending.lock"; each run holds a lock file of its own
// ("have-pending-<run>.lock") for as long as it runs, and entries of a run whose lock is no
// longer held (it ended, or was killed) are orphans that the next run takes over. A program
// that knows nothing of this file still finds have.txt as it always was.
class PendingExports {
public:
    // The journal in `workDir` (the folder of have.txt).
    explicit PendingExports(const QString& workDir);
    ~PendingExports();
    PendingExports(const PendingExports&) = delete;
    PendingExports& operator=(const PendingExports&) = delete;

    // Starts this run's ownership. Throws RunError when the folder cannot be written.
    void Open();
    // Ends it: entries left over become orphans for a later run.
    void Close();
    bool IsOpen() const { return ownerLock_ != nullptr; }

    enum class Added { New, TakenOver, HeldByRunningInstance, Exported };
    // Records an accepted refusal for this run and returns its entry. All under the journal's
    // lock, so that of two instances meeting one refusal only one takes it: `exported` tells
    // whether the refusal has its have.txt line by now (an instance that finished it writes the
    // line before it removes the entry), and `beforeNew` runs before a new entry is written (a
    // kill in between then leaves a notice without an entry, never an entry without its notice).
    // An orphaned entry of the same refusal is taken over as it is; one a running instance holds
    // is left to it. Throws RunError when the journal cannot be written.
    Added Add(const QString& key, const QString& cardUrl, const QString& signedAt,
              PendingExport* entry, const std::function<bool()>& exported = {},
              const std::function<void()>& beforeNew = {});
    // Takes over every entry whose run has ended and whose card is due for another try, oldest
    // first: each run tries a card during the first `everyRunMs` after its refusal was accepted,
    // and afterwards only once `gapMs` have passed since it last failed.
    QList<PendingExport> ClaimOrphans(qint64 everyRunMs = 0, qint64 gapMs = 0);
    // Notes that the entry's card failed to load now.
    void SetCardFailed(const QString& key);
    // Names the file and offset the entry's row is about to be written at.
    void SetCsvFile(const QString& key, const QString& csvFile, qint64 offset);
    void Remove(const QString& key);

    QList<PendingExport> Entries();
    QString Owner() const { return owner_; }
    QString JournalPath() const;

private:
    void Edit(const std::function<bool(QList<PendingExport>&)>& change);
    QList<PendingExport> Read() const;
    void Write(const QList<PendingExport>& entries) const;
    bool OwnerAlive(const QString& owner) const;
    QString OwnerLockPath(const QString& owner) const;
    void RemoveStaleOwnerLocks(const QList<PendingExport>& entries) const;

    QString dir_;
    QString owner_;
    std::unique_ptr<FileLock> journalLock_;
    std::unique_ptr<FileLock> ownerLock_;
};
