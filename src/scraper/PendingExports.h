#pragma once

#include <QList>
#include <QString>
#include <functional>
#include <memory>

#include "scraper/FileLock.h"

// One accepted refusal whose CSV row is not known to be written yet.
struct PendingExport {
    QString owner;          // the run that exports it
    QString key;            // the refusal key, as in have.txt
    QString cardUrl;        // its contract card
    QString protocolDate;   // its signing date-time
    QString csvFile;        // the CSV file (name in the program's directory) its row went to
    qint64 csvOffset = -1;  // where in that file the row begins
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

    // Records an accepted refusal for this run and returns its entry. An orphaned entry of the
    // same refusal is taken over as it is. Returns false, recording nothing, when a running
    // instance already exports it. Throws RunError when the journal cannot be written.
    bool Add(const QString& key, const QString& cardUrl, const QString& protocolDate,
             PendingExport* entry);
    enum class Holder { None, ThisOrEndedRun, RunningInstance };
    // Who holds the entry of this refusal, if any.
    Holder HolderOf(const QString& key);
    // Takes over every entry whose run has ended, oldest first.
    QList<PendingExport> ClaimOrphans();
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
