#include "run/RunDriver.h"

#include <QCoreApplication>
#include <QDir>

#include "fetch/ProxyFile.h"
#include "fetch/RunShared.h"
#include "fetch/WorkerPool.h"
#include "http/CurlGlobal.h"
#include "run/CardPhase.h"
#include "run/ListingPhase.h"
#include "run/NoticeDispatcher.h"
#include "run/RunEvents.h"
#include "run/RunInputs.h"
#include "run/RunReporter.h"
#include "text/RunError.h"

RunDriver::RunDriver(RunEvents* events, RunOptions options)
    : options_(std::move(options)), events_(events) {
    if (options_.programDir.isEmpty()) {
        options_.programDir = QCoreApplication::applicationDirPath();
    }
    control_->SetThreadLimit(options_.threadLimit);
}

RunDriver::~RunDriver() {
    wait();
}

void RunDriver::run() {
    std::shared_ptr<RunShared> shared;
    try {
        shared = std::make_shared<RunShared>(options_.mutexName);
        control_->SetWake(shared->driverWake);
    } catch (const std::exception&) {
        // Without the spacing mutex no request may go out: the run ends before it begins.
        outcome_.setUpFailed = true;
        control_->SetDone();
        return;
    }
    const RunInputs inputs = RunInputs::Read(options_);
    shared->log = events_;
    shared->useProxy = options_.useProxy;
    shared->streak.SetProbe(options_.probe);
    shared->proxies = inputs.proxies;
    shared->portalCaFile = inputs.portalCaFile;
    QDir().mkpath(options_.ProgramPath(QStringLiteral("logs")));

    RunReporter reporter(*events_, control_);
    NoticeDispatcher notices(reporter, inputs.telegram, options_.workDir, abandonNetwork_);
    RefusalExporter exporter(options_, reporter, notices);
    if (SetUp(inputs, reporter, exporter, notices)) {
        Walk(inputs, shared, reporter, exporter, notices);
    } else {
        outcome_.setUpFailed = true;
    }
    outcome_.newRefusalSeen = exporter.NewRefusalSeen();
    if (!outcome_.setUpFailed && !control_->Terminated()) {
        outcome_.health = reporter.Health().Conclude(
            options_.workDir, shared->streak,
            [&reporter](const QString& text) { reporter.Log(text); },
            [&notices](const QString& key, const QString& text) { notices.QueueText(key, text); });
    }
    // Notices the Bot API's limits held back, and a health notice, go out before the run ends.
    notices.DeliverAll([this] { return control_->Terminated(); });

    // What this run accepted but did not export is left to a later run.
    exporter.Close();
    notices.ReportBacklog();
    reporter.Idle(
        {control_->Terminated(), options_.ProgramPath(QStringLiteral("logs")), outcome_.health});
    shared.reset();
    control_->SetDone();
    // The Telegram notices used TLS on this thread.
    ReleaseThreadTlsState();
}

bool RunDriver::SetUp(const RunInputs& inputs, RunReporter& reporter, RefusalExporter& exporter,
                      NoticeDispatcher& notices) {
    reporter.Busy();
    // From here on the end of the run always runs.
    try {
        if (options_.useProxy && !inputs.malformedProxyLines.isEmpty()) {
            reporter.Log(MalformedProxyLinesText(inputs.malformedProxyLines));
        }
        exporter.Open();
        reporter.Log(QStringLiteral("Начинаем работу..."));
        reporter.ShowProgress();
        // Notices that earlier runs could not deliver go first.
        notices.Deliver();
        for (const QString& problem : inputs.startLineProblems) {
            reporter.Log(problem);
        }
        if (!inputs.startProblem.isEmpty()) {
            reporter.Log(inputs.startProblem);
            return false;
        }
        return true;
    } catch (const std::exception& e) {
        reporter.Log(QStringLiteral("Ошибка на этапе запуска: ") + ErrorMessage(e));
        return false;
    }
}

void RunDriver::Walk(const RunInputs& inputs, const std::shared_ptr<RunShared>& shared,
                     RunReporter& reporter, RefusalExporter& exporter, NoticeDispatcher& notices) {
    RunProgress& progress = reporter.Progress();
    QList<CardJob> cards;
    bool listed = false;
    {
        // Workers still running are stopped and waited for when the phase is over, so none of
        // them outlives the run or writes to the log after it has been saved.
        WorkerPool pool(shared, options_.workerStackSize);
        ListingPhase listing(options_, inputs, *control_, pool, reporter, exporter, notices);
        listed = listing.Run();
        pool.Dispose();
        cards = listing.Cards();
    }
    outcome_.contractsFound = progress.contractsFound;
    outcome_.firstSearchCount = progress.maximum;
    if (!listed) {
        outcome_.cards = cards;
        return;
    }
    // End of the listing phase, also after a failure inside it.
    reporter.ShowCounters();
    progress.position = 0;
    reporter.ShowProgressNow();
    // Refusals accepted by runs that ended before their rows were written are exported by this
    // run, without a second notice.
    if (shared->streak.GaveUp()) {
        // The cards wait in the journal for a run the portal answers.
        outcome_.cards = cards;
        return;
    }
    cards += exporter.ClaimOrphans();
    outcome_.cards = cards;
    if (!cards.isEmpty()) {
        WorkerPool pool(shared, options_.workerStackSize);
        CardPhase(cards, *control_, pool, reporter, exporter).Run();
    }
}
