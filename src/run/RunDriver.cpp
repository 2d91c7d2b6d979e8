#include "run/RunDriver.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QUrl>
#include <algorithm>

#include "fetch/FetchWorker.h"
#include "fetch/ProxyFile.h"
#include "fetch/RunTiming.h"
#include "http/CurlGlobal.h"
#include "notify/TelegramNotice.h"
#include "portal/ContractCard.h"
#include "run/CardRow.h"
#include "run/RejectPages.h"
#include "run/RunEvents.h"
#include "run/SearchPages.h"
#include "store/CsvFile.h"
#include "store/IniFile.h"
#include "text/ByteText.h"
#include "text/RunError.h"
#include "text/StampedLine.h"
#include "text/TextHelpers.h"

namespace {

const QString kSettingsSection = QStringLiteral("Settings");
const QString kThreadNotStarted = QStringLiteral("Не удалось запустить поток для ");

void SleepLoopPass() {
    QThread::msleep(static_cast<unsigned long>(Timing().loopSleepMs));
}

}  // namespace

RunDriver::RunDriver(RunEvents* events) : events_(events) {
    progress.lastProgressUpdate = TickCount();
    progress.lastCountersUpdate = progress.lastProgressUpdate;
    options.programDir = QCoreApplication::applicationDirPath();
    // The window's runs free themselves once their thread has ended.
    connect(this, &QThread::finished, this, [this] {
        if (freeWhenFinished) {
            deleteLater();
        }
    });
}

RunDriver::~RunDriver() {
    wait();
}

QString RunDriver::ProgramPath(const QString& name) const {
    return QDir(options.programDir).filePath(name);
}

QString RunDriver::WorkPath(const QString& name) const {
    return options.workDir.isEmpty() ? name : QDir(options.workDir).filePath(name);
}

PendingExports& RunDriver::Pending() {
    if (!pending_) {
        pending_ = std::make_unique<PendingExports>(options.workDir);
    }
    return *pending_;
}

NoticeQueue& RunDriver::Notices() {
    if (!notices_) {
        notices_ = std::make_unique<NoticeQueue>(options.workDir);
    }
    return *notices_;
}

// --- Reporting calls -------------------------------------------------------------------------

void RunDriver::AddLogLine(const QString& text) {
    CallOnView(*events_, [&] { events_->LogLine(text); });
}

void RunDriver::ShowProgress() {
    if (TicksSince(progress.lastProgressUpdate) <=
        static_cast<quint32>(Timing().refreshThrottleMs)) {
        return;
    }
    // A bar cannot show a position beyond its range.
    const int maximum = progress.maximum;
    const int position = std::clamp(progress.position, 0, std::max(0, maximum));
    CallOnView(*events_, [&] { events_->ProgressChanged(position, maximum); });
    progress.lastProgressUpdate = TickCount();
}

void RunDriver::ShowCounters() {
    if (TicksSince(progress.lastCountersUpdate) <=
        static_cast<quint32>(Timing().refreshThrottleMs)) {
        return;
    }
    const RunProgress counted = progress;
    CallOnView(*events_,
               [&] { events_->CountersChanged(counted.contractsFound, counted.refusalsQueued); });
    progress.lastCountersUpdate = TickCount();
}

void RunDriver::ReportPhaseEnd(const QString& failure) {
    if (!failure.isEmpty()) {
        // Held before the face is told, so the resume timer it arms finds the run held.
        control_->Hold();
    }
    CallOnView(*events_, [&] { events_->PhaseEnded(failure, control_); });
    // After a failed phase the driver waits until the face's resume timer continues it.
    control_->WaitWhileHeld();
}

void RunDriver::QueueNotice(const QString& key) {
    if (telegram.botToken.isEmpty() || telegram.userId.isEmpty()) {
        return;
    }
    Notices().Add({key, refusalDate, refusalCardUrl, QDateTime::currentDateTimeUtc()});
}

void RunDriver::AnnounceReject() {
    CallOnView(*events_, [this] { events_->RefusalAccepted(refusalDate, refusalCardUrl); });
    // The older notices still waiting go out first.
    DeliverNotices();
}

void RunDriver::DeliverNotices() {
    if (telegram.botToken.isEmpty() || telegram.userId.isEmpty()) {
        return;
    }
    // The notices go out from the driver's thread: the window stays responsive while the
    // driver waits for them, and the lines still come in the order of the refusals.
    Notices().Deliver([&](const QueuedNotice& notice) {
        const NoticeOutcome outcome = SendTelegramNotice(
            *events_, telegram, notice.protocolDate, notice.protocolUrl,
            [this] { return abandonNetwork_.load(); }, notice.detectedUtc);
        // A notice refused for good is dropped like a sent one; it would fail again.
        return outcome == NoticeOutcome::Sent || outcome == NoticeOutcome::FinalFailure
                   ? NoticeQueue::Delivery::Done
                   : NoticeQueue::Delivery::Later;
    });
}

// --- The run ---------------------------------------------------------------------------------

void RunDriver::run() {
    try {
        shared_ = std::make_shared<RunShared>(options.mutexName);
        control_->SetWake(shared_->driverWake);
    } catch (const std::exception&) {
        // Without the spacing mutex no request may go out: the run ends before it begins.
        setUpFailed = true;
        control_->SetDone();
        return;
    }
    if (!SetUp()) {
        setUpFailed = true;
    } else {
        if (ListingPhase()) {
            // End of the listing phase, also after a failure inside it.
            ShowCounters();
            progress.position = 0;
            progress.lastProgressUpdate = 0;
            ShowProgress();
            ClaimOrphanedExports();
            if (!cardUrls.isEmpty()) {
                CardPhase();
            }
        }
    }
    EndOfRun();
    // The Telegram notices used TLS on this thread.
    ReleaseThreadTlsState();
}

bool RunDriver::SetUp() {
    shared_->view = events_;
    shared_->useProxy = options.useProxy;
    detailSlots = shared_->useProxy ? 5 : 1;
    LoadProxyList();
    newRefusalSeen = false;
    progress.contractsFound = 0;
    progress.refusalsQueued = 0;
    QDir().mkpath(ProgramPath(QStringLiteral("logs")));
    ReadSettings();

    CallOnView(*events_, [this] { events_->RunBusy(); });
    // From here on the end of the run always runs.
    try {
        if (shared_->useProxy && !malformedProxyLines.isEmpty()) {
            AddLogLine(MalformedProxyLinesText(malformedProxyLines));
        }
        haveStore.Load(WorkPath(QStringLiteral("have.txt")));
        // A refusal announced but not recorded would be announced again by every run.
        HaveStore::CheckWritable(WorkPath(QStringLiteral("have.txt")));
        Pending().Open();
        AddLogLine(QStringLiteral("Начинаем работу..."));
        ShowProgress();
        // Notices that earlier runs could not deliver go first.
        DeliverNotices();
        if (!LoadStartUrl()) {
            return false;
        }
        searchQueue = {startUrl};
        progress.position = 0;
        progress.maximum = 0;
        return true;
    } catch (const std::exception& e) {
        AddLogLine(QStringLiteral("Ошибка на этапе запуска: ") + ErrorMessage(e));
        return false;
    }
}

void RunDriver::LoadProxyList() {
    ProxyFile file = LoadProxyFile(ProgramPath(QStringLiteral("proxy.txt")));
    shared_->proxies = file.proxies;
    malformedProxyLines = file.malformedLines;
}

void RunDriver::ReadSettings() {
    const IniFile ini(ProgramPath(QStringLiteral("settings.ini")));
    telegram.botToken = ini.readString(kSettingsSection, QStringLiteral("BotToken"), QString());
    telegram.userId = ini.readString(kSettingsSection, QStringLiteral("TgUserId"), QString());
    telegram.proxy = ini.readString(kSettingsSection, QStringLiteral("TgProxy"), QString());
    telegram.apiUrl = ini.readString(kSettingsSection, QStringLiteral("TgApiUrl"),
                                     QStringLiteral("https://api.telegram.org"));
    // Relative to the folder settings.ini is in.
    const QString caFile = ini.readString(kSettingsSection, QStringLiteral("TgCaFile"), QString());
    telegram.caFile =
        caFile.isEmpty() ? QString() : QDir(options.programDir).absoluteFilePath(caFile);
}

bool RunDriver::LoadStartUrl() {
    const QString path = QFileInfo(WorkPath(QStringLiteral("StartURL.txt"))).absoluteFilePath();
    QFile file(path);
    QString problem;
    if (!file.exists()) {
        problem = QStringLiteral("Нет файла %1: создайте его и запишите в него ");
    } else if (!file.open(QIODevice::ReadOnly)) {
        problem = QStringLiteral("Не удаётся прочитать файл %1: в нём должен быть ");
    } else {
        // The whole file is one URL, line breaks inside it included.
        startUrl =
            TrimControls(SplitLines(DecodeText(file.readAll()).text).join(QStringLiteral("\r\n")));
        // Its first line must be an address; a rest after a line break stays part of it.
        const QUrl url(startUrl.section(QStringLiteral("\r\n"), 0, 0));
        if (startUrl.isEmpty()) {
            problem = QStringLiteral("Файл %1 пуст: запишите в него ");
        } else if (!url.isValid() || url.host().isEmpty() ||
                   (url.scheme() != QStringLiteral("https") &&
                    url.scheme() != QStringLiteral("http"))) {
            problem = QStringLiteral("В файле %1 не адрес http(s): запишите в него ");
        }
    }
    if (!problem.isEmpty()) {
        // Without a start address there is nothing to fetch: the run ends at once, and no
        // worker retries a request that cannot succeed.
        AddLogLine(problem.arg(path) +
                   QStringLiteral("один адрес поиска контрактов на портале закупок, скопированный "
                                  "из адресной строки браузера (начинается с https://)"));
        return false;
    }
    portalBase = FetchWorker::BaseAddressOf(startUrl);
    return true;
}

bool RunDriver::ListingPhase() {
    WorkerLists& lists = listingLists_;
    try {
        for (;;) {
            const quint64 seen = shared_->driverWake->Count();
            bool didSomething = false;
            control_->WaitWhileHeld();
            if (Terminated()) {
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
                        if (Terminated()) {
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
                if (Terminated()) {
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
    } else if (worker->result == FetchWorker::kRejectPage) {
        ShowCounters();
        HandleRejectPage(*this, page, url);
    }
}

void RunDriver::CardPhase() {
    WorkerLists& lists = cardLists_;
    const qsizetype cardCount = cardUrls.size();
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
            if (Terminated()) {
                TerminateWorkers(lists);
                left = true;
                break;
            }

            if (RunningCount(lists) < detailSlots && nextCard < cardCount) {
                didSomething = true;
                const qsizetype index = nextCard++;
                ++progress.position;
                ShowProgress();
                const QString url = cardUrls[index];
                if (RowAlreadyWritten(cardEntries[index])) {
                    FinishExport(cardEntries[index].key);
                } else if (!url.trimmed().isEmpty()) {
                    if (Terminated()) {
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
                if (Terminated()) {
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
        options.programDir,
        QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd HH-mm-ss")));
    const auto announce = [&] {
        const QString line =
            Stamp() + QStringLiteral(": Данные будут записываться в файл ") + csv->Path();
        CallOnView(*events_, [&] { events_->AppendRawLine(line); });
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
            cardUrls.append(entry.cardUrl);
            cardDates.append(RegistryIdOf(entry.cardUrl) + QLatin1Char('=') + entry.protocolDate);
            cardEntries.append(entry);
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
    const QString& cardDate = cardDates[index];
    const QString protocolDate = cardDate.mid(RegistryIdOf(cardUrls[index]).size() + 1);
    const QString& key = cardEntries[index].key;
    if (key.isEmpty()) {
        csv_->Append(CardRow(page, url, protocolDate));
        return;
    }
    // The journal names the file and offset first, so a crash on either side of the write
    // leaves a later run able to tell whether the row is there.
    Pending().SetCsvFile(key, csv_->FileName(), csv_->Size());
    csv_->Append(CardRow(page, url, protocolDate));
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
    const PendingExport& entry = cardEntries[index];
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

void RunDriver::ReportNoticeBacklog() {
    if (telegram.botToken.isEmpty() || telegram.userId.isEmpty()) {
        return;
    }
    try {
        const QList<QueuedNotice> waiting = Notices().Entries();
        QDateTime oldest;
        for (const QueuedNotice& notice : waiting) {
            if (!oldest.isValid() || notice.detectedUtc < oldest) {
                oldest = notice.detectedUtc;
            }
        }
        if (oldest.isValid() &&
            oldest.msecsTo(QDateTime::currentDateTimeUtc()) >= Timing().noticeBacklogReportMs) {
            AddLogLine(QStringLiteral("Уведомлений в Telegram ждут отправки: %1, самое давнее с %2")
                           .arg(waiting.size())
                           .arg(oldest.toLocalTime().toString(QStringLiteral("dd.MM.yyyy HH:mm"))));
        }
    } catch (const std::exception& e) {
        AddLogLine(QStringLiteral("Ошибка на этапе обработки: ") + ErrorMessage(e));
    }
}

void RunDriver::EndOfRun() {
    // Workers still running are stopped and waited for first, so none of them outlives the
    // run's lists or writes to the log after it has been saved. They abandon their requests
    // and pauses at once when asked to terminate.
    DisposeWorkers(listingLists_);
    DisposeWorkers(cardLists_);
    // What this run accepted but did not export is left to a later run.
    if (pending_) {
        pending_->Close();
    }
    ReportNoticeBacklog();
    const RunEnding how{Terminated(), ProgramPath(QStringLiteral("logs"))};
    CallOnView(*events_, [&] { events_->RunIdle(how); });
    shared_.reset();
    control_->SetDone();
}

void RunDriver::StartWorker(const QString& url, WorkerLists& lists, qsizetype cardIndex) {
    auto* worker = new FetchWorker(shared_, &lists);
    worker->url = url;
    worker->cardIndex = cardIndex;
    if (workerStackSize_ > 0) {
        worker->setStackSize(workerStackSize_);
    }
    {
        std::lock_guard lock(shared_->listsLock);
        lists.runningWorkers.append(worker);
    }
    worker->start();
    // A thread that could not be created is neither running nor finished. Its page counts as
    // failed, and its slot is given back as the worker would have done at its end.
    if (!worker->isRunning() && !worker->isFinished()) {
        worker->result = FetchWorker::kFailure;
        worker->statusText = QStringLiteral("ERROR_") + kThreadNotStarted + url;
        if (FetchWorker::IsDetailUrl(url)) {
            --shared_->detailsInFlight;
        }
        {
            std::lock_guard lock(shared_->listsLock);
            lists.runningWorkers.removeOne(worker);
            lists.finishedWorkers.append(worker);
        }
        AddLogLine(QStringLiteral("Ошибка на этапе запуска: ") + kThreadNotStarted + url);
    }
}

void RunDriver::EndLoopPass(bool didSomething, quint64 seen) {
    if (didSomething) {
        SleepLoopPass();
        return;
    }
    // Nothing can change for this loop but through a worker or run control, and both wake it.
    shared_->driverWake->WaitFor(seen, std::chrono::milliseconds(Timing().idleWakeMs));
}

int RunDriver::RunningCount(WorkerLists& lists) {
    std::lock_guard lock(shared_->listsLock);
    return static_cast<int>(lists.runningWorkers.size());
}

void RunDriver::TerminateWorkers(WorkerLists& lists) {
    std::lock_guard lock(shared_->listsLock);
    for (FetchWorker* worker : lists.runningWorkers) {
        worker->Terminate();
    }
}

void RunDriver::DisposeWorkers(WorkerLists& lists) {
    QList<FetchWorker*> workers;
    {
        // A worker may still move itself from one list to the other, but never leaves both.
        std::lock_guard lock(shared_->listsLock);
        workers = lists.runningWorkers + lists.finishedWorkers;
        for (FetchWorker* worker : workers) {
            worker->Terminate();
        }
    }
    for (FetchWorker* worker : workers) {
        worker->wait();
    }
    {
        std::lock_guard lock(shared_->listsLock);
        lists.runningWorkers.clear();
        lists.finishedWorkers.clear();
    }
    qDeleteAll(workers);
}
