#include "app/HeadlessWatch.h"

#include <QCoreApplication>
#include <QDateTime>

#include "app/ConsoleRunReport.h"
#include "store/NoticeQueue.h"
#include "text/RunError.h"

namespace {

enum ExitCode { kExitDone = 0, kExitPhaseFailed = 1, kExitCannotRun = 2, kExitBlind = 3 };

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
      threads_(options.threads.value_or(defaultThreads)),
      watch_(report, [this] { return Choice(); }) {
    watch_.SetRepeating(!options.once);
    connect(&watch_, &RunWatch::runStarted, this,
            [this] { notifier_.Ready(QStringLiteral("Первая выгрузка начата ") + Now()); });
    connect(&watch_, &RunWatch::startRefused, this, [] { QCoreApplication::exit(kExitCannotRun); });
    connect(&watch_, &RunWatch::runEnded, this, &HeadlessWatch::RunFinished);
    connect(&watch_, &RunWatch::refusalPagesRead, this,
            [this](const QString& text) { notifier_.Status(text); });
}

HeadlessWatch::~HeadlessWatch() = default;

void HeadlessWatch::Start() {
    if (!stopping_) {
        watch_.Start();
    }
}

RunChoice HeadlessWatch::Choice() const {
    // Dates not given stay null: the watch takes their defaults afresh at every run, so a long
    // watch moves with the calendar.
    RunChoice choice;
    choice.contractFrom = options_.contractFrom;
    choice.contractTo = options_.contractTo;
    choice.refusalFilter = options_.refusalFilter();
    choice.refusalFrom = options_.refusalFrom;
    choice.refusalTo = options_.refusalTo;
    choice.threads = threads_;
    choice.useProxy = useProxy_;
    choice.programDir = layout_.programDir();
    choice.workDir = layout_.workDir();
    return choice;
}

void HeadlessWatch::RunFinished(const RunSummary& summary) {
    // The run's last lines are out before its status, as a service manager's journal shows them.
    report_.Settle();
    notifier_.Status(RunEndStatus(summary));
    if (stopping_) {
        QCoreApplication::exit(kExitDone);
    } else if (options_.once) {
        QCoreApplication::exit(summary.setUpFailed      ? kExitCannotRun
                               : summary.health.Blind() ? kExitBlind
                               : summary.phaseFailed    ? kExitPhaseFailed
                                                        : kExitDone);
    } else if (!watch_.restartTimer()->isActive()) {
        QCoreApplication::exit(kExitDone);
    }
}

QString HeadlessWatch::RunEndStatus(const RunSummary& summary) {
    QString waiting;
    try {
        waiting = QString::number(NoticeQueue(layout_.workDir()).DueCount());
    } catch (const RunError&) {
        // The next delivery logs what is wrong with the queue; the status only says it is unknown.
        waiting = QStringLiteral("неизвестно");
    }
    const QString status =
        QStringLiteral("Выгрузка завершена %1: найдено отказов %2, уведомлений ждут отправки %3")
            .arg(Now())
            .arg(summary.refusalsAccepted)
            .arg(waiting);
    // A watch that cannot see the portal keeps running and says so, rather than "0 found".
    const QString health = summary.health.Line();
    return health.isEmpty() ? status : status + QStringLiteral("; ") + health;
}

void HeadlessWatch::Stop() {
    if (stopping_) {
        return;
    }
    stopping_ = true;
    notifier_.Stopping();
    if (!watch_.Stop(/*abandonNetwork=*/true) && watch_.Idle()) {
        QCoreApplication::exit(kExitDone);
    }
    // Otherwise the run's end reports through RunFinished.
}
