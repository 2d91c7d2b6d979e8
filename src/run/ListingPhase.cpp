#include "run/ListingPhase.h"

#include <QCryptographicHash>
#include <QDate>
#include <algorithm>
#include <limits>

#include "fetch/FetchWorker.h"
#include "fetch/RunTiming.h"
#include "fetch/WorkerPool.h"
#include "portal/RefusalPage.h"
#include "run/NoticeDispatcher.h"
#include "run/RecheckLedger.h"
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

// A stretch of time as a reader wants it: minutes, or hours and minutes, or seconds.
QString Duration(qint64 ms) {
    const qint64 seconds = (ms + 999) / 1000;
    if (seconds < 60) {
        return QStringLiteral("%1 с").arg(seconds);
    }
    const qint64 minutes = (seconds + 59) / 60;
    if (minutes < 60) {
        return QStringLiteral("%1 мин").arg(minutes);
    }
    return QStringLiteral("%1 ч %2 мин").arg(minutes / 60).arg(minutes % 60);
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
      notices_(notices),
      ledger_(options.recheckLedger ? options.recheckLedger : std::make_shared<RecheckLedger>()) {
    for (int i = 0; i < inputs_.startUrls.size(); ++i) {
        searchQueue_.append({inputs_.startUrls[i], i});
    }
    clock_.start();
}

ListingPhase::~ListingPhase() = default;

QStringList ListingPhase::SearchQueue() const {
    QStringList urls;
    for (const QueuedSearch& search : searchQueue_) {
        urls.append(search.url);
    }
    return urls;
}

QStringList ListingPhase::RefusalQueue() const {
    return newPages_ + recheckPages_ + knownPages_;
}

qsizetype ListingPhase::PagesWaiting() const {
    return newPages_.size() + recheckPages_.size() + knownPages_.size();
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
            if (pool_.Requests().GaveUp()) {
                GiveUp();
            }
            // A probe of a portal that refused the last run sends one request until it answers.
            const int threads = pool_.Requests().Probing() ? 1 : control_.ThreadLimit();
            if (pool_.RunningCount() < threads &&
                !(searchQueue_.isEmpty() && PagesWaiting() == 0)) {
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

            if (pool_.Empty() && searchQueue_.isEmpty() && PagesWaiting() == 0) {
                ReportRecheck();
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
    reporter_.Progress().refusalsQueued = static_cast<qint32>(PagesWaiting());
    QString url;
    int search = 0;
    // Refusal pages go first while a detail slot is free; search pages fill the other threads.
    bool refusalPage = false;
    if (pool_.DetailSlotFree()) {
        url = TakeRefusalPage();
        refusalPage = !url.isEmpty();
    }
    if (!refusalPage) {
        if (searchQueue_.isEmpty()) {
            return Step::Nothing;
        }
        const QueuedSearch next = searchQueue_.takeFirst();
        url = next.url;
        search = next.search;
        if (inputs_.startUrls.contains(url)) {
            url = StartUrlForRun(url, options_.contractFrom, options_.contractTo,
                                 options_.testExport);
            startPages_.insert(url, search);
        }
    }
    if (!url.trimmed().isEmpty()) {
        if (control_.Terminated()) {
            return Step::Stopped;
        }
        // Counted only for a worker that starts: the worker gives its slot back when it ends,
        // and a slot counted without one would never come back.
        if (refusalPage) {
            pool_.TakeDetailSlot();
            ++pagesStarted_;
        } else {
            searchesInFlight_.insert(url, search);
        }
        if (!pool_.Start(url)) {
            reporter_.Log(
                QStringLiteral("Ошибка на этапе запуска: Не удалось запустить поток для ") + url);
        }
        WorkerPool::SleepLoopPass();
    }
    return Step::Done;
}

QString ListingPhase::TakeRefusalPage() {
    if (!newPages_.isEmpty()) {
        return newPages_.takeFirst();
    }
    if (!recheckChosen_) {
        // Which known pages are the oldest checked can only be told once every search is walked.
        if (!searchQueue_.isEmpty() || !searchesInFlight_.isEmpty()) {
            return {};
        }
        knownListed_ = knownPages_.size();
        recheckPages_ = ledger_->Pick(knownPages_, RecheckBudget());
        recheckCount_ = recheckPages_.size();
        knownPages_.clear();
        recheckChosen_ = true;
    }
    return recheckPages_.isEmpty() ? QString() : recheckPages_.takeFirst();
}

qsizetype ListingPhase::RecheckBudget() const {
    if (!options_.repeating || inputs_.recheckShareMs <= 0) {
        return std::numeric_limits<qsizetype>::max();
    }
    return std::max<qsizetype>(1, inputs_.recheckShareMs / std::max(1, Timing().detailSpacingMs));
}

void ListingPhase::Harvest(FetchWorker& worker) {
    const QString page = DecodePage(worker.html);
    worker.html.clear();
    if (!FetchWorker::IsDetailUrl(worker.url)) {
        const int search = searchesInFlight_.take(worker.url);
        const bool startPage = startPages_.remove(worker.url) > 0;
        if (worker.result == FetchWorker::kSearchPage) {
            const SearchPageOutcome outcome =
                ReadSearchResults(page, worker.url, inputs_.portalBase, QDate::currentDate());
            reporter_.Health().SearchPage(worker.url, &outcome, worker.failure);
            if (startPage && outcome.firstCount >= 0 && outcome.failure.isEmpty()) {
                reporter_.Health().StartCount(inputs_.startUrls.value(search), search,
                                              outcome.firstCount);
            }
            ApplySearchPage(outcome, search);
        } else if (worker.result == FetchWorker::kFailure) {
            reporter_.Health().SearchPage(worker.url, nullptr, worker.failure);
        }
        return;
    }
    ++pagesRead_;
    if (worker.result == FetchWorker::kFailure) {
        reporter_.Health().FailedPage(worker.url);
    }
    if (worker.result == FetchWorker::kRefusalPage) {
        ledger_->Checked(worker.url);
        reporter_.ShowCounters();
        ApplyRefusalPage(page, worker.url);
    }
    ReportPagesProgress();
}

void ListingPhase::GiveUp() {
    // What waits is left to a later run; have.txt and the journal keep what was accepted.
    searchQueue_.clear();
    newPages_.clear();
    knownPages_.clear();
    recheckPages_.clear();
    recheckChosen_ = true;
    if (gaveUpLogged_) {
        return;
    }
    gaveUpLogged_ = true;
    const QString why = pool_.Requests().Last().Describe();
    if (pool_.Requests().Probing()) {
        reporter_.Log(QStringLiteral("Портал по-прежнему отклоняет запросы (%1), следующая "
                                     "проверка одним запросом позже")
                          .arg(why));
        return;
    }
    reporter_.Log(QStringLiteral("Запросы к порталу отклоняются %1 раз подряд (%2), повторы "
                                 "прекращены до следующей проверки")
                      .arg(Timing().refusalStreakLimit)
                      .arg(why));
}

void ListingPhase::ReportPagesProgress() {
    if (clock_.elapsed() - lastProgressLineMs_ < Timing().progressLineMs) {
        return;
    }
    lastProgressLineMs_ = clock_.elapsed();
    // The known pages a run will not check again this time are not to be read.
    const qsizetype toRead =
        newPages_.size() +
        (recheckChosen_ ? recheckPages_.size() : std::min(knownPages_.size(), RecheckBudget()));
    const qsizetype listed = pagesStarted_ + toRead;
    if (listed <= pagesRead_) {
        return;
    }
    reporter_.RefusalPagesRead(
        static_cast<int>(pagesRead_), static_cast<int>(listed),
        QStringLiteral("Прочитано страниц отказов: %1 из %2, осталось около %3")
            .arg(pagesRead_)
            .arg(listed)
            .arg(Duration((listed - pagesRead_) * Timing().detailSpacingMs)));
}

void ListingPhase::ReportRecheck() {
    if (knownListed_ == 0) {
        return;
    }
    const QString checked = QStringLiteral("Известных страниц отказов проверено снова: %1 из %2, ")
                                .arg(recheckCount_)
                                .arg(knownListed_);
    if (recheckCount_ >= knownListed_) {
        reporter_.Log(checked + QStringLiteral("все они проверяются в каждом запуске"));
        return;
    }
    // At this pace a page met before is seen again within this many runs and pauses.
    const qint64 runs = (knownListed_ + recheckCount_ - 1) / std::max<qsizetype>(1, recheckCount_);
    const qint64 perRun = clock_.elapsed() + Timing().restartTimerMs;
    reporter_.Log(checked + QStringLiteral("полный круг по ним занимает около ") +
                  Duration(runs * perRun));
}

void ListingPhase::ApplySearchPage(const SearchPageOutcome& outcome, int search) {
    for (qsizetype i = 0; i < outcome.lines.size(); ++i) {
        // With several searches each count line says which search it belongs to.
        if (i == outcome.countLine && inputs_.startUrls.size() > 1) {
            reporter_.Log(
                QStringLiteral("Поиск %1 из %2: ").arg(search + 1).arg(inputs_.startUrls.size()) +
                outcome.lines[i]);
        } else {
            reporter_.Log(outcome.lines[i]);
        }
    }
    if (!outcome.failure.isEmpty()) {
        throw RunError(outcome.failure);
    }
    RunProgress& progress = reporter_.Progress();
    if (outcome.firstCount >= 0 && progress.maximum == 0) {
        progress.maximum = outcome.firstCount;
    }
    for (auto it = outcome.narrower.crbegin(); it != outcome.narrower.crend(); ++it) {
        searchQueue_.prepend({*it, search});
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
        searchQueue_.append({outcome.next, search});
    }
}

void ListingPhase::QueueRefusalLink(const QString& link) {
    const QString digest = QString::fromLatin1(
        QCryptographicHash::hash(link.toUtf8(), QCryptographicHash::Md5).toHex());
    if (!InsertDigest(seenRefusalDigests_, digest)) {
        return;
    }
    reporter_.Log(QStringLiteral("Найден отказ ") + link);
    // A page with a key in have.txt was met before; one without goes ahead of all of those.
    if (exporter_.KnownPage(link)) {
        knownPages_.append(link);
    } else {
        newPages_.append(link);
    }
}

void ListingPhase::ApplyRefusalPage(const QString& page, const QString& url) {
    RefusalDocuments documents(page);
    RefusalDocument document;
    {
        // Whether the page holds any document at all, cancellations included.
        RefusalDocuments first(page);
        RefusalDocument any;
        reporter_.Health().RefusalPage(url, first.Next(&any));
    }
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
