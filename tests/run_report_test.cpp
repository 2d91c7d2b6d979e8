// The run-reporting calls as the window carries them out, seen through the headless view.
#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

#include "run/HeadlessRunView.h"
#include "run/RunDriver.h"
#include "text/StampedLine.h"
#include "support/TestSupport.h"

namespace {

class RunReportingTest : public ::testing::Test {
protected:
    RunReportingTest() : timing_(ScopedTiming::Scaled(1)), run_(&view_) {
        run_.options.programDir = dir_.path();
        QDir().mkpath(dir_.filePath(QStringLiteral("logs")));
    }
    ~RunReportingTest() override { SetTickOffsetForTesting(0); }

    void Call(void (RunView::*call)(RunDriver&)) {
        CallOnView(view_, [&] { (view_.*call)(run_); });
    }

    QTemporaryDir dir_;
    ScopedTiming timing_;
    HeadlessRunView view_;
    RunDriver run_;
};

TEST_F(RunReportingTest, LogIsEmptiedOnlyWhenPastTheCap) {
    run_.LogMessageText = QStringLiteral("строка");
    for (int i = 0; i < ControlsRunView::kLogLineCap; ++i) {
        view_.WriteLog(QStringLiteral("x"));
    }
    Call(&RunView::AddLogLine);  // 100000 lines: still appended
    EXPECT_EQ(view_.log().size(), ControlsRunView::kLogLineCap + 1);
    Call(&RunView::AddLogLine);  // 100001 lines: emptied first
    const QStringList log = view_.log();
    ASSERT_EQ(log.size(), 1);
    EXPECT_TRUE(log.first().endsWith(QStringLiteral(": строка")));
}

TEST_F(RunReportingTest, ProgressRefreshesAtMostOnceASecondButAlwaysReadsTheThreadCount) {
    run_.progress.lastProgressUpdate = 0;
    run_.progress.maximum = 10;
    run_.progress.position = 4;
    view_.setThreadCount(12);
    Call(&RunView::ShowProgress);
    EXPECT_EQ(view_.progressRefreshes(), 1);
    EXPECT_EQ(view_.progressHint(), QStringLiteral("4 из 10, осталось 6"));

    run_.progress.position = 5;
    view_.setThreadCount(40);
    Call(&RunView::ShowProgress);  // within the second: not refreshed
    EXPECT_EQ(view_.progressRefreshes(), 1);
    EXPECT_EQ(run_.Limit, 40);

    run_.progress.lastProgressUpdate = 0;  // the driver forces the next refresh
    Call(&RunView::ShowProgress);
    EXPECT_EQ(view_.progressRefreshes(), 2);
    EXPECT_EQ(view_.progressPosition(), 5);
}

TEST_F(RunReportingTest, ThrottleSurvivesTheTickCounterWrapping) {
    SetTickOffsetForTesting(0xFFFFFFFFu - TickCount() - 100);  // 100 ms before the wrap
    run_.progress.lastProgressUpdate = TickCount();
    QThread::msleep(200);  // the counter has wrapped now
    ASSERT_LT(TickCount(), run_.progress.lastProgressUpdate);
    Call(&RunView::ShowProgress);
    EXPECT_EQ(view_.progressRefreshes(), 0);
}

TEST_F(RunReportingTest, CountersShowTheirTextsAndCopyTheThreadCount) {
    run_.progress.lastCountersUpdate = 0;
    run_.progress.contractsFound = 1234;
    run_.progress.refusalsQueued = 7;
    view_.setThreadCount(20);
    Call(&RunView::ShowCounters);
    EXPECT_EQ(view_.tendersLabel(), QStringLiteral("Найдено контрактов: 1234"));
    EXPECT_EQ(view_.queuedLabel(), QStringLiteral("Отказов в очереди:: 7"));
    EXPECT_EQ(run_.Limit, 20);

    view_.setThreadCount(50);
    Call(&RunView::ShowCounters);  // skipped within the second, Limit untouched
    EXPECT_EQ(run_.Limit, 20);
}

TEST_F(RunReportingTest, EndStateSavesTheLogAndAnnouncesTheRestart) {
    run_.CursorHourGlass = true;
    Call(&RunView::ToggleBusy);
    EXPECT_FALSE(view_.runControlsEnabled());
    ASSERT_EQ(view_.log().size(), 1);
    EXPECT_TRUE(view_.log().first().endsWith(QStringLiteral(": Запуск")));

    // Past 2^31 ms of uptime the name carries a negative number.
    SetTickOffsetForTesting(0x80000000u + 5000 - TickCount());
    view_.setRestartChecked(true);
    run_.CursorHourGlass = false;
    Call(&RunView::ToggleBusy);

    const QStringList log = view_.log();
    ASSERT_EQ(log.size(), 4);  // start line, path line, empty line, restart line
    const QString pathLine = log[1];
    const qsizetype at = pathLine.indexOf(QStringLiteral(": Лог записан в "));
    ASSERT_GT(at, 0);
    const QString path = pathLine.mid(at + QStringLiteral(": Лог записан в ").size());
    EXPECT_TRUE(path.startsWith(dir_.filePath(QStringLiteral("logs")) + QStringLiteral("/log--")));
    EXPECT_EQ(log[2], QString());
    EXPECT_EQ(log[3], QStringLiteral("Повторная выгрузка начнётся через 30 секунд"));
    EXPECT_TRUE(view_.restartTimerArmed());
    EXPECT_TRUE(view_.runControlsEnabled());

    // The file holds the memo up to and including the path line, CR LF between lines.
    EXPECT_EQ(ReadFile(path), (log[0] + QStringLiteral("\r\n") + log[1]).toUtf8());
}

TEST_F(RunReportingTest, StoppedRunGetsNoRestart) {
    view_.setRestartChecked(true);
    run_.Terminate();
    run_.CursorHourGlass = false;
    Call(&RunView::ToggleBusy);
    EXPECT_FALSE(view_.restartTimerArmed());
    EXPECT_TRUE(view_.log().last().contains(QStringLiteral(": Лог записан в ")));
}

TEST_F(RunReportingTest, FailedPhaseLogsTheErrorAndPausesUntilTheResumeTimer) {
    RunTiming timing = Timing();
    timing.resumeTimerMs = 100;
    ScopedTiming shortResume(timing);
    run_.result = QStringLiteral("ERROR_") + QString(300, QLatin1Char('e'));
    Call(&RunView::ReportRunEnd);
    const QStringList log = view_.log();
    ASSERT_EQ(log.size(), 2);
    EXPECT_TRUE(log[0].endsWith(QStringLiteral(": Ошибка: ") + QString(200, QLatin1Char('e'))));
    EXPECT_TRUE(log[1].endsWith(QStringLiteral(": Включаем паузу на 5 секунд")));
    EXPECT_TRUE(run_.Held());
    EXPECT_EQ(view_.resumeTimerArms(), 1);
    ASSERT_TRUE(WaitFor([&] { return !run_.Held(); }, 5000));
    EXPECT_TRUE(
        view_.log().last().endsWith(QStringLiteral(": Отключаем паузу, продолжаем работу")));

    run_.result = QStringLiteral("ok");
    Call(&RunView::ReportRunEnd);
    EXPECT_TRUE(view_.log().last().endsWith(QStringLiteral(": Сбор данных завершен")));
    EXPECT_FALSE(run_.Held());
}

TEST_F(RunReportingTest, AnnouncementGoesToResultsAndBalloon) {
    run_.refusalDate = QStringLiteral("05.12.2026 10:11");
    run_.refusalCardUrl = QStringLiteral("https://portal/card?reestrNumber=1");
    Call(&RunView::AnnounceReject);
    ASSERT_EQ(view_.results().size(), 1);
    EXPECT_TRUE(view_.results().first().endsWith(
        QStringLiteral(": 05.12.2026 10:11 https://portal/card?reestrNumber=1")));
    EXPECT_EQ(view_.balloons(),
              QStringList{QStringLiteral("Quorvane|Найден отказ от 05.12.2026 10:11")});
}

}  // namespace
