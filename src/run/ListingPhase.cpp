#include "run/ListingPhase.h"

#include <QCryptographicHash>
#include <QDate>
#include <algorithm>

#include "fetch/FetchWorker.h"
#include "fetch/WorkerPool.h"
#include "portal/RefusalPage.h"
#include "run/NoticeDispatcher.h"
#include "run/RefusalPages.h"
#include "run/RunControl.h"
#include "run/RunInputs.h"
#include "run/RunOptions.h"
#include "run/RunReporter.h"
#include "run/SearchPages.h"
#include "text/RunError.h"
#include "text/TextHelpers.h"

namespace {

// Adds the digest to the sorted list; false when it was there already.
bool InsertDigest(QStringList& digests, const QString& digest) {
    const auto it = std::lower_bound(digests.begin(), digests.end(), digest);
    if (it != digests.end() && *it == digest) {
        return false;
    }
    digests.insert(it, digest);
    return true;
}

}  // namespace

ListingPhase::ListingPhase(const RunOptions& options, const RunInputs& inputs, RunControl& control,
                           WorkerPool& pool, RunReporter& reporter, RefusalExporter& exporter,
                           NoticeDispatcher& notices)
    : options_(options),
      inputs_(inputs),
      control_(control),
      pool_(pool),
      reporter_(reporter),
      exporter_(exporter),
      notices_(notices) {
    if (!inputs_.startUrl.isEmpty()) {
        searchQueue_ = {inputs_.startUrl};
    }
}

bool ListingPhase::Run() {
    try {
        for (;;) {
            const quint64 seen = pool_.WakeCount();
            control_.WaitWhileHeld();
            if (control_.Terminated()) {
                pool_.TerminateRunning();
                return false;
            }
            bool didSomething = false;
            if (pool_.RunningCount() < control_.ThreadLimit() &&
                !(searchQueue_.isEmpty() && refusalQueue_.isEmpty())) {
                try {
                    const Step step = StartNext();
                    if (step == Step::Stopped) {
                        return false;
                    }
                    didSomething = step == Step::Done;
                } catch (const std::exception& e) {
                    reporter_.Log(QStringLiteral("Ошибка на этапе запуска: ") + ErrorMessage(e));
                }
            }

            while (pool_.FinishedCount() > 0) {
                control_.WaitWhileHeld();
                if (control_.Terminated()) {
                    return false;
                }
                const std::unique_ptr<FetchWorker> worker = pool_.TakeFinished();
                didSomething = true;
                try {
                    Harvest(*worker);
                } catch (const std::exception& e) {
                    reporter_.Log(QStringLiteral("Ошибка на этапе обработки: ") + ErrorMessage(e));
                }
                WorkerPool::SleepLoopPass();
            }

            if (pool_.Empty() && searchQueue_.isEmpty() && refusalQueue_.isEmpty()) {
                break;
            }
            pool_.EndLoopPass(didSomething, seen);
        }
    } catch (const std::exception& e) {
        reporter_.PhaseEnded(ErrorMessage(e));
    }
    return true;
}

ListingPhase::Step ListingPhase::StartNext() {
    reporter_.Progress().refusalsQueued = static_cast<qint32>(refusalQueue_.size());
    QString url;
    bool refusalPage = false;
    // Refusal pages go first while a detail slot is free; search pages fill the other threads.
    if (pool_.DetailSlotFree() && !refusalQueue_.isEmpty()) {
        url = refusalQueue_.takeFirst();
        refusalPage = true;
    } else if (!searchQueue_.isEmpty()) {
        url = searchQueue_.takeFirst();
    } else {
        return Step::Nothing;
    }
    if (url == inputs_.startUrl) {
        url = StartUrlForRun(url, options_.contractFrom, options_.contractTo, options_.testExport);
    }
    if (!url.trimmed().isEmpty()) {
        if (control_.Terminated()) {
            return Step::Stopped;
        }
        // Counted only for a worker that starts: the worker gives its slot back when it ends,
        // and a slot counted without one would never come back.
        if (refusalPage) {
            pool_.TakeDetailSlot();
        }
        if (!pool_.Start(url)) {
            reporter_.Log(
                QStringLiteral("Ошибка на этапе запуска: Не удалось запустить поток для ") + url);
        }
        WorkerPool::SleepLoopPass();
    }
    return Step::Done;
}

void ListingPhase::Harvest(FetchWorker& worker) {
    const QString page = DecodePage(worker.html);
    worker.html.clear();
    if (worker.result == FetchWorker::kSearchPage) {
        ApplySearchPage(
            ReadSearchResults(page, worker.url, inputs_.portalBase, QDate::currentDate()));
    } else if (worker.result == FetchWorker::kRefusalPage) {
        reporter_.ShowCounters();
        ApplyRefusalPage(page, worker.url);
    }
}

void ListingPhase::ApplySearchPage(const SearchPageOutcome& outcome) {
    for (const QString& line : outcome.lines) {
        reporter_.Log(line);
    }
    if (!outcome.failure.isEmpty()) {
        throw RunError(outcome.failure);
    }
    RunProgress& progress = reporter_.Progress();
    if (outcome.firstCount >= 0 && progress.maximum == 0) {
        progress.maximum = outcome.firstCount;
    }
    for (auto it = outcome.narrower.crbegin(); it != outcome.narrower.crend(); ++it) {
        searchQueue_.prepend(*it);
    }
    if (outcome.counted) {
        for (const QString& link : outcome.refusalLinks) {
            QueueRefusalLink(link);
        }
        progress.contractsFound += outcome.records;
        reporter_.ShowCounters();
        progress.position = progress.contractsFound;
        reporter_.ShowProgress();
    }
    if (!outcome.next.isEmpty()) {
        searchQueue_.append(outcome.next);
    }
}

void ListingPhase::QueueRefusalLink(const QString& link) {
    const QString digest = QString::fromLatin1(
        QCryptographicHash::hash(link.toUtf8(), QCryptographicHash::Md5).toHex());
    if (!InsertDigest(seenRefusalDigests_, digest)) {
        return;
    }
    reporter_.Log(QStringLiteral("Найден отказ ") + link);
    refusalQueue_.append(link);
}

void ListingPhase::ApplyRefusalPage(const QString& page, const QString& url) {
    RefusalDocuments documents(page);
    RefusalDocument document;
    while (documents.Next(&document)) {
        if (document.cancels) {
            continue;
        }
        reporter_.Log(QStringLiteral("Обнаружен отказ: ") + document.readableTitle +
                      QStringLiteral(" на ") + url);
        const QString& signedAt = document.signedAt;
        const QString key = RefusalKey(url, signedAt);
        if (exporter_.Known(key)) {
            reporter_.Log(
                QStringLiteral("Данный отказ найден в файле have.txt, то есть был выгружен ранее. "
                               "Пропускаем его."));
            continue;
        }
        reporter_.Log(
            QStringLiteral("Данный отказ не найден в файле have.txt, то есть ранее не выгружался. "
                           "Берём в работу."));
        // Noted before the store is written, so a failed write still keeps the CSV file.
        exporter_.NoteNewRefusal();

        const QDate date = SigningDay(signedAt);
        if (!date.isValid()) {
            reporter_.Log(url + QStringLiteral(" - Неправильный формат даты в отказе: ") +
                          signedAt +
                          QStringLiteral(", отказ будет считаться подходящим под фильтры."));
        }
        const DateWindowVerdict verdict =
            CheckDateWindow(date, options_.refusalFrom, options_.refusalTo);
        for (const QString& line : verdict.lines) {
            reporter_.Log(line);
        }
        // Every new refusal is recorded, whether it passed the window or not.
        if (verdict.passes) {
            AcceptRefusal(key, signedAt, page);
        } else {
            exporter_.Record(key);
        }
    }
}

void ListingPhase::AcceptRefusal(const QString& key, const QString& signedAt, const QString& page) {
    const QString cardUrl = ContractCardLink(page, inputs_.portalBase);
    const std::optional<CardJob> job = exporter_.Accept(key, signedAt, cardUrl);
    if (!job) {
        return;
    }
    cards_.append(*job);
    reporter_.RefusalAccepted(signedAt, cardUrl);
    // The older notices still waiting go out first.
    notices_.Deliver();
}
