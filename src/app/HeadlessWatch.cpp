#include "app/HeadlessWatch.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>

#include "app/ConsoleRunReport.h"
#include "fetch/ProxyFile.h"
#include "fetch/RunTiming.h"
#include "run/RunDriver.h"
#include "store/NoticeQueue.h"
#include "text/RunError.h"

namespace {

enum ExitCode { kExitDone = 0, kExitPhaseFailed = 1, kExitCannotRun = 2 };

QString Now() {
    return QDateTime::currentDateTime().toString(QStringLiteral("dd.MM.yyyy hh:mm:ss"));
}

}  // namespace

HeadlessWatch::HeadlessWatch(const CommandLine& options, const FileLayout& layout,
                             ConsoleRunReport& report, int defaultThreads, bool defaultProxy)
    : options_(options),
      layout_(layout),
      report_(report),
      useProxy_(options.proxy.value_or(defaultProxy)),
      threads_(options.threads.value_or(defaultThreads)) {
    report_.setRestartChecked(!options.once);
    restartTimer_.setSingleShot(true);
    connect(&restartTimer_, &QTimer::timeout, this, &HeadlessWatch::StartRun);
    stopPoll_.setInterval(10);
    connect(&stopPoll_, &QTimer::timeout, this, [this] {
        if (run_ && !run_->Control()->Done() && run_->Control()->Held()) {
            run_->Control()->Continue();
        }
    });
}

HeadlessWatch::~HeadlessWatch() = default;

void HeadlessWatch::Start() {
    StartRun();
}

void HeadlessWatch::StartRun() {
    if (stopping_) {
        return;
    }
    if (useProxy_ && !ProxyFileHasLines()) {
        QCoreApplication::exit(kExitCannotRun);
        return;
    }
    // The date defaults are taken afresh at every run, so a long watch moves with the calendar.
    const QDate today = QDate::currentDate();
    RunOptions run;
    run.threadLimit = threads_;
    run.programDir = layout_.programDir();
    run.workDir = layout_.workDir();
    run.useProxy = useProxy_;
    run.contractFrom =
        options_.contractFrom.isValid() ? options_.contractFrom : QDate(today.year() - 1, 1, 1);
    run.contractTo = options_.contractTo.isValid() ? options_.contractTo : today;
    if (options_.refusalFilter()) {
        run.refusalFrom = options_.refusalFrom;
        run.refusalTo = options_.refusalTo;
    }
    run_ = std::make_unique<RunDriver>(&report_, std::move(run));
    connect(run_.get(), &QThread::finished, this, &HeadlessWatch::RunFinished,
            Qt::QueuedConnection);
    run_->start();
    notifier_.Ready(QStringLiteral("Первая выгрузка начата ") + Now());
}

bool HeadlessWatch::ProxyFileHasLines() {
    // The window's check and line.
    if (ProxyFileNamesAProxy(QDir(layout_.programDir()).filePath(QStringLiteral("proxy.txt")))) {
        return true;
    }
    report_.WriteLog(QStringLiteral(
        "файл proxy.txt пустой, задайте в него прокси в формате ip:port:login:password"));
    return false;
}

void HeadlessWatch::RunFinished() {
    run_->wait();
    const bool setUpFailed = run_->Outcome().setUpFailed;
    run_.reset();
    const bool phaseFailed = report_.TakePhaseFailed();
    const bool restartArmed = report_.TakeRestartArmed();
    notifier_.Status(RunEndStatus());
    if (stopping_) {
        QCoreApplication::exit(kExitDone);
    } else if (options_.once) {
        QCoreApplication::exit(setUpFailed   ? kExitCannotRun
                               : phaseFailed ? kExitPhaseFailed
                                             : kExitDone);
    } else if (restartArmed) {
        restartTimer_.start(Timing().restartTimerMs);
    } else {
        QCoreApplication::exit(kExitDone);
    }
}

QString HeadlessWatch::RunEndStatus() {
    QString waiting;
    try {
        waiting = QString::number(NoticeQueue(layout_.workDir()).Entries().size());
    } catch (const RunError&) {
        // The next delivery logs what is wrong with the queue; the status only says it is unknown.
        waiting = QStringLiteral("неизвестно");
    }
    return QStringLiteral("Выгрузка завершена %1: найдено отказов %2, уведомлений ждут отправки %3")
        .arg(Now())
        .arg(report_.TakeRefusalsFound())
        .arg(waiting);
}

void HeadlessWatch::Stop() {
    if (stopping_) {
        return;
    }
    stopping_ = true;
    notifier_.Stopping();
    restartTimer_.stop();
    if (!run_ || run_->Control()->Done()) {
        if (!run_) {
            QCoreApplication::exit(kExitDone);
        }
        // A run that is just ending reports through RunFinished.
        return;
    }
    if (run_->Control()->Held()) {
        run_->Control()->Continue();
    }
    run_->AbandonNetwork();
    run_->Control()->Terminate();
    report_.WriteLog(QStringLiteral("Останавливаем работу"));
    stopPoll_.start();
}
