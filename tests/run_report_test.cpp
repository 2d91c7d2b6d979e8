// The run's events as the faces show them, seen through the recorded report; the throttling of
// progress and counters by the driver.
#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>
#include <future>

#include "run/RecordedRunReport.h"
#include "run/RunControl.h"
#include "run/RunDriver.h"
#include "run/RunReporter.h"
#include "support/TestSupport.h"
#include "text/StampedLine.h"

namespace {

class RunReportTest : public ::testing::Test {
protected:
    RunReportTest() : timing_(ScopedTiming::Scaled(1)) {
        QDir().mkpath(dir_.filePath(QStringLiteral("logs")));
    }
    ~RunReportTest() override { SetTickOffsetForTesting(0); }

    // Runs `call` on the report's thread, as the driver's events do.
    void OnReportThread(const std::function<void()>& call) { CallOnSinkThread(view_, call); }

    QTemporaryDir dir_;
    ScopedTiming timing_;
    RecordedRunReport view_;
    std::shared_ptr<RunControl> control_ = std::make_shared<RunControl>();
    RunReporter reporter_{view_, control_};
};

TEST_F(RunReportTest, LogIsEmptiedOnlyWhenPastTheCap) {
    for (int i = 0; i < RunReport::kLogLineCap; ++i) {
        view_.WriteLog(QStringLiteral("x"));
    }
    reporter_.Log(QStringLiteral("строка"));  // 100000 lines: still appended
    EXPECT_EQ(view_.log().size(), RunReport::kLogLineCap + 1);
    reporter_.Log(QStringLiteral("строка"));  // 100001 lines: emptied first
    const QStringList log = view_.log();
    ASSERT_EQ(log.size(), 1);
    EXPECT_TRUE(log.first().endsWith(QStringLiteral(": строка")));
}

TEST_F(RunReportTest, ARunNeverWaitsForTheReportAndItsEventsKeepTheirOrder) {
    // The report's thread is busy until released; what the run tells meanwhile queues up.
    std::promise<void> release;
    QMetaObject::invokeMethod(
        view_.context(),
        [released = release.get_future().share()] { released.wait_for(std::chrono::seconds(30)); },
        Qt::QueuedConnection);
    RunDriver run(&view_, RunOptionsIn(dir_.path()));
    run.start();  // without StartURL.txt: set-up, one line, the end
    const bool ended = run.wait(10000);
    release.set_value();
    ASSERT_TRUE(ended);
    const QStringList log = view_.log();
    ASSERT_EQ(log.size(), 4);
    EXPECT_TRUE(log[0].endsWith(QStringLiteral(": Запуск")));
    EXPECT_TRUE(log[1].endsWith(QStringLiteral(": Начинаем работу...")));
    EXPECT_TRUE(log[2].contains(QStringLiteral(": Нет файла ")));
    EXPECT_TRUE(log[3].contains(QStringLiteral(": Лог записан в ")));
}

TEST_F(RunReportTest, ProgressRefreshesAtMostOnceASecond) {
    reporter_.Progress().lastProgressUpdate = 0;
    reporter_.Progress().maximum = 10;
    reporter_.Progress().position = 4;
    reporter_.ShowProgress();
    EXPECT_EQ(view_.progressRefreshes(), 1);
    EXPECT_EQ(view_.progressHint(), QStringLiteral("4 из 10, осталось 6"));

    reporter_.Progress().position = 5;
    reporter_.ShowProgress();  // within the second: not refreshed
    EXPECT_EQ(view_.progressRefreshes(), 1);

    reporter_.Progress().lastProgressUpdate = 0;  // the driver forces the next refresh
    reporter_.ShowProgress();
    EXPECT_EQ(view_.progressRefreshes(), 2);
    EXPECT_EQ(view_.progressPosition(), 5);
}

TEST_F(RunReportTest, ThrottleSurvivesTheTickCounterWrapping) {
    SetTickOffsetForTesting(0xFFFFFFFFu - TickCount() - 100);  // 100 ms before the wrap
    reporter_.Progress().lastProgressUpdate = TickCount();
    QThread::msleep(200);  // the counter has wrapped now
    ASSERT_LT(TickCount(), reporter_.Progress().lastProgressUpdate);
    reporter_.ShowProgress();
    EXPECT_EQ(view_.progressRefreshes(), 0);
}

TEST_F(RunReportTest, CountersShowTheirTextsAtMostOnceASecond) {
    reporter_.Progress().lastCountersUpdate = 0;
    reporter_.Progress().contractsFound = 1234;
    reporter_.Progress().refusalsQueued = 7;
    reporter_.ShowCounters();
    EXPECT_EQ(view_.contractsLabel(), QStringLiteral("Найдено контрактов: 1234"));
    EXPECT_EQ(view_.queuedLabel(), QStringLiteral("Отказов в очереди:: 7"));

    reporter_.Progress().contractsFound = 1300;
    reporter_.ShowCounters();  // skipped within the second
    EXPECT_EQ(view_.contractsLabel(), QStringLiteral("Найдено контрактов: 1234"));
}

TEST_F(RunReportTest, EndStateSavesTheLog) {
    OnReportThread([&] { view_.RunBusy(); });
    EXPECT_FALSE(view_.runControlsEnabled());
    ASSERT_EQ(view_.log().size(), 1);
    EXPECT_TRUE(view_.log().first().endsWith(QStringLiteral(": Запуск")));

    // Past 2^31 ms of uptime the name carries a negative number.
    SetTickOffsetForTesting(0x80000000u + 5000 - TickCount());
    OnReportThread([&] { view_.RunIdle({false, dir_.filePath(QStringLiteral("logs")), {}}); });

    const QStringList log = view_.log();
    ASSERT_EQ(log.size(), 2);  // start line, path line
    const QString pathLine = log[1];
    const qsizetype at = pathLine.indexOf(QStringLiteral(": Лог записан в "));
    ASSERT_GT(at, 0);
    const QString path = pathLine.mid(at + QStringLiteral(": Лог записан в ").size());
    EXPECT_TRUE(path.startsWith(dir_.filePath(QStringLiteral("logs")) + QStringLiteral("/log--")));
    EXPECT_TRUE(view_.runControlsEnabled());

    // The file holds the memo up to and including the path line, CR LF between lines.
    EXPECT_EQ(ReadFile(path), (log[0] + QStringLiteral("\r\n") + log[1]).toUtf8());
}

TEST_F(RunReportTest, PhaseEndLogsTheFailureAndThePauseOrTheCompletion) {
    OnReportThread([&] { view_.PhaseEnded(QString(300, QLatin1Char('e')), control_); });
    const QStringList log = view_.log();
    ASSERT_EQ(log.size(), 2);
    EXPECT_TRUE(log[0].endsWith(QStringLiteral(": Ошибка: ") + QString(200, QLatin1Char('e'))));
    EXPECT_TRUE(log[1].endsWith(QStringLiteral(": Включаем паузу на 5 секунд")));

    OnReportThread([&] { view_.PhaseEnded(QString(), control_); });
    ASSERT_EQ(view_.log().size(), 3);
    EXPECT_TRUE(view_.log().last().endsWith(QStringLiteral(": Сбор данных завершен")));
}

TEST_F(RunReportTest, AnnouncementGoesToResultsAndBalloon) {
    OnReportThread([&] {
        view_.RefusalAccepted(QStringLiteral("05.12.2026 10:11"),
                              QStringLiteral("https://portal/card?reestrNumber=1"));
    });
    ASSERT_EQ(view_.results().size(), 1);
    EXPECT_TRUE(view_.results().first().endsWith(
        QStringLiteral(": 05.12.2026 10:11 https://portal/card?reestrNumber=1")));
    EXPECT_EQ(view_.balloons(),
              QStringList{QStringLiteral("Quorvane|Найден отказ от 05.12.2026 10:11")});
}

}  // namespace
