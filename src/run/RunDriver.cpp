#include "run/RunDriver.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUrl>
#include <algorithm>

#include "fetch/FetchWorker.h"
#include "fetch/ProxyFile.h"
#include "fetch/RunTiming.h"
#include "http/CurlGlobal.h"
#include "notify/TelegramNotice.h"
#include "run/RunEvents.h"
#include "store/CsvFile.h"
#include "store/IniFile.h"
#include "text/ByteText.h"
#include "text/RunError.h"
#include "text/TextHelpers.h"

namespace {

const QString kSettingsSection = QStringLiteral("Settings");
const QString kThreadNotStarted = QStringLiteral("Не удалось запустить поток для ");

}  // namespace

RunDriver::RunDriver(RunEvents* events, RunOptions options)
    : options_(std::move(options)), events_(events) {
    if (options_.programDir.isEmpty()) {
        options_.programDir = QCoreApplication::applicationDirPath();
    }
    control_->SetThreadLimit(options_.threadLimit);
    progress.lastProgressUpdate = TickCount();
    progress.lastCountersUpdate = progress.lastProgressUpdate;
}

RunDriver::~RunDriver() {
    wait();
}

QString RunDriver::ProgramPath(const QString& name) const {
    return QDir(options_.programDir).filePath(name);
}

QString RunDriver::WorkPath(const QString& name) const {
    return options_.workDir.isEmpty() ? name : QDir(options_.workDir).filePath(name);
}

PendingExports& RunDriver::Pending() {
    if (!pending_) {
        pending_ = std::make_unique<PendingExports>(options_.workDir);
    }
    return *pending_;
}

NoticeQueue& RunDriver::Notices() {
    if (!notices_) {
        notices_ = std::make_unique<NoticeQueue>(options_.workDir);
    }
    return *notices_;
}

// --- Reporting calls -------------------------------------------------------------------------

void RunDriver::AddLogLine(const QString& text) {
    CallOnSinkThread(*events_, [&] { events_->LogLine(text); });
}

void RunDriver::ShowProgress() {
    if (TicksSince(progress.lastProgressUpdate) <=
        static_cast<quint32>(Timing().refreshThrottleMs)) {
        return;
    }
    // A bar cannot show a position beyond its range.
    const int maximum = progress.maximum;
    const int position = std::clamp(progress.position, 0, std::max(0, maximum));
    CallOnSinkThread(*events_, [&] { events_->ProgressChanged(position, maximum); });
    progress.lastProgressUpdate = TickCount();
}

void RunDriver::ShowCounters() {
    if (TicksSince(progress.lastCountersUpdate) <=
        static_cast<quint32>(Timing().refreshThrottleMs)) {
        return;
    }
    // The driver waits for the call, so the face reads the counts as they stand now.
    CallOnSinkThread(*events_, [this] {
        events_->CountersChanged(progress.contractsFound, progress.refusalsQueued);
    });
    progress.lastCountersUpdate = TickCount();
}

void RunDriver::ReportPhaseEnd(const QString& failure) {
    if (!failure.isEmpty()) {
        // Held before the face is told, so the resume timer it arms finds the run held.
        control_->Hold();
    }
    CallOnSinkThread(*events_, [&] { events_->PhaseEnded(failure, control_); });
    // After a failed phase the driver waits until the face's resume timer continues it.
    control_->WaitWhileHeld();
}

void RunDriver::QueueNotice(const QString& key, const QString& refusalDate,
                            const QString& cardUrl) {
    if (telegram.botToken.isEmpty() || telegram.userId.isEmpty()) {
        return;
    }
    Notices().Add({key, refusalDate, cardUrl, QDateTime::currentDateTimeUtc()});
}

void RunDriver::AnnounceRefusal(const QString& refusalDate, const QString& cardUrl) {
    CallOnSinkThread(*events_, [&] { events_->RefusalAccepted(refusalDate, cardUrl); });
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
        shared_ = std::make_shared<RunShared>(options_.mutexName);
        control_->SetWake(shared_->driverWake);
    } catch (const std::exception&) {
        // Without the spacing mutex no request may go out: the run ends before it begins.
        outcome_.setUpFailed = true;
        control_->SetDone();
        return;
    }
    if (!SetUp()) {
        outcome_.setUpFailed = true;
    } else {
        const bool listed = ListingPhase();
        outcome_.firstSearchCount = progress.maximum;
        if (listed) {
            // End of the listing phase, also after a failure inside it.
            ShowCounters();
            progress.position = 0;
            progress.lastProgressUpdate = 0;
            ShowProgress();
            ClaimOrphanedExports();
            if (!cards.isEmpty()) {
                CardPhase();
            }
        }
    }
    outcome_.contractsFound = progress.contractsFound;
    outcome_.cards = cards;
    outcome_.newRefusalSeen = newRefusalSeen;
    EndOfRun();
    // The Telegram notices used TLS on this thread.
    ReleaseThreadTlsState();
}

bool RunDriver::SetUp() {
    shared_->log = events_;
    shared_->useProxy = options_.useProxy;
    detailSlots = shared_->useProxy ? 5 : 1;
    LoadProxyList();
    newRefusalSeen = false;
    progress.contractsFound = 0;
    progress.refusalsQueued = 0;
    QDir().mkpath(ProgramPath(QStringLiteral("logs")));
    ReadSettings();

    CallOnSinkThread(*events_, [this] { events_->RunBusy(); });
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
        caFile.isEmpty() ? QString() : QDir(options_.programDir).absoluteFilePath(caFile);
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
    const RunEnding how{control_->Terminated(), ProgramPath(QStringLiteral("logs"))};
    CallOnSinkThread(*events_, [&] { events_->RunIdle(how); });
    shared_.reset();
    control_->SetDone();
}

void RunDriver::StartWorker(const QString& url, WorkerLists& lists, qsizetype cardIndex) {
    auto* worker = new FetchWorker(shared_, &lists);
    worker->url = url;
    worker->cardIndex = cardIndex;
    if (options_.workerStackSize > 0) {
        worker->setStackSize(options_.workerStackSize);
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

void RunDriver::SleepLoopPass() {
    QThread::msleep(static_cast<unsigned long>(Timing().loopSleepMs));
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
