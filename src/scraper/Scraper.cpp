#include "scraper/Scraper.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QUrl>

#include "fetch/RunTiming.h"
#include "fetch/ScrapingThread.h"
#include "http/CurlGlobal.h"
#include "scraper/CardExport.h"
#include "scraper/IniFile.h"
#include "scraper/RejectPages.h"
#include "scraper/RunView.h"
#include "scraper/SearchPages.h"
#include "scraper/TelegramNotice.h"
#include "text/ByteText.h"
#include "text/RunError.h"
#include "text/TextHelpers.h"

namespace {

const QString kSettingsSection = QStringLiteral("Settings");

void SleepLoopPass() {
    QThread::msleep(static_cast<unsigned long>(Timing().loopSleepMs));
}

}  // namespace

TScraper::TScraper(RunView* view) : view_(view) {
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

TScraper::~TScraper() {
    wait();
}

QString TScraper::ProgramPath(const QString& name) const {
    return QDir(ProgramDir).filePath(name);
}

QString TScraper::WorkPath(const QString& name) const {
    return WorkDir.isEmpty() ? name : QDir(WorkDir).filePath(name);
}

// --- Reporting calls -------------------------------------------------------------------------

void TScraper::AddLogLine() {
    CallOnView(*view_, [this] { view_->AddLogLine(*this); });
}

void TScraper::AddLogLine(const QString& text) {
    LogMessageText = text;
    AddLogLine();
}

void TScraper::ShowProgress() {
    CallOnView(*view_, [this] { view_->ShowProgress(*this); });
}

void TScraper::ShowCounters() {
    CallOnView(*view_, [this] { view_->ShowCounters(*this); });
}

void TScraper::ReadTestExportFlag() {
    CallOnView(*view_, [this] { view_->ReadTestExportFlag(*this); });
}

void TScraper::ToggleBusy() {
    CallOnView(*view_, [this] { view_->ToggleBusy(*this); });
}

void TScraper::ReportRunEnd() {
    CallOnView(*view_, [this] { view_->ReportRunEnd(*this); });
    // After a failed phase the view holds the driver until its resume timer continues it.
    control_->WaitWhileHeld();
}

void TScraper::AnnounceReject() {
    CallOnView(*view_, [this] { view_->AnnounceReject(*this); });
    // The notice goes out from the driver's thread: the window stays responsive while the
    // driver waits for it, and the lines still come in the order of the refusals.
    const TelegramSettings settings{TgApiUrl, BotToken, TgUserId, TgProxy};
    SendTelegramNotice(*view_, settings, ProtocolDate, ProtocolUrl,
                       [this] { return abandonNetwork_.load(); });
}

// --- The run ---------------------------------------------------------------------------------

void TScraper::run() {
    try {
        shared_ = std::make_shared<RunShared>(MutexName);
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
            if (!CardList.isEmpty()) {
                CardPhase();
            }
        }
    }
    EndOfRun();
    // The Telegram notices used TLS on this thread.
    ReleaseThreadTlsState();
}

bool TScraper::SetUp() {
    shared_->view = view_;
    shared_->UseProxy = ProxyChecked;
    DetailSlots = shared_->UseProxy ? 5 : 1;
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
        HaveList.Load(WorkPath(QStringLiteral("have.txt")));
        AddLogLine(QStringLiteral("Начинаем работу..."));
        ShowProgress();
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

void TScraper::LoadProxyList() {
    QFile file(ProgramPath(QStringLiteral("proxy.txt")));
    if (file.open(QIODevice::ReadOnly)) {
        shared_->ProxyList = SplitLines(DecodeText(file.readAll()).text);
    }
}

void TScraper::ReadSettings() {
    const IniFile ini(ProgramPath(QStringLiteral("settings.ini")));
    BotToken = ini.readString(kSettingsSection, QStringLiteral("BotToken"), QString());
    TgUserId = ini.readString(kSettingsSection, QStringLiteral("TgUserId"), QString());
    TgProxy = ini.readString(kSettingsSection, QStringLiteral("TgProxy"), QString());
    TgApiUrl = ini.readString(kSettingsSection, QStringLiteral("TgApiUrl"),
                              QStringLiteral("https://api.telegram.org"));
}

bool TScraper::LoadStartUrl() {
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
    PortalBase = TScrapingThread::BaseAddressOf(StartUrl);
    return true;
}

bool TScraper::ListingPhase() {
    WorkerLists& lists = listingLists_;
    try {
        for (;;) {
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
                    if (shared_->DetailsInFlight.load() < DetailSlots && QCounter > 0) {
                        url = RejectQueue.takeFirst();
                        refusalPage = true;
                    } else if (!SearchQueue.isEmpty()) {
                        url = SearchQueue.takeFirst();
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
                            ++shared_->DetailsInFlight;
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
                TScrapingThread* worker = nullptr;
                {
                    std::lock_guard lock(shared_->ScraperLock);
                    if (lists.FinishedList.isEmpty()) {
                        break;
                    }
                }
                control_->WaitWhileHeld();
                if (Terminated()) {
                    return false;
                }
                {
                    std::lock_guard lock(shared_->ScraperLock);
                    worker = lists.FinishedList.takeFirst();
                }
                try {
                    HarvestListing(worker);
                } catch (const std::exception& e) {
                    AddLogLine(QStringLiteral("Ошибка на этапе обработки: ") + ErrorMessage(e));
                }
                delete worker;
                SleepLoopPass();
            }

            {
                std::lock_guard lock(shared_->ScraperLock);
                if (lists.RunningList.isEmpty() && lists.FinishedList.isEmpty() &&
                    SearchQueue.isEmpty() && RejectQueue.isEmpty()) {
                    break;
                }
            }
            SleepLoopPass();
        }
    } catch (const std::exception& e) {
        result = QStringLiteral("ERROR_") + ErrorMessage(e);
        ReportRunEnd();
    }
    return true;
}

void TScraper::HarvestListing(TScrapingThread* worker) {
    const QString page = DecodePage(worker->html);
    worker->html.clear();
    const QString url = worker->url;
    if (worker->result == TScrapingThread::kSearchPage) {
        HandleSearchPage(*this, page, url);
    } else if (worker->result == TScrapingThread::kRejectPage) {
        ShowCounters();
        HandleRejectPage(*this, page, url);
    }
}

void TScraper::CardPhase() {
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
            control_->WaitWhileHeld();
            if (Terminated()) {
                TerminateWorkers(lists);
                left = true;
                break;
            }

            if (RunningCount(lists) < DetailSlots && nextCard < cardCount) {
                const qsizetype index = nextCard++;
                ++ProgressBarPosition;
                ShowProgress();
                const QString url = CardList[index];
                if (!url.trimmed().isEmpty()) {
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
                std::lock_guard lock(shared_->ScraperLock);
                finished = lists.FinishedList.size();
                running = lists.RunningList.size();
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
                TScrapingThread* worker = nullptr;
                {
                    std::lock_guard lock(shared_->ScraperLock);
                    worker = lists.FinishedList.first();
                }
                const QString page = DecodePage(worker->html);
                worker->html.clear();
                if (worker->result == TScrapingThread::kCardPage) {
                    const QString& cardDate = CardDates[worker->CardIndex];
                    const QString protocolDate =
                        cardDate.mid(RegistryIdOf(CardList[worker->CardIndex]).size() + 1);
                    export_->WriteRow(page, worker->url, protocolDate);
                } else if (worker->result == TScrapingThread::kFailure ||
                           worker->result == TScrapingThread::kNothing) {
                    LogMessageText = worker->url + QStringLiteral(": ") + worker->statusText;
                    if (!worker->statusText.contains(QStringLiteral("Not Found"))) {
                        AddLogLine();
                    }
                }
                {
                    std::lock_guard lock(shared_->ScraperLock);
                    lists.FinishedList.removeFirst();
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
            SleepLoopPass();
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

void TScraper::EndOfRun() {
    // Workers still running are stopped and waited for first, so none of them outlives the
    // run's lists or writes to the log after it has been saved. They abandon their requests
    // and pauses at once when asked to terminate.
    DisposeWorkers(listingLists_);
    DisposeWorkers(cardLists_);
    CursorHourGlass = false;
    ToggleBusy();
    shared_.reset();
    control_->SetDone();
}

void TScraper::StartWorker(const QString& url, WorkerLists& lists, qsizetype cardIndex) {
    auto* worker = new TScrapingThread(shared_, &lists);
    worker->url = url;
    worker->CardIndex = cardIndex;
    {
        std::lock_guard lock(shared_->ScraperLock);
        lists.RunningList.append(worker);
    }
    worker->start();
}

int TScraper::RunningCount(WorkerLists& lists) {
    std::lock_guard lock(shared_->ScraperLock);
    return static_cast<int>(lists.RunningList.size());
}

void TScraper::TerminateWorkers(WorkerLists& lists) {
    std::lock_guard lock(shared_->ScraperLock);
    for (TScrapingThread* worker : lists.RunningList) {
        worker->Terminate();
    }
}

void TScraper::DisposeWorkers(WorkerLists& lists) {
    QList<TScrapingThread*> workers;
    {
        // A worker may still move itself from one list to the other, but never leaves both.
        std::lock_guard lock(shared_->ScraperLock);
        workers = lists.RunningList + lists.FinishedList;
        for (TScrapingThread* worker : workers) {
            worker->Terminate();
        }
    }
    for (TScrapingThread* worker : workers) {
        worker->wait();
    }
    {
        std::lock_guard lock(shared_->ScraperLock);
        lists.RunningList.clear();
        lists.FinishedList.clear();
    }
    qDeleteAll(workers);
}
