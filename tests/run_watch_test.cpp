// Run control as the driver waits on it, and the watch both faces run: its restarts and stops,
// with real runs against the portal replica and the recorded report as the face.
#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrlQuery>
#include <chrono>
#include <future>

#include "PortalReplica.h"
#include "run/RecordedRunReport.h"
#include "run/RunControl.h"
#include "run/RunWatch.h"
#include "support/TestSupport.h"

using replica::Response;

namespace {

using namespace std::chrono_literals;

TEST(RunControlTest, TerminateReleasesAHoldAndNoHoldFollowsIt) {
    RunControl control;
    control.Hold();
    auto waiting = std::async(std::launch::async, [&control] { control.WaitWhileHeld(); });
    EXPECT_EQ(waiting.wait_for(50ms), std::future_status::timeout);
    // Nobody continues it: the terminate alone lets the driver out.
    control.Terminate();
    const bool released = waiting.wait_for(10s) == std::future_status::ready;
    if (!released) {
        control.Continue();  // so that the test ends
    }
    EXPECT_TRUE(released);
    EXPECT_FALSE(control.Held());

    // A phase that fails while stopping holds the driver as any failed phase does: it goes on.
    control.Hold();
    EXPECT_FALSE(control.Held());
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
    qsizetype LogFiles() {
        view_.log();
        return QDir(dir_.filePath(QStringLiteral("logs"))).entryList(QDir::Files).size();
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
    // The restart line follows the path line, in the view and not in the file.
    const QStringList log = view_.log();
    ASSERT_GE(log.size(), 3);
    EXPECT_TRUE(log[log.size() - 3].contains(QStringLiteral(": Лог записан в ")));
    EXPECT_EQ(log[log.size() - 2], QString());
    EXPECT_EQ(log.last(), QStringLiteral("Повторная выгрузка начнётся через 1 секунд"));
    const QDir logs(dir_.filePath(QStringLiteral("logs")));
    EXPECT_FALSE(ReadFile(logs.filePath(logs.entryList(QDir::Files).first())).contains("Повтор"));

    // The timer starts the next run, which takes the day of its own start.
    day = QDate(2026, 12, 9);
    ASSERT_TRUE(WaitFor([&] { return replica_.requestCount() == 2; }, kWaitMs));
    const QUrlQuery second(QString::fromLatin1(replica_.requests().last().query()));
    EXPECT_EQ(second.queryItemValue(QStringLiteral("contractDateTo")),
              QStringLiteral("09.12.2026"));
}

TEST_F(RunWatchRunTest, AStoppedRunIsNotRepeatedAndNeedsNoContinue) {
    choice_.threads = 0;  // the run waits in its listing phase until stopped
    watch_.SetRepeating(true);
    ASSERT_TRUE(watch_.Start());
    ASSERT_TRUE(
        WaitFor([&] { return LogEndsWith(QStringLiteral(": Начинаем работу...")); }, kWaitMs));
    // Held by the operator and by a failed phase: the stop alone gets the run out.
    watch_.TogglePause();
    watch_.PhaseEnded(QStringLiteral("сбой"), watch_.Control());
    ASSERT_TRUE(watch_.Stop(/*abandonNetwork=*/false));
    ASSERT_TRUE(WaitFor([&] { return watch_.Idle(); }, kWaitMs));
    EXPECT_FALSE(watch_.restartTimer()->isActive());
    EXPECT_FALSE(LogEndsWith(QStringLiteral(" секунд")));
    ASSERT_EQ(ended_.size(), 1);
    EXPECT_TRUE(ended_[0].phaseFailed);
}

TEST_F(RunWatchRunTest, AStartRightAfterARunEndedShowsThatEndFirst) {
    ASSERT_TRUE(watch_.Start());
    const std::shared_ptr<RunControl> first = watch_.Control();
    // No event is handled meanwhile: the first run's end is still waiting to be shown.
    for (int ms = 0; !first->Done() && ms < kWaitMs; ms += 5) {
        QThread::msleep(5);
    }
    choice_.threads = 0;
    ASSERT_TRUE(watch_.Start());
    EXPECT_EQ(ended_.size(), 1);
    EXPECT_EQ(LogFiles(), 1);
    // The first run's thread reports its end late; that does not end the second run.
    WaitFor([] { return false; }, 200);
    EXPECT_TRUE(watch_.RunActive());
    EXPECT_TRUE(watch_.StopForExit(kWaitMs));
    EXPECT_EQ(LogFiles(), 2);
    EXPECT_EQ(ended_.size(), 2);
}

}  // namespace
