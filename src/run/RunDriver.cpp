#include "run/RunDriver.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QUrl>

#include "fetch/ProxyFile.h"
#include "fetch/RunTiming.h"
#include "fetch/FetchWorker.h"
#include "http/CurlGlobal.h"
#include "store/CardExport.h"
#include "store/IniFile.h"
#include "run/RejectPages.h"
#include "run/RunView.h"
#include "run/SearchPages.h"
#include "notify/TelegramNotice.h"
#include "text/ByteText.h"
#include "text/RunError.h"
#include "text/TextHelpers.h"

namespace {

const QString kSettingsSection = QStringLiteral("Settings");
const QString kThreadNotStarted = QStringLiteral("Не удалось запустить поток для ");

void SleepLoopPass() {
    QThread::msleep(static_cast<unsigned long>(Timing().loopSleepMs));
}

}  // namespace

RunDriver::RunDriver(RunView* view) : view_(view) {
    progesslastupdated = TickCount();
    counterlastupdated = progesslastupdated;
    ProgramDir = QCoreApplication::applicationDirPath();
    // The window's runs free themselves once their thread has ended.
    connect(this, &QThread::finished, this, [this] {
        if (FreeOnTerminate) {
            deleteLater();
        }
    });
}

RunDriver::~RunDriver() {
    wait();
}

QString RunDriver::ProgramPath(const QString& name) const {
    return QDir(ProgramDir).filePath(name);
}

QString RunDriver::WorkPath(const QString& name) const {
    return WorkDir.isEmpty() ? name : QDir(WorkDir).filePath(name);
}

PendingExports& RunDriver::Pending() {
    if (!pending_) {
        pending_ = std::make_unique<PendingExports>(WorkDir);
    }
    return *pending_;
}

NoticeQueue& RunDriver::Notices() {
    if (!notices_) {
        notices_ = std::make_unique<NoticeQueue>(WorkDir);
    }
    return *notices_;
}

// --- Reporting calls -------------------------------------------------------------------------

void RunDriver::AddLogLine() {
    CallOnView(*view_, [this] { view_->AddLogLine(*this); });
}

void RunDriver::AddLogLine(const QString& text) {
    LogMessageText = text;
    AddLogLine();
}

void RunDriver::ShowProgress() {
    CallOnView(*view_, [this] { view_->ShowProgress(*this); });
}

void RunDriver::ShowCounters() {
    CallOnView(*view_, [this] { view_->ShowCounters(*this); });
}

void RunDriver::ReadTestExportFlag() {
    CallOnView(*view_, [this] { view_->ReadTestExportFlag(*this); });
}

void RunDriver::ToggleBusy() {
    CallOnView(*view_, [this] { view_->ToggleBusy(*this); });
}

void RunDriver::ReportRunEnd() {
    CallOnView(*view_, [this] { view_->ReportRunEnd(*this); });
    // After a failed phase the view holds the driver until its resume timer continues it.
    control_->WaitWhileHeld();
}

void RunDriver::QueueNotice(const QString& key) {
    if (BotToken.isEmpty() || TgUserId.isEmpty()) {
        return;
    }
    Notices().Add({key, ProtocolDate, ProtocolUrl, QDateTime::currentDateTimeUtc()});
}

void RunDriver::AnnounceReject() {
    CallOnView(*view_, [this] { view_->AnnounceReject(*this); });
    // The older notices still waiting go out first.
    DeliverNotices();
}

void RunDriver::DeliverNotices() {
    if (BotToken.isEmpty() || TgUserId.isEmpty()) {
        return;
    }
    // The notices go out from the driver's thread: the window stays responsive while the
    // driver waits for them, and the lines still come in the order of the refusals.
    const TelegramSettings settings{TgApiUrl, BotToken, TgUserId, TgProxy, TgCaFile};
    Notices().Deliver([&](const QueuedNotice& notice) {
        const NoticeOutcome outcome = SendTelegramNotice(
            *view_, settings, notice.protocolDate, notice.protocolUrl,
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
        shared_ = std::make_shared<RunShared>(MutexName);
        control_->SetWake(shared_->driverWake);
    } catch (const std::exception&) {
        // Without the spacing mutex no request may go out: the run ends before it begins.
        SetUpFailed = true;
        control_->SetDone();
        return;
    }
    if (!SetUp()) {
        SetUpFailed = true;
    } else {
        if (ListingPhase()) {
            // End of the listing phase, also after a failure inside it.
            ShowCounters();
            ProgressBarPosition = 0;
            progesslastupdated = 0;
            ShowProgress();
            ClaimOrphanedExports();
            if (!CardList.isEmpty()) {
                CardPhase();
            }
        }
    }
    EndOfRun();
    // The Telegram notices used TLS on this thread.
    ReleaseThreadTlsState();
}

bool RunDriver::SetUp() {
    shared_->view = view_;
    shared_->useProxy = ProxyChecked;
    DetailSlots = shared_->useProxy ? 5 : 1;
    LoadProxyList();
    NewRejectSeen = false;
    TendersCounter = 0;
    QCounter = 0;
    QDir().mkpath(ProgramPath(QStringLiteral("logs")));
    ReadSettings();

    CursorHourGlass = true;
    ToggleBusy();
    // From here on the end of the run always runs.
    try {
        if (shared_->useProxy && !MalformedProxyLines.isEmpty()) {
            AddLogLine(MalformedProxyLinesText(MalformedProxyLines));
        }
        HaveList.Load(WorkPath(QStringLiteral("have.txt")));
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
        SearchQueue = {StartUrl};
        ProgressBarPosition = 0;
        ProgressBarMax = 0;
        return true;
    } catch (const std::exception& e) {
        AddLogLine(QStringLiteral("Ошибка на этапе запуска: ") + ErrorMessage(e));
        return false;
    }
}

void RunDriver::LoadProxyList() {
    ProxyFile file = LoadProxyFile(ProgramPath(QStringLiteral("proxy.txt")));
    shared_->proxies = file.proxies;
    MalformedProxyLines = file.malformedLines;
}

void RunDriver::ReadSettings() {
    const IniFile ini(ProgramPath(QStringLiteral("settings.ini")));
    BotToken = ini.readString(kSettingsSection, QStringLiteral("BotToken"), QString());
    TgUserId = ini.readString(kSettingsSection, QStringLiteral("TgUserId"), QString());
    TgProxy = ini.readString(kSettingsSection, QStringLiteral("TgProxy"), QString());
    TgApiUrl = ini.readString(kSettingsSection, QStringLiteral("TgApiUrl"),
                              QStringLiteral("https://api.telegram.org"));
    // Relative to the folder settings.ini is in.
    const QString caFile = ini.readString(kSettingsSection, QStringLiteral("TgCaFile"), QString());
    TgCaFile = caFile.isEmpty() ? QString() : QDir(ProgramDir).absoluteFilePath(caFile);
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
        StartUrl =
            TrimControls(SplitLines(DecodeText(file.readAll()).text).join(QStringLiteral("\r\n")));
        // Its first line must be an address; a rest after a line break stays part of it.
        const QUrl url(StartUrl.section(QStringLiteral("\r\n"), 0, 0));
        if (StartUrl.isEmpty()) {
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
    PortalBase = FetchWorker::BaseAddressOf(StartUrl);
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
            if (RunningCount(lists) < Limit && !(SearchQueue.isEmpty() && RejectQueue.isEmpty())) {
                try {
                    QCounter = static_cast<qint32>(RejectQueue.size());
                    QString url;
                    bool refusalPage = false;
                    if (shared_->detailsInFlight.load() < DetailSlots && QCounter > 0) {
                        url = RejectQueue.takeFirst();
                        refusalPage = true;
                        didSomething = true;
                    } else if (!SearchQueue.isEmpty()) {
                        url = SearchQueue.takeFirst();
                        didSomething = true;
                    }
                    if (url == StartUrl) {
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
                    SearchQueue.isEmpty() && RejectQueue.isEmpty()) {
                    break;
                }
            }
            EndLoopPass(didSomething, seen);
        }
    } catch (const std::exception& e) {
        result = QStringLiteral("ERROR_") + ErrorMessage(e);
        ReportRunEnd();
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
    const qsizetype cardCount = CardList.size();
    qsizetype nextCard = 0;
    bool left = false;
    try {
        export_ = std::make_unique<CardExport>(*this);
        ProgressBarPosition = 0;
        ProgressBarMax = static_cast<qint32>(cardCount);
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

            if (RunningCount(lists) < DetailSlots && nextCard < cardCount) {
                didSomething = true;
                const qsizetype index = nextCard++;
                ++ProgressBarPosition;
                ShowProgress();
                const QString url = CardList[index];
                if (RowAlreadyWritten(CardPending[index])) {
                    FinishExport(CardPending[index].key);
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
                    LogMessageText = worker->url + QStringLiteral(": ") + worker->statusText;
                    if (!worker->statusText.contains(QStringLiteral("Not Found"))) {
                        AddLogLine();
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
        result = QStringLiteral("ERROR_") + ErrorMessage(e);
        ReportRunEnd();
    }
    if (!left) {
        result = QStringLiteral("ok");
        ReportRunEnd();
    }

    if (export_) {
        export_->Close();
        export_.reset();
        ProgressBarPosition = 0;
        progesslastupdated = 0;
        ShowProgress();
    }
}

void RunDriver::ClaimOrphanedExports() {
    try {
        // Refusals accepted by runs that ended before their rows were written (a stop, a card
        // that never loaded, a crash) are exported by this run, without a second notice.
        for (const PendingExport& entry :
             Pending().ClaimOrphans(Timing().cardRetryEveryRunMs, Timing().cardRetryGapMs)) {
            AddLogLine(QStringLiteral("Выгружаем отказ, принятый ранее, но не выгруженный: ") +
                       entry.protocolDate + QLatin1Char(' ') + entry.cardUrl);
            CardList.append(entry.cardUrl);
            CardDates.append(RegistryIdOf(entry.cardUrl) + QLatin1Char('=') + entry.protocolDate);
            CardPending.append(entry);
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
    const QString& cardDate = CardDates[index];
    const QString protocolDate = cardDate.mid(RegistryIdOf(CardList[index]).size() + 1);
    const QString& key = CardPending[index].key;
    if (key.isEmpty()) {
        export_->WriteRow(page, url, protocolDate);
        return;
    }
    // The journal names the file and offset first, so a crash on either side of the write
    // leaves a later run able to tell whether the row is there.
    Pending().SetCsvFile(key, export_->FileName(), export_->Size());
    export_->WriteRow(page, url, protocolDate);
    // Refusals taken over from an earlier run keep this file too.
    NewRejectSeen = true;
    FinishExport(key);
}

void RunDriver::FinishExport(const QString& key) {
    // The have.txt line goes first: once the entry is gone, nothing else keeps the refusal from
    // being met as new. A line that cannot be written keeps the entry for a later run.
    HaveList.Append(WorkPath(QStringLiteral("have.txt")), key);
    Pending().Remove(key);
}

void RunDriver::CardFailed(qsizetype index, const QString& url) {
    const PendingExport& entry = CardPending[index];
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
    if (BotToken.isEmpty() || TgUserId.isEmpty()) {
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
    CursorHourGlass = false;
    ToggleBusy();
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
