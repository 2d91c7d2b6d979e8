#include "run/RefusalExporter.h"

#include <QDateTime>

#include "fetch/RunTiming.h"
#include "run/CardRow.h"
#include "run/NoticeDetails.h"
#include "run/NoticeDispatcher.h"
#include "run/RunOptions.h"
#include "run/RunReporter.h"
#include "store/CsvFile.h"
#include "text/ByteText.h"
#include "text/RunError.h"
#include "text/StampedLine.h"

RefusalExporter::RefusalExporter(const RunOptions& options, RunReporter& reporter,
                                 NoticeDispatcher& notices)
    : options_(options), reporter_(reporter), notices_(notices), pending_(options.workDir) {}

RefusalExporter::~RefusalExporter() = default;

QString RefusalExporter::HavePath() const {
    return options_.WorkPath(QStringLiteral("have.txt"));
}

void RefusalExporter::Open() {
    have_.Load(HavePath());
    // A refusal announced but not recorded would be announced again by every run.
    HaveStore::CheckWritable(HavePath());
    pending_.Open();
    // The have.txt line of a refusal still in the journal may be one a power cut tore.
    QStringList keys;
    for (const PendingExport& entry : pending_.Entries()) {
        keys.append(entry.key);
    }
    have_.CutTornLine(HavePath(), keys);
}

void RefusalExporter::Close() {
    if (pending_.IsOpen()) {
        pending_.Close();
    }
}

bool RefusalExporter::Known(const QString& key) {
    // Another instance on the same folder may have recorded it since this run began.
    have_.Refresh(HavePath());
    return have_.Contains(key);
}

void RefusalExporter::Record(const QString& key) {
    have_.Append(HavePath(), key);
}

// Under the journal's lock the refusal's notice is queued and its entry written, unless another
// instance holds it or finished it meanwhile. Its have.txt line follows before it is announced,
// and every path that removes the entry writes the line first, so a refusal whose entry is gone
// is never met as new again. A kill between queueing a notice and its removal from the queue is
// the only way to a repeated notice.
std::optional<CardJob> RefusalExporter::Accept(const QString& key, const QString& signedAt,
                                               const QString& cardUrl) {
    PendingExport entry;
    if (cardUrl.trimmed().isEmpty()) {
        // Without a card there is no row to wait for, and no journal entry.
        notices_.Queue(key, signedAt, cardUrl);
    } else {
        const PendingExports::Added added = pending_.Add(
            key, cardUrl, signedAt, &entry, [&] { return Known(key); },
            [&] { notices_.Queue(key, signedAt, cardUrl); });
        if (added == PendingExports::Added::HeldByRunningInstance ||
            added == PendingExports::Added::Exported) {
            return std::nullopt;  // another instance announces and exports it, or has done so
        }
    }
    have_.Append(HavePath(), key);
    return CardJob{cardUrl, signedAt, entry};
}

QList<CardJob> RefusalExporter::ClaimOrphans() {
    QList<CardJob> jobs;
    try {
        // Exported by this run, without a second notice.
        for (const PendingExport& entry :
             pending_.ClaimOrphans(Timing().cardRetryEveryRunMs, Timing().cardRetryGapMs)) {
            reporter_.Log(QStringLiteral("Выгружаем отказ, принятый ранее, но не выгруженный: ") +
                          entry.signedAt + QLatin1Char(' ') + entry.cardUrl);
            jobs.append({entry.cardUrl, entry.signedAt, entry});
        }
    } catch (const std::exception& e) {
        reporter_.Log(QStringLiteral("Ошибка на этапе обработки: ") + ErrorMessage(e));
    }
    return jobs;
}

void RefusalExporter::OpenCsv() {
    auto csv = std::make_unique<CsvFile>(
        options_.programDir,
        QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd HH-mm-ss")));
    const auto announce = [&] {
        reporter_.RawLine(Stamp() + QStringLiteral(": Данные будут записываться в файл ") +
                          csv->Path());
    };
    try {
        csv->Create(CardHeaderLine());
    } catch (...) {
        announce();
        throw;
    }
    announce();
    csv_ = std::move(csv);
}

bool RefusalExporter::FinishIfWritten(const CardJob& job) {
    const PendingExport& entry = job.entry;
    if (entry.key.isEmpty() || entry.csvFile.isEmpty()) {
        return false;
    }
    const QString path = options_.ProgramPath(entry.csvFile);
    if (!CsvRowWrittenAt(path, entry.csvOffset, entry.cardUrl, entry.signedAt)) {
        // A row the run was writing when the power went: the row goes into this run's file
        // whole, so the piece must not stay behind in the other.
        CsvFile::CutTornLastLine(path, entry.csvOffset);
        return false;
    }
    // The row may be one a killed run wrote and never synced: on disk before the entry goes.
    if (!SyncFileData(path)) {
        throw RunError(QStringLiteral("Не удалось записать файл ") + path);
    }
    FinishExport(entry.key);
    return true;
}

void RefusalExporter::WriteRow(const CardJob& job, const QString& page, const QString& url) {
    const QString& key = job.entry.key;
    if (key.isEmpty()) {
        csv_->Append(CardRow(page, url, job.signedAt));
        return;
    }
    // The journal names the file and offset first, so a crash on either side of the write
    // leaves a later run able to tell whether the row is there.
    pending_.SetCsvFile(key, csv_->FileName(), csv_->Size());
    // The notice's details are queued before the row: a kill after the row finds them queued,
    // and a kill before it writes the row, and queues them, again.
    notices_.AddDetails(key, CardNoticeDetails(page));
    csv_->Append(CardRow(page, url, job.signedAt));
    // Refusals taken over from an earlier run keep this file too.
    newRefusalSeen_ = true;
    FinishExport(key);
    notices_.Deliver();
}

void RefusalExporter::FinishExport(const QString& key) {
    // The have.txt line goes first: once the entry is gone, nothing else keeps the refusal from
    // being met as new. A line that cannot be written keeps the entry for a later run.
    have_.Append(HavePath(), key);
    pending_.Remove(key);
}

void RefusalExporter::CardFailed(const CardJob& job, const QString& url) {
    const PendingExport& entry = job.entry;
    if (entry.key.isEmpty()) {
        return;
    }
    if (entry.acceptedUtc.msecsTo(QDateTime::currentDateTimeUtc()) < Timing().cardGiveUpMs) {
        pending_.SetCardFailed(entry.key);
        return;
    }
    // A card that has not loaded for days is not going to: the row keeps what the refusal
    // itself tells, and the entry stops being tried.
    reporter_.Log(QStringLiteral("Карточка контракта не загружается больше 7 дней, отказ записан "
                                 "без её данных: ") +
                  entry.signedAt + QLatin1Char(' ') + url);
    WriteRow(job, QString(), url);
}

void RefusalExporter::CloseCsv() {
    if (!csv_) {
        return;
    }
    csv_->Close(newRefusalSeen_);
    if (newRefusalSeen_) {
        reporter_.Log(QStringLiteral("Найденные отказы сохранены в файл ") + csv_->FileName());
    }
    csv_.reset();
}
