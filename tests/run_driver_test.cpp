// Whole runs of the driver over scripted portal pages, seen through the headless view.
#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>
#include <QUrlQuery>
#include <QUuid>

#include "PortalReplica.h"
#include "fetch/ProxyFile.h"
#include "run/RecordedRunReport.h"
#include "run/RunDriver.h"
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

    // A driver for one run in the test's folder; `setUp` changes its options.
    std::unique_ptr<RunDriver> NewRun(const std::function<void(RunOptions&)>& setUp = {}) {
        RunOptions options = RunOptionsIn(dir_.path());
        if (setUp) {
            setUp(options);
        }
        return std::make_unique<RunDriver>(&view_, std::move(options));
    }

    void WriteStartUrl() {
        WriteFile(
            dir_.filePath(QStringLiteral("StartURL.txt")),
            (replica_.url() + "/epz/contract/search/results.html?morphology=on\r\n").toUtf8());
    }

    static void Finish(RunDriver& run) {
        ASSERT_TRUE(run.wait(30000));
        EXPECT_TRUE(run.Control()->Done());
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
    RecordedRunReport view_;
};

// A missing StartURL.txt, an empty one (which once had a worker retry an address-less request
// 500 times) and one without an http(s) address: the run ends with one line naming the file,
// and nothing is requested.
TEST_F(RunDriverTest, UnusableStartUrlEndsRightAfterTheStartLineWithOneLine) {
    const QList<std::pair<QByteArray, QString>> cases = {
        {QByteArray(), QStringLiteral(": Нет файла ")},
        {" \r\n", QStringLiteral(": Файл ")},
        {"results.html?morphology=on", QStringLiteral(": В файле ")},
        {"ftp://portal.example/results.html", QStringLiteral(": В файле ")}};
    for (const auto& [content, start] : cases) {
        if (!content.isNull()) {
            WriteFile(dir_.filePath(QStringLiteral("StartURL.txt")), content);
        }
        auto run = NewRun();
        run->start();
        Finish(*run);

        const QStringList log = view_.log();
        ASSERT_EQ(log.size(), 4);
        EXPECT_TRUE(log[0].endsWith(QStringLiteral(": Запуск")));
        EXPECT_TRUE(log[1].endsWith(QStringLiteral(": Начинаем работу...")));
        EXPECT_TRUE(log[2].contains(start + dir_.filePath(QStringLiteral("StartURL.txt"))) &&
                    log[2].contains(QStringLiteral("один адрес поиска контрактов на портале")))
            << log[2].toStdString();
        EXPECT_TRUE(log[3].contains(QStringLiteral(": Лог записан в ")));
        EXPECT_TRUE(run->Outcome().setUpFailed);
        EXPECT_EQ(replica_.requestCount(), 0);
        EXPECT_TRUE(view_.runControlsEnabled());
        EXPECT_TRUE(QDir(dir_.filePath(QStringLiteral("logs"))).exists());
    }
}

TEST_F(RunDriverTest, NormalEndFetchesTheStartPageAndSavesTheLog) {
    WriteStartUrl();
    auto run = NewRun();
    run->start();
    Finish(*run);

    ASSERT_EQ(replica_.requestCount(), 1);
    const QByteArray target = replica_.requests().first().target;
    EXPECT_TRUE(target.startsWith("/epz/contract/search/results.html?morphology=on"));
    EXPECT_TRUE(view_.log().last().contains(QStringLiteral(": Лог записан в ")));
    // No refusal passed: no card phase, no completion line, no CSV file.
    EXPECT_FALSE(LogHas(QStringLiteral("Сбор данных завершен")));
    EXPECT_TRUE(QDir(dir_.path()).entryList({QStringLiteral("*.csv")}).isEmpty());
}

TEST_F(RunDriverTest, ThreadCountZeroStartsNothingUntilStopped) {
    WriteStartUrl();
    auto run = NewRun([](RunOptions& options) { options.threadLimit = 0; });
    run->start();
    ASSERT_TRUE(WaitFor([&] { return LogHas(QStringLiteral("Начинаем работу...")); }, 10000));
    QThread::msleep(200);
    EXPECT_FALSE(run->Control()->Done());
    run->Control()->Terminate();
    Finish(*run);

    EXPECT_EQ(replica_.requestCount(), 0);
    EXPECT_TRUE(view_.log().last().contains(QStringLiteral(": Лог записан в ")));
}

TEST_F(RunDriverTest, NeverRunsMoreWorkersThanTheThreadCount) {
    // The first page reports too many records, so the month is split into six searches that
    // are all waiting at once; each answers after a delay.
    constexpr int kDelayMs = 200;
    replica_.setHandler([](const replica::Request& request) {
        const QUrlQuery query(QString::fromUtf8(request.query()));
        const QString from = query.queryItemValue(QStringLiteral("contractDateFrom"));
        const QString to = query.queryItemValue(QStringLiteral("contractDateTo"));
        const bool whole =
            from == QStringLiteral("01.01.2026") && to == QStringLiteral("31.01.2026");
        const QString page =
            QStringLiteral(
                "<html><body><input value=\"%1\" name=\"contractDateFrom\">"
                "<input value=\"%2\" name=\"contractDateTo\">"
                "<div class=\"search-results__total\">%3 записей</div></body></html>")
                .arg(from, to, whole ? QStringLiteral("5 000") : QStringLiteral("10"));
        Response response = Response::Ok(page.toUtf8());
        response.delayMs = whole ? 0 : kDelayMs;
        return response;
    });
    WriteFile(dir_.filePath(QStringLiteral("StartURL.txt")),
              (replica_.url() + "/epz/contract/search/results.html?morphology=on&pageNumber=1&"
                                "sortBy=UPDATE_DATE")
                  .toUtf8());
    auto run = NewRun([](RunOptions& options) {
        options.threadLimit = 2;
        options.contractFrom = QDate(2026, 1, 1);
        options.contractTo = QDate(2026, 1, 31);
    });
    run->start();
    Finish(*run);

    const QList<replica::Request> requests = replica_.requests();
    ASSERT_EQ(requests.size(), 7);
    // With two workers at most, any third request waits for one of the first two to finish.
    for (int i = 1; i + 2 < requests.size(); ++i) {
        EXPECT_GE(requests[i + 2].arrivalMs - requests[i].arrivalMs, kDelayMs - 20) << i;
    }
}

TEST_F(RunDriverTest, StopWhileHeldEndsTheRunWithoutContinuing) {
    WriteStartUrl();
    auto run = NewRun([](RunOptions& options) { options.threadLimit = 0; });
    run->start();
    ASSERT_TRUE(WaitFor([&] { return LogHas(QStringLiteral("Начинаем работу...")); }, 10000));
    run->Control()->Hold();
    QThread::msleep(50);
    // As both faces stop it: the terminate alone gets a held driver out.
    run->Control()->Terminate();
    Finish(*run);
    EXPECT_TRUE(view_.runControlsEnabled());
}

TEST_F(RunDriverTest, AWorkerWhoseThreadCannotStartIsAFailedPage) {
    WriteStartUrl();
    // No thread can be created with a one-byte stack.
    auto run = NewRun([](RunOptions& options) { options.workerStackSize = 1; });
    run->start();
    Finish(*run);
    EXPECT_EQ(replica_.requestCount(), 0);
    EXPECT_EQ(view_.log()
                  .filter(QStringLiteral(": Ошибка на этапе запуска: Не удалось запустить "
                                         "поток для ") +
                          replica_.url())
                  .size(),
              1);
    EXPECT_TRUE(view_.log().last().contains(QStringLiteral(": Лог записан в ")));
}

TEST_F(RunDriverTest, ProxyLinesThatNameNoProxyAreSkippedByNumber) {
    const QString path = dir_.filePath(QStringLiteral("proxy.txt"));
    WriteFile(path,
              "10.0.0.1:3128:user:pw\r\n"
              "10.0.0.2:3128\r\n"  // two fields: no proxy
              "\r\n"               // blank: passed over quietly
              "u:p@10.0.0.3:99999\r\n"
              "\x01\xFF garbage\r\n"
              "u:p@10.0.0.4:8080\r\n");
    const ProxyFile file = LoadProxyFile(path);
    EXPECT_EQ(file.proxies, (QStringList{"10.0.0.1:3128:user:pw", "u:p@10.0.0.4:8080"}));
    EXPECT_EQ(file.malformedLines, (QList<int>{2, 4, 5}));

    auto run = NewRun([](RunOptions& options) { options.useProxy = true; });
    run->start();
    Finish(*run);
    const QStringList log = view_.log();
    ASSERT_GE(log.size(), 2);
    EXPECT_TRUE(log[1].endsWith(QStringLiteral(
        ": Пропускаем строки файла proxy.txt, не похожие на прокси "
        "(ip:port:login:password или login:password@ip:port), номера строк: 2, 4, 5")));

    // A file of bad lines only is as good as an empty one.
    WriteFile(path, "nothing\r\n:\r\n");
    EXPECT_TRUE(LoadProxyFile(path).proxies.isEmpty());
}

}  // namespace
