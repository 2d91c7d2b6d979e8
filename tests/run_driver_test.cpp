// Whole runs of the driver over scripted portal pages, seen through the headless view.
#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>
#include <QUuid>

#include "PortalReplica.h"
#include "scraper/HeadlessRunView.h"
#include "scraper/Scraper.h"
#include "support/TestSupport.h"

using replica::PortalReplica;
using replica::Response;
using replica::RouteTable;

namespace {

const QByteArray kEmptySearchPage =
    "<html><head><title>Реестр контрактов</title></head><body>"
    "<input type=\"text\" value=\"\" name=\"contractDateFrom\">"
    "<input type=\"text\" value=\"\" name=\"contractDateTo\">"
    "<p>Поиск не дал результатов</p></body></html>";

class RunDriverTest : public ::testing::Test {
protected:
    RunDriverTest() : timing_(ScopedTiming::Scaled(20)) {
        replica_.setHandler(routes_.handler());
        routes_.addPrefix("/epz/contract/search/results.html", Response::Ok(kEmptySearchPage));
    }

    // A driver for one run in the test's folder.
    std::unique_ptr<TScraper> NewRun() {
        auto run = std::make_unique<TScraper>(&view_);
        run->ProgramDir = dir_.path();
        run->WorkDir = dir_.path();
        run->MutexName =
            QStringLiteral("QuorvaneTest-") + QUuid::createUuid().toString(QUuid::Id128);
        return run;
    }

    void WriteStartUrl() {
        WriteFile(
            dir_.filePath(QStringLiteral("StartURL.txt")),
            (replica_.url() + "/epz/contract/search/results.html?morphology=on\r\n").toUtf8());
    }

    static void Finish(TScraper& run) {
        ASSERT_TRUE(run.wait(30000));
        EXPECT_TRUE(run.Done());
    }

    bool LogHas(const QString& text) const {
        for (const QString& line : view_.log()) {
            if (line.endsWith(QStringLiteral(": ") + text)) {
                return true;
            }
        }
        return false;
    }

    QTemporaryDir dir_;
    ScopedTiming timing_;
    PortalReplica replica_;
    RouteTable routes_;
    HeadlessRunView view_;
};

TEST_F(RunDriverTest, MissingStartUrlEndsRightAfterTheStartLine) {
    auto run = NewRun();
    run->start();
    Finish(*run);

    const QStringList log = view_.log();
    ASSERT_EQ(log.size(), 3);
    EXPECT_TRUE(log[0].endsWith(QStringLiteral(": Запуск")));
    EXPECT_TRUE(log[1].endsWith(QStringLiteral(": Начинаем работу...")));
    EXPECT_TRUE(log[2].contains(QStringLiteral(": Лог записан в ")));
    EXPECT_EQ(replica_.requestCount(), 0);
    EXPECT_TRUE(view_.runControlsEnabled());
    EXPECT_TRUE(QDir(dir_.filePath(QStringLiteral("logs"))).exists());
}

TEST_F(RunDriverTest, NormalEndFetchesTheStartPageAndSchedulesTheRestart) {
    WriteStartUrl();
    view_.setRestartChecked(true);
    auto run = NewRun();
    run->PublishDateFrom = QDate(2025, 1, 1);
    run->PublishDateTo = QDate(2026, 12, 8);
    run->start();
    Finish(*run);

    ASSERT_EQ(replica_.requestCount(), 1);
    const QByteArray target = replica_.requests().first().target;
    EXPECT_TRUE(target.startsWith("/epz/contract/search/results.html?morphology=on"));
    EXPECT_TRUE(view_.restartTimerArmed());
    EXPECT_EQ(view_.log().last(), QStringLiteral("Повторная выгрузка начнётся через 30 секунд"));
    // No refusal passed: no card phase, no completion line, no CSV file.
    EXPECT_FALSE(LogHas(QStringLiteral("Сбор данных завершен")));
    EXPECT_TRUE(QDir(dir_.path()).entryList({QStringLiteral("*.csv")}).isEmpty());
}

TEST_F(RunDriverTest, ThreadCountZeroStartsNothingUntilStopped) {
    WriteStartUrl();
    view_.setThreadCount(0);
    view_.setRestartChecked(true);
    auto run = NewRun();
    run->start();
    ASSERT_TRUE(WaitFor([&] { return LogHas(QStringLiteral("Начинаем работу...")); }, 10000));
    QThread::msleep(200);
    EXPECT_FALSE(run->Done());
    run->Terminate();
    Finish(*run);

    EXPECT_EQ(replica_.requestCount(), 0);
    EXPECT_FALSE(view_.restartTimerArmed());
    EXPECT_TRUE(view_.log().last().contains(QStringLiteral(": Лог записан в ")));
}

TEST_F(RunDriverTest, StopWhileHeldEndsTheRunAfterContinuing) {
    WriteStartUrl();
    view_.setThreadCount(0);
    auto run = NewRun();
    run->start();
    ASSERT_TRUE(WaitFor([&] { return LogHas(QStringLiteral("Начинаем работу...")); }, 10000));
    run->Hold();
    QThread::msleep(50);
    // As the window's Stop does it: continue a held driver, then terminate it.
    run->Continue();
    run->Terminate();
    Finish(*run);
    EXPECT_TRUE(view_.runControlsEnabled());
}

}  // namespace
