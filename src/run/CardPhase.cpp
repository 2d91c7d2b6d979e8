// The card phase: the contract card of every accepted refusal, and its row in the CSV file.
#include <QDateTime>

#include "fetch/FetchWorker.h"
#include "fetch/RunTiming.h"
#include "run/CardRow.h"
#include "run/RunDriver.h"
#include "run/RunEvents.h"
#include "store/CsvFile.h"
#include "text/RunError.h"
#include "text/StampedLine.h"
#include "text/TextHelpers.h"

void RunDriver::CardPhase() {
    WorkerLists& lists = cardLists_;
    const qsizetype cardCount = cards.size();
    qsizetype nextCard = 0;
    bool left = false;
    try {
        OpenCsvFile();
        progress.position = 0;
        progress.maximum = static_cast<qint32>(cardCount);
        ShowProgress();

        for (;;) {
            const quint64 seen = shared_->driverWake->Count();
            bool didSomething = false;
            control_->WaitWhileHeld();
            if (control_->Terminated()) {
                TerminateWorkers(lists);
                left = true;
                break;
            }

            if (RunningCount(lists) < detailSlots && nextCard < cardCount) {
                didSomething = true;
                const qsizetype index = nextCard++;
                ++progress.position;
                ShowProgress();
                const QString url = cards[index].url;
                if (RowAlreadyWritten(cards[index].entry)) {
                    FinishExport(cards[index].entry.key);
                } else if (!url.trimmed().isEmpty()) {
                    if (control_->Terminated()) {
                        left = true;
                        break;
                    }
                    StartWorker(url, lists, index);
                    SleepLoopPass();
                }
            }

            qsizetype finished = 0;
            qsizetype running = 0;
            auto countLists = [&] {
                std::lock_guard lock(shared_->listsLock);
                finished = lists.finishedWorkers.size();
                running = lists.runningWorkers.size();
            };
            countLists();
            // With one slot each card is handled as soon as it has been fetched; with more,
            // cards are handled in batches once at least as many have finished as still run.
            while (finished >= running && finished > 0) {
                control_->WaitWhileHeld();
                if (control_->Terminated()) {
                    left = true;
                    break;
                }
                didSomething = true;
                FetchWorker* worker = nullptr;
                {
                    std::lock_guard lock(shared_->listsLock);
                    worker = lists.finishedWorkers.first();
                }
                const QString page = DecodePage(worker->html);
                worker->html.clear();
                if (worker->result == FetchWorker::kCardPage) {
                    WriteCardRow(worker->cardIndex, page, worker->url);
                } else if (worker->result == FetchWorker::kFailure ||
                           worker->result == FetchWorker::kNothing) {
                    if (!worker->statusText.contains(QStringLiteral("Not Found"))) {
                        AddLogLine(worker->url + QStringLiteral(": ") + worker->statusText);
                    }
                    if (worker->result == FetchWorker::kFailure) {
                        CardFailed(worker->cardIndex, worker->url);
                    }
                }
                {
                    std::lock_guard lock(shared_->listsLock);
                    lists.finishedWorkers.removeFirst();
                }
                delete worker;
                countLists();
                SleepLoopPass();
            }
            if (left) {
                break;
            }

            countLists();
            if (finished == 0 && running == 0 && nextCard >= cardCount) {
                break;
            }
            EndLoopPass(didSomething, seen);
        }
    } catch (const std::exception& e) {
        ReportPhaseEnd(ErrorMessage(e));
    }
    if (!left) {
        ReportPhaseEnd(QString());
    }

    if (csv_) {
        csv_->Close(newRefusalSeen);
        if (newRefusalSeen) {
            AddLogLine(QStringLiteral("Найденные отказы сохранены в файл ") + csv_->FileName());
        }
        csv_.reset();
        progress.position = 0;
        progress.lastProgressUpdate = 0;
        ShowProgress();
    }
}

void RunDriver::OpenCsvFile() {
    auto csv = std::make_unique<CsvFile>(
        options_.programDir,
        QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd HH-mm-ss")));
    const auto announce = [&] {
        const QString line =
            Stamp() + QStringLiteral(": Данные будут записываться в файл ") + csv->Path();
        CallOnSinkThread(*events_, [&] { events_->AppendRawLine(line); });
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

void RunDriver::ClaimOrphanedExports() {
    try {
        // Refusals accepted by runs that ended before their rows were written (a stop, a card
        // that never loaded, a crash) are exported by this run, without a second notice.
        for (const PendingExport& entry :
             Pending().ClaimOrphans(Timing().cardRetryEveryRunMs, Timing().cardRetryGapMs)) {
            AddLogLine(QStringLiteral("Выгружаем отказ, принятый ранее, но не выгруженный: ") +
                       entry.protocolDate + QLatin1Char(' ') + entry.cardUrl);
            cards.append({entry.cardUrl, entry.protocolDate, entry});
        }
    } catch (const std::exception& e) {
        AddLogLine(QStringLiteral("Ошибка на этапе обработки: ") + ErrorMessage(e));
    }
}

bool RunDriver::RowAlreadyWritten(const PendingExport& entry) const {
    return !entry.key.isEmpty() && !entry.csvFile.isEmpty() &&
           CsvRowWrittenAt(ProgramPath(entry.csvFile), entry.csvOffset, entry.cardUrl,
                           entry.protocolDate);
}

void RunDriver::WriteCardRow(qsizetype index, const QString& page, const QString& url) {
    const QString& refusalDate = cards[index].refusalDate;
    const QString& key = cards[index].entry.key;
    if (key.isEmpty()) {
        csv_->Append(CardRow(page, url, refusalDate));
        return;
    }
    // The journal names the file and offset first, so a crash on either side of the write
    // leaves a later run able to tell whether the row is there.
    Pending().SetCsvFile(key, csv_->FileName(), csv_->Size());
    csv_->Append(CardRow(page, url, refusalDate));
    // Refusals taken over from an earlier run keep this file too.
    newRefusalSeen = true;
    FinishExport(key);
}

void RunDriver::FinishExport(const QString& key) {
    // The have.txt line goes first: once the entry is gone, nothing else keeps the refusal from
    // being met as new. A line that cannot be written keeps the entry for a later run.
    haveStore.Append(WorkPath(QStringLiteral("have.txt")), key);
    Pending().Remove(key);
}

void RunDriver::CardFailed(qsizetype index, const QString& url) {
    const PendingExport& entry = cards[index].entry;
    if (entry.key.isEmpty()) {
        return;
    }
    if (entry.acceptedUtc.msecsTo(QDateTime::currentDateTimeUtc()) < Timing().cardGiveUpMs) {
        Pending().SetCardFailed(entry.key);
        return;
    }
    // A card that has not loaded for days is not going to: the row keeps what the refusal
    // itself tells, and the entry stops being tried.
    AddLogLine(QStringLiteral("Карточка контракта не загружается больше 7 дней, отказ записан "
                              "без её данных: ") +
               entry.protocolDate + QLatin1Char(' ') + url);
    WriteCardRow(index, QString(), url);
}
