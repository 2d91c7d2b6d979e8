// The listing phase: the search pages and refusal pages, fetched by workers and read in turn.
#include "fetch/FetchWorker.h"
#include "run/RefusalPages.h"
#include "run/RunDriver.h"
#include "run/SearchPages.h"
#include "text/RunError.h"
#include "text/TextHelpers.h"

bool RunDriver::ListingPhase() {
    WorkerLists& lists = listingLists_;
    try {
        for (;;) {
            const quint64 seen = shared_->driverWake->Count();
            bool didSomething = false;
            control_->WaitWhileHeld();
            if (control_->Terminated()) {
                TerminateWorkers(lists);
                return false;
            }

            // Start step.
            if (RunningCount(lists) < control_->ThreadLimit() &&
                !(searchQueue.isEmpty() && refusalQueue.isEmpty())) {
                try {
                    progress.refusalsQueued = static_cast<qint32>(refusalQueue.size());
                    QString url;
                    bool refusalPage = false;
                    if (shared_->detailsInFlight.load() < detailSlots &&
                        progress.refusalsQueued > 0) {
                        url = refusalQueue.takeFirst();
                        refusalPage = true;
                        didSomething = true;
                    } else if (!searchQueue.isEmpty()) {
                        url = searchQueue.takeFirst();
                        didSomething = true;
                    }
                    if (url == startUrl) {
                        RewriteStartUrl(*this, url);
                    }
                    if (!url.trimmed().isEmpty()) {
                        if (control_->Terminated()) {
                            return false;
                        }
                        // Counted only for a worker that starts: the worker takes its one off
                        // when it ends, and a slot counted without one would never come back.
                        if (refusalPage) {
                            ++shared_->detailsInFlight;
                        }
                        StartWorker(url, lists);
                        SleepLoopPass();
                    }
                } catch (const std::exception& e) {
                    AddLogLine(QStringLiteral("Ошибка на этапе запуска: ") + ErrorMessage(e));
                }
            }

            // Harvest step.
            for (;;) {
                FetchWorker* worker = nullptr;
                {
                    std::lock_guard lock(shared_->listsLock);
                    if (lists.finishedWorkers.isEmpty()) {
                        break;
                    }
                }
                control_->WaitWhileHeld();
                if (control_->Terminated()) {
                    return false;
                }
                {
                    std::lock_guard lock(shared_->listsLock);
                    worker = lists.finishedWorkers.takeFirst();
                }
                didSomething = true;
                try {
                    HarvestListing(worker);
                } catch (const std::exception& e) {
                    AddLogLine(QStringLiteral("Ошибка на этапе обработки: ") + ErrorMessage(e));
                }
                delete worker;
                SleepLoopPass();
            }

            {
                std::lock_guard lock(shared_->listsLock);
                if (lists.runningWorkers.isEmpty() && lists.finishedWorkers.isEmpty() &&
                    searchQueue.isEmpty() && refusalQueue.isEmpty()) {
                    break;
                }
            }
            EndLoopPass(didSomething, seen);
        }
    } catch (const std::exception& e) {
        ReportPhaseEnd(ErrorMessage(e));
    }
    return true;
}

void RunDriver::HarvestListing(FetchWorker* worker) {
    const QString page = DecodePage(worker->html);
    worker->html.clear();
    const QString url = worker->url;
    if (worker->result == FetchWorker::kSearchPage) {
        HandleSearchPage(*this, page, url);
    } else if (worker->result == FetchWorker::kRefusalPage) {
        ShowCounters();
        HandleRefusalPage(*this, page, url);
    }
}
