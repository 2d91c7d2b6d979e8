#include "run/CardPhase.h"

#include "fetch/FetchWorker.h"
#include "fetch/WorkerPool.h"
#include "portal/ContractCard.h"
#include "run/RunControl.h"
#include "run/RunReporter.h"
#include "text/RunError.h"
#include "text/TextHelpers.h"

CardPhase::CardPhase(QList<CardJob> cards, RunControl& control, WorkerPool& pool,
                     RunReporter& reporter, RefusalExporter& exporter)
    : cards_(std::move(cards)),
      control_(control),
      pool_(pool),
      reporter_(reporter),
      exporter_(exporter) {}

void CardPhase::Run() {
    bool left = false;
    try {
        exporter_.OpenCsv();
        RunProgress& progress = reporter_.Progress();
        progress.position = 0;
        progress.maximum = static_cast<qint32>(cards_.size());
        reporter_.ShowProgress();

        for (;;) {
            const quint64 seen = pool_.WakeCount();
            control_.WaitWhileHeld();
            if (control_.Terminated()) {
                pool_.TerminateRunning();
                left = true;
                break;
            }
            bool didSomething = false;
            if (pool_.RunningCount() < pool_.DetailSlots() && nextCard_ < cards_.size()) {
                didSomething = true;
                if (!StartNext()) {
                    left = true;
                    break;
                }
            }
            if (!HarvestFinished(didSomething)) {
                left = true;
                break;
            }
            if (pool_.Empty() && nextCard_ >= cards_.size()) {
                break;
            }
            pool_.EndLoopPass(didSomething, seen);
        }
    } catch (const std::exception& e) {
        reporter_.PhaseEnded(ErrorMessage(e));
    }
    if (!left) {
        reporter_.PhaseEnded(QString());
    }
    if (exporter_.HasCsv()) {
        exporter_.CloseCsv();
        reporter_.Progress().position = 0;
        reporter_.ShowProgressNow();
    }
}

bool CardPhase::StartNext() {
    const qsizetype index = nextCard_++;
    ++reporter_.Progress().position;
    reporter_.ShowProgress();
    const CardJob& job = cards_[index];
    if (exporter_.FinishIfWritten(job)) {
        return true;
    }
    if (job.url.trimmed().isEmpty()) {
        return true;
    }
    if (control_.Terminated()) {
        return false;
    }
    if (!pool_.Start(job.url, index)) {
        reporter_.Log(QStringLiteral("Ошибка на этапе запуска: Не удалось запустить поток для ") +
                      job.url);
    }
    WorkerPool::SleepLoopPass();
    return true;
}

bool CardPhase::HarvestFinished(bool& didSomething) {
    // With one slot each card is handled as soon as it has been fetched; with more, cards are
    // handled in batches once at least as many have finished as still run.
    for (;;) {
        const qsizetype finished = pool_.FinishedCount();
        if (finished == 0 || finished < pool_.RunningCount()) {
            return true;
        }
        control_.WaitWhileHeld();
        if (control_.Terminated()) {
            return false;
        }
        didSomething = true;
        const std::unique_ptr<FetchWorker> worker = pool_.TakeFinished();
        const QString page = DecodePage(worker->html);
        worker->html.clear();
        const CardJob& job = cards_[worker->cardIndex];
        if (worker->result == FetchWorker::kCardPage) {
            const ContractCard card = ReadContractCard(page);
            reporter_.Health().Card(
                worker->url,
                !(card.subject.isEmpty() && card.customer.isEmpty() && card.supplier.isEmpty() &&
                  card.supplierAddress.isEmpty() && card.supplierInn.isEmpty() &&
                  card.price.isEmpty() && card.phone.isEmpty() && card.email.isEmpty()));
            exporter_.WriteRow(job, page, worker->url);
        } else if (worker->result == FetchWorker::kFailure ||
                   worker->result == FetchWorker::kNothing) {
            if (!worker->statusText.contains(QStringLiteral("Not Found"))) {
                reporter_.Log(worker->url + QStringLiteral(": ") + worker->statusText);
            }
            if (worker->result == FetchWorker::kFailure) {
                reporter_.Health().FailedPage(worker->url);
                exporter_.CardFailed(job, worker->url);
            }
        }
        WorkerPool::SleepLoopPass();
    }
}
