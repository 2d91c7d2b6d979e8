#pragma once

#include <QList>
#include <QString>
#include <memory>
#include <optional>

#include "store/HaveStore.h"
#include "store/PendingExports.h"

class CsvFile;
class NoticeDispatcher;
class RunReporter;
struct RunOptions;

// The contract card of an accepted refusal, to be fetched in the card phase.
struct CardJob {
    QString url;
    QString signedAt;     // the refusal's signing date-time, the row's date
    PendingExport entry;  // its journal entry; key empty: none
};

// Where a run's refusals go: have.txt (the refusals met before), the journal of refusals
// accepted but not exported yet, and the run's CSV file. The one place that knows the order of
// their steps, so that a stop, a kill or a second instance on the folder loses no refusal and
// writes none twice.
class RefusalExporter {
public:
    RefusalExporter(const RunOptions& options, RunReporter& reporter, NoticeDispatcher& notices);
    ~RefusalExporter();

    // Loads have.txt and begins this run's share of the journal. Throws RunError when either
    // cannot be read or written.
    void Open();
    // Leaves what this run accepted but did not export to a later run.
    void Close();

    // Whether the refusal `key` was met before, by this run or by another instance since.
    bool Known(const QString& key);
    // Whether a refusal of the page at `pageUrl` was met before (have.txt as last read).
    bool KnownPage(const QString& pageUrl) const { return have_.ContainsPage(pageUrl); }
    // Records a refusal that is not exported (it lies outside the refusal-date window).
    void Record(const QString& key);
    // Accepts a new refusal: queues its notice and records it, unless another instance holds it
    // or has exported it meanwhile (then nullopt). `cardUrl` empty: there is no row to wait for.
    std::optional<CardJob> Accept(const QString& key, const QString& signedAt,
                                  const QString& cardUrl);
    // A refusal not met before was seen: the run's CSV file is kept.
    void NoteNewRefusal() { newRefusalSeen_ = true; }
    bool NewRefusalSeen() const { return newRefusalSeen_; }

    // The refusals accepted by runs that ended before their rows were written (a stop, a card
    // that never loaded, a crash) and whose cards are due for another try, each logged.
    QList<CardJob> ClaimOrphans();

    // Creates the run's CSV file with its header and names it in the log. Throws RunError when
    // it cannot be created.
    void OpenCsv();
    // Whether the job's row is in a CSV file already (a run that wrote it was killed before the
    // journal knew); its export is then finished without a second row.
    bool FinishIfWritten(const CardJob& job);
    // Writes the row of the job's card page at `url` and finishes its export.
    void WriteRow(const CardJob& job, const QString& page, const QString& url);
    // A card that failed to load: tried again by later runs, or after days written without it.
    void CardFailed(const CardJob& job, const QString& url);
    // Closes the CSV file, kept when a new refusal was seen, and says where it is.
    void CloseCsv();
    bool HasCsv() const { return csv_ != nullptr; }

private:
    QString HavePath() const;
    // Records the refusal in have.txt, then takes its entry out of the journal.
    void FinishExport(const QString& key);

    const RunOptions& options_;
    RunReporter& reporter_;
    NoticeDispatcher& notices_;
    HaveStore have_;
    PendingExports pending_;
    std::unique_ptr<CsvFile> csv_;
    bool newRefusalSeen_ = false;
};
