// Run control as the driver waits on it, and the watch both faces run: the options it builds, its
// proxy check, restarts, pauses, stops and its hand-over of events, with real runs against the
// portal replica and the recorded report as the face.
#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrlQuery>
#include <chrono>
#include <future>
#include <thread>

#include "PortalReplica.h"
#include "run/RecordedRunReport.h"
#include "run/RunControl.h"
#include "run/RunWatch.h"
#include "support/TestSupport.h"
#include "text/StampedLine.h"

using replica::Response;

namespace {

using namespace std::chrono_literals;

// WaitWhileHeld on a thread of its own; returnsWithin() tells whether it has returned.
class HeldWaiter {
public:
    explicit HeldWaiter(RunControl& control)
        : control_(control),
          done_(std::async(std::launch::async, [&control] { control.WaitWhileHeld(); })) {}
    // A waiter a failed check left behind is let go, so the test ends.
    ~HeldWaiter() { control_.Continue(); }
    bool returnsWithin(std::chrono::milliseconds ms) {
        return done_.wait_for(ms) == std::future_status::ready;
    }

private:
    RunControl& control_;
    std::future<void> done_;
};

TEST(RunControlTest, HoldWaitsUntilContinuedAndWakesAnIdleDriver) {
    RunControl control;
    auto wake = std::make_shared<WakeSignal>();
    control.SetWake(wake);
    control.Hold();
    EXPECT_TRUE(control.Held());
    EXPECT_EQ(wake->Count(), 1u);
    HeldWaiter waiter(control);
    EXPECT_FALSE(waiter.returnsWithin(100ms));
    control.Continue();
    EXPECT_TRUE(waiter.returnsWithin(10s));
    EXPECT_FALSE(control.Held());
    EXPECT_EQ(wake->Count(), 2u);
}

TEST(RunControlTest, TerminateReleasesAHoldAndNoHoldFollowsIt) {
    RunControl control;
    auto wake = std::make_shared<WakeSignal>();
    control.SetWake(wake);
    control.Hold();
    HeldWaiter waiter(control);
    EXPECT_FALSE(waiter.returnsWithin(50ms));
    // Nobody continues it: the terminate alone lets the driver out.
    control.Terminate();
    EXPECT_TRUE(waiter.returnsWithin(10s));
    EXPECT_FALSE(control.Held());
    EXPECT_TRUE(control.Terminated());
    EXPECT_EQ(wake->Count(), 2u);

    // A phase that fails while stopping holds the driver as any failed phase does: it goes on.
    control.Hold();
    EXPECT_FALSE(control.Held());
    HeldWaiter after(control);
    EXPECT_TRUE(after.returnsWithin(10s));
}

TEST(RunWatchTest, OptionsTakeTheDefaultsOfTheirDayAndTheChoiceAsItIs) {
    const RunOptions defaults = RunWatch::OptionsFor(RunChoice(), QDate(2027, 1, 1));
    EXPECT_EQ(defaults.contractFrom, QDate(2026, 1, 1));
    EXPECT_EQ(defaults.contractTo, QDate(2027, 1, 1));
    EXPECT_FALSE(defaults.refusalFrom.isValid() || defaults.refusalTo.isValid());
    EXPECT_EQ(defaults.threadLimit, 30);
    EXPECT_EQ(defaults.mutexName, QStringLiteral("QuorvaneMutex"));

    RunChoice choice;
    choice.contractFrom = QDate(2024, 3, 3);
    choice.contractTo = QDate(2024, 4, 4);
    choice.refusalFrom = QDate(2024, 3, 10);
    // Dates left in the pickers count only with the filter on.
    EXPECT_FALSE(RunWatch::OptionsFor(choice, QDate(2027, 1, 1)).refusalFrom.isValid());
    choice.refusalFilter = true;
    const RunOptions chosen = RunWatch::OptionsFor(choice, QDate(2027, 1, 1));
    EXPECT_EQ(chosen.contractFrom, QDate(2024, 3, 3));
    EXPECT_EQ(chosen.contractTo, QDate(2024, 4, 4));
    EXPECT_EQ(chosen.refusalFrom, QDate(2024, 3, 10));
    EXPECT_FALSE(chosen.refusalTo.isValid());
}

// A search page without results that shows the dates it was asked for, as the portal does.
Response EmptySearchPage(const replica::Request& request) {
    const QUrlQuery query(QString::fromLatin1(request.query()));
    return Response::Ok("<html><body><input value=\"" +
                        query.queryItemValue(QStringLiteral("contractDateFrom")).toLatin1() +
                        "\" name=\"contractDateFrom\"><input value=\"" +
                        query.queryItemValue(QStringLiteral("contractDateTo")).toLatin1() +
                        "\" name=\"contractDateTo\"><p>Поиск не дал результатов</p></body></html>");
}
constexpr int kWaitMs = 20000;

// Real runs against empty searches, shown by the recorded report.
class RunWatchRunTest : public ::testing::Test {
protected:
    RunWatchRunTest() : timing_(ScopedTiming::Scaled(20)) {
        replica_.setHandler(&EmptySearchPage);
        WriteFile(dir_.filePath(QStringLiteral("StartURL.txt")),
                  (replica_.url() + "/epz/contract/search/results.html?morphology=on").toUtf8());
        const RunOptions options = RunOptionsIn(dir_.path());
        choice_.programDir = options.programDir;
        choice_.workDir = options.workDir;
        choice_.mutexName = options.mutexName;
        QObject::connect(&watch_, &RunWatch::runEnded,
                         [this](const RunSummary& summary) { ended_.append(summary); });
    }

    bool LogEndsWith(const QString& text) {
        const QStringList log = view_.log();
        return !log.isEmpty() && log.last().endsWith(text);
    }
    // Log files written, once the report has handled what it was told.
    int LogFiles() {
        view_.log();
        return static_cast<int>(
            QDir(dir_.filePath(QStringLiteral("logs"))).entryList(QDir::Files).size());
    }
    QString LastContractTo() {
        const QUrlQuery query(QString::fromLatin1(replica_.requests().last().query()));
        return query.queryItemValue(QStringLiteral("contractDateTo"));
    }

    QTemporaryDir dir_;
    ScopedTiming timing_;
    replica::PortalReplica replica_;
    RecordedRunReport view_;
    RunChoice choice_;
    RunWatch watch_{view_, [this] { return choice_; }};
    QList<RunSummary> ended_;
};

TEST_F(RunWatchRunTest, ARunNotStoppedIsRepeatedWithTheDayOfItsStart) {
    QDate day(2026, 12, 8);
    watch_.SetCurrentDay([&day] { return day; });
    watch_.SetRepeating(true);
    ASSERT_TRUE(watch_.Start());
    ASSERT_TRUE(
        WaitFor([&] { return watch_.Idle() && watch_.restartTimer()->isActive(); }, kWaitMs));
    EXPECT_EQ(LastContractTo(), QStringLiteral("08.12.2026"));
    // The restart line comes after the path line, and only in the view, not in the file.
    const QStringList log = view_.log();
    ASSERT_GE(log.size(), 3);
    EXPECT_TRUE(log[log.size() - 3].contains(QStringLiteral(": Лог записан в ")));
    EXPECT_EQ(log[log.size() - 2], QString());
    EXPECT_EQ(log.last(), QStringLiteral("Повторная выгрузка начнётся через 1 секунд"));
    const QDir logs(dir_.filePath(QStringLiteral("logs")));
    EXPECT_FALSE(
        ReadFile(logs.filePath(logs.entryList(QDir::Files).first())).contains("Повторная"));

    // The timer starts the next run on a new day; that one, with repeating off, ends idle.
    day = QDate(2026, 12, 9);
    watch_.SetRepeating(false);
    ASSERT_TRUE(WaitFor([&] { return replica_.requestCount() == 2 && watch_.Idle(); }, kWaitMs));
    EXPECT_EQ(LastContractTo(), QStringLiteral("09.12.2026"));
    EXPECT_FALSE(watch_.restartTimer()->isActive());
    EXPECT_FALSE(LogEndsWith(QStringLiteral(" секунд")));
    ASSERT_EQ(ended_.size(), 2);
    EXPECT_FALSE(ended_[1].setUpFailed || ended_[1].phaseFailed);
}

TEST_F(RunWatchRunTest, AStoppedRunIsNotRepeatedAndNeedsNoContinue) {
    choice_.threads = 0;  // the run waits in its listing phase until stopped
    watch_.SetRepeating(true);
    ASSERT_TRUE(watch_.Start());
    ASSERT_TRUE(
        WaitFor([&] { return LogEndsWith(QStringLiteral(": Начинаем работу...")); }, kWaitMs));
    watch_.TogglePause();
    EXPECT_TRUE(watch_.Held());
    EXPECT_TRUE(LogEndsWith(QStringLiteral(": Включаем паузу")));
    // A failed phase's pause as well: the stop gets the run out without anyone continuing it.
    watch_.PhaseEnded(QStringLiteral("сбой"), watch_.Control());
    ASSERT_TRUE(watch_.Stop(/*abandonNetwork=*/false));
    EXPECT_TRUE(LogEndsWith(QStringLiteral(": Останавливаем работу")));
    ASSERT_TRUE(WaitFor([&] { return watch_.Idle(); }, kWaitMs));
    EXPECT_TRUE(LogEndsWith(QStringLiteral(".txt")));
    EXPECT_FALSE(watch_.restartTimer()->isActive());
    EXPECT_EQ(ended_.size(), 1);
    EXPECT_FALSE(watch_.Stop(false));
}

TEST_F(RunWatchRunTest, AFailedPhaseIsResumedByTheTimerButAnOperatorsPauseIsNot) {
    choice_.threads = 0;
    ASSERT_TRUE(watch_.Start());
    ASSERT_TRUE(
        WaitFor([&] { return LogEndsWith(QStringLiteral(": Начинаем работу...")); }, kWaitMs));
    const std::shared_ptr<RunControl> run = watch_.Control();
    run->Hold();  // as the driver holds itself before it tells of a failed phase
    watch_.PhaseEnded(QStringLiteral("сбой"), run);
    EXPECT_TRUE(watch_.resumeTimer()->isActive());
    ASSERT_TRUE(WaitFor([&] { return !run->Held(); }, kWaitMs));
    EXPECT_TRUE(LogEndsWith(QStringLiteral(": Отключаем паузу, продолжаем работу")));

    run->Hold();
    watch_.PhaseEnded(QStringLiteral("сбой"), run);
    watch_.TogglePause();  // continues the held run at once
    watch_.TogglePause();  // the operator's own pause, which the pending resume leaves alone
    EXPECT_FALSE(watch_.resumeTimer()->isActive());
    WaitFor([] { return false; }, Timing().resumeTimerMs * 2);
    EXPECT_TRUE(watch_.Held());

    ASSERT_TRUE(watch_.Stop(false));
    ASSERT_TRUE(WaitFor([&] { return watch_.Idle(); }, kWaitMs));
    ASSERT_EQ(ended_.size(), 1);
    EXPECT_TRUE(ended_[0].phaseFailed);
}

TEST_F(RunWatchRunTest, ProxiesOnWithoutAProxyStartNothingAndKeepAPendingRestart) {
    choice_.useProxy = true;
    int refused = 0;
    QObject::connect(&watch_, &RunWatch::startRefused, [&refused] { ++refused; });
    watch_.restartTimer()->start(kWaitMs);
    const QDateTime before = QDateTime::currentDateTime();
    EXPECT_FALSE(watch_.Start());
    const QString text = QStringLiteral(
        "файл proxy.txt пустой, задайте в него прокси в формате ip:port:login:password");
    const QStringList log = view_.log();
    ASSERT_EQ(log.size(), 1);
    EXPECT_TRUE(log[0] == StampedLine(text, before) || log[0] == StampedLine(text))
        << log[0].toStdString();
    EXPECT_EQ(refused, 1);
    EXPECT_TRUE(watch_.Idle());
    EXPECT_TRUE(watch_.restartTimer()->isActive());
    EXPECT_EQ(replica_.requestCount(), 0);
}

TEST_F(RunWatchRunTest, AStartRightAfterARunEndedShowsThatEndFirst) {
    ASSERT_TRUE(watch_.Start());
    const std::shared_ptr<RunControl> first = watch_.Control();
    // No event is handled meanwhile: the first run's end is still waiting to be shown.
    for (int ms = 0; !first->Done() && ms < kWaitMs; ms += 5) {
        QThread::msleep(5);
    }
    ASSERT_TRUE(first->Done());
    choice_.threads = 0;
    ASSERT_TRUE(watch_.Start());
    EXPECT_EQ(ended_.size(), 1);
    EXPECT_EQ(LogFiles(), 1);
    // The first run's thread reports its end late; it does not end the second run's watch.
    WaitFor([] { return false; }, 200);
    EXPECT_TRUE(watch_.RunActive());
    EXPECT_TRUE(watch_.StopForExit(kWaitMs));
    EXPECT_TRUE(watch_.Idle());
    EXPECT_EQ(LogFiles(), 2);
    EXPECT_EQ(ended_.size(), 2);
}

}  // namespace
