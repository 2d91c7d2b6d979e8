// The fetch worker against the portal replica: request profile, spacing, retries, handoff.
#include <gtest/gtest.h>

#include <QDateTime>
#include <QElapsedTimer>
#include <QUuid>
#include <optional>

#include "PortalReplica.h"
#include "fetch/FetchWorker.h"
#include "run/RecordedRunReport.h"
#include "support/TestSupport.h"
#include "text/ByteText.h"

using replica::PortalReplica;
using replica::Request;
using replica::Response;
using replica::RouteTable;

namespace {

QByteArray SearchPage(const QString& from, const QString& to) {
    return QStringLiteral(
               "<html><head><title>Реестр контрактов</title></head><body><form>"
               "<input type=\"text\" value=\"%1\" name=\"contractDateFrom\" class=\"date\">"
               "<input type=\"text\" value=\"%2\" name=\"contractDateTo\" class=\"date\">"
               "</form><div class=\"search-results__total\">0 записей</div></body></html>")
        .arg(from, to)
        .toUtf8();
}

const QByteArray kDetailPage = "<html><body>Отказ</body></html>";

class FetchWorkerTest : public ::testing::Test {
protected:
    FetchWorkerTest() : timing_(ScopedTiming::Scaled(20)) {
        replica_.setHandler(routes_.handler());
        shared_ = std::make_shared<RunShared>(QStringLiteral("QuorvaneTest-") +
                                              QUuid::createUuid().toString(QUuid::Id128));
        shared_->log = &view_;
    }

    ~FetchWorkerTest() override {
        for (FetchWorker* worker : lists_.runningWorkers + lists_.finishedWorkers) {
            delete worker;
        }
    }

    FetchWorker* Start(const QString& url) {
        auto* worker = new FetchWorker(shared_, &lists_);
        worker->url = url;
        {
            std::lock_guard lock(shared_->listsLock);
            lists_.runningWorkers.append(worker);
        }
        if (FetchWorker::IsDetailUrl(url)) {
            ++shared_->detailsInFlight;
        }
        worker->start();
        return worker;
    }

    // Waits (bounded) for the worker's thread to end.
    static void Finish(FetchWorker* worker) { ASSERT_TRUE(worker->wait(20000)); }

    bool InFinished(FetchWorker* worker) {
        std::lock_guard lock(shared_->listsLock);
        return lists_.finishedWorkers.contains(worker) && !lists_.runningWorkers.contains(worker);
    }

    QStringList LogLinesEndingWith(const QString& text) const {
        QStringList found;
        for (const QString& line : view_.log()) {
            if (line.endsWith(QStringLiteral(": ") + text)) {
                found << line;
            }
        }
        return found;
    }

    QString SearchUrl(const QString& query) const {
        return replica_.url() + QStringLiteral("/epz/contract/search/results.html?") + query;
    }
    QString RejectUrl(int id) const {
        return replica_.url() +
               QStringLiteral("/epz/rdik/card/reject-info.html?rejectId=%1").arg(id);
    }

    ScopedTiming timing_;
    PortalReplica replica_;
    RouteTable routes_;
    RecordedRunReport view_;
    std::shared_ptr<RunShared> shared_;
    WorkerLists lists_;
};

TEST_F(FetchWorkerTest, SendsTheBrowserProfileOverTls12AndHandsThePageIn) {
    const QString query = QStringLiteral("searchString=&contractDateFrom=&contractDateTo=");
    routes_.addExact("/epz/contract/search/results.html?" + query.toUtf8(),
                     Response::Ok(SearchPage({}, {})));
    FetchWorker* worker = Start(SearchUrl(query));
    Finish(worker);

    EXPECT_TRUE(InFinished(worker));
    EXPECT_EQ(worker->result, FetchWorker::kSearchPage);
    EXPECT_EQ(worker->statusText, QStringLiteral("успешно"));
    EXPECT_TRUE(worker->html.contains(QStringLiteral("</html>")));

    ASSERT_EQ(replica_.requestCount(), 1);
    const Request request = replica_.requests().first();
    EXPECT_EQ(request.tlsProtocol, QSsl::TlsV1_2);
    EXPECT_EQ(request.requestLine,
              "GET /epz/contract/search/results.html?" + query.toUtf8() + " HTTP/1.1");
    const QList<QByteArray> expected = {
        "Host: 127.0.0.1:" + QByteArray::number(replica_.port()),
        "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,image/avif,image/webp,"
        "*/*;q=0.8",
        "Referer: " + replica_.url().toUtf8() + "/epz/contract/search/results.html?",
        "Accept-Language: ru-RU,ru;q=0.8,en-US;q=0.5,en;q=0.3",
        "Accept-Encoding: gzip, deflate, br",
        "User-Agent: Mozilla/5.0 (Windows NT 6.1; Win64; x64; rv:109.0) Gecko/20100101 "
        "Firefox/115.0",
        "Upgrade-Insecure-Requests: 1",
        "Sec-Fetch-Dest: document",
        "Sec-Fetch-Mode: navigate",
        "Sec-Fetch-Site: none",
        "Sec-Fetch-User: ?1",
    };
    EXPECT_EQ(request.headerLines, expected);
}

TEST_F(FetchWorkerTest, DecodesAGzipBodyAndKeepsBytesAsOneCharacterEach) {
    Response response = Response::Ok(kDetailPage);
    response.gzip = true;
    routes_.addPrefix("/epz/rdik/card/reject-info.html", response);
    FetchWorker* worker = Start(RejectUrl(1));
    Finish(worker);

    EXPECT_EQ(worker->result, FetchWorker::kRefusalPage);
    // "Отказ" arrives as its ten UTF-8 bytes, one character each.
    EXPECT_EQ(worker->html, QString::fromLatin1(kDetailPage));
    EXPECT_EQ(shared_->detailsInFlight.load(), 0);
}

TEST_F(FetchWorkerTest, SpacesDetailRequestsButNotSearchPages) {
    RunTiming timing = Timing();
    timing.detailSpacingMs = 400;
    ScopedTiming spacing(timing);
    routes_.addPrefix("/epz/rdik/card/reject-info.html", Response::Ok(kDetailPage));
    routes_.addPrefix("/epz/contract/search/results.html", Response::Ok(SearchPage({}, {})));

    // The second request waits for the spacing after the first one's response.
    FetchWorker* first = Start(RejectUrl(1));
    Finish(first);
    FetchWorker* second = Start(RejectUrl(2));
    Finish(second);
    const QList<Request> requests = replica_.requests();
    ASSERT_EQ(requests.size(), 2);
    EXPECT_GE(requests[1].arrivalMs - requests[0].arrivalMs, 400 - 5);

    // Right after a detail response a search page still goes out: with a spacing of a minute
    // it could not finish otherwise.
    timing.detailSpacingMs = 60000;
    ScopedTiming longSpacing(timing);
    shared_->spacing.RecordDone();
    FetchWorker* search = Start(SearchUrl(QStringLiteral("a=1&contractDateFrom=&contractDateTo=")));
    Finish(search);
    EXPECT_EQ(search->result, FetchWorker::kSearchPage);
}

TEST_F(FetchWorkerTest, NotFoundIsFetchedTwiceWithTwoLogLines) {
    routes_.addPrefix("/epz/rdik/card/reject-info.html", Response::Status(404, "Not Found"));
    const QString url = RejectUrl(7);
    FetchWorker* worker = Start(url);
    Finish(worker);

    EXPECT_EQ(replica_.requestCount(), 2);
    EXPECT_EQ(worker->result, FetchWorker::kFailure);
    EXPECT_EQ(worker->statusText, QStringLiteral("ERROR_Not Found"));
    EXPECT_EQ(LogLinesEndingWith(QStringLiteral("ERROR_Not Found для ") + url).size(), 2);
    EXPECT_TRUE(InFinished(worker));
}

TEST_F(FetchWorkerTest, Answer429IsRetriedWithTheNoticeForDirectAndProxiedRuns) {
    for (bool useProxy : {false, true}) {
        SCOPED_TRACE(useProxy ? "with proxies" : "direct");
        routes_.clear();
        replica_.clearRequests();
        routes_.addPrefix("/epz/rdik/card/reject-info.html",
                          Response::Status(429, "Too Many Requests"));
        routes_.addPrefix("/epz/rdik/card/reject-info.html", Response::Ok(kDetailPage));
        shared_->useProxy = useProxy;  // an empty proxy list: every attempt goes out directly
        const QString url = RejectUrl(useProxy ? 2 : 1);
        FetchWorker* worker = Start(url);
        Finish(worker);

        EXPECT_EQ(worker->result, FetchWorker::kRefusalPage);
        EXPECT_EQ(worker->statusText, QStringLiteral("успешно"));
        EXPECT_EQ(replica_.requestCount(), 2);
        const QString notice = QStringLiteral("Получили 429 для ") + url +
                               (useProxy ? QStringLiteral(", повторяем через 2 секунды")
                                         : QStringLiteral(", повторяем через 10 секунд"));
        EXPECT_EQ(LogLinesEndingWith(notice).size(), 1);
        // The retry waits out the failure pause and the extra 429 pause on top of it.
        const QList<Request> requests = replica_.requests();
        const int pause429 = useProxy ? Timing().pause429ProxyMs : Timing().pause429DirectMs;
        EXPECT_GE(requests[1].arrivalMs - requests[0].arrivalMs, Timing().failPauseMs + pause429);
    }
    // The scaled pauses above stand for these.
    const RunTiming product;
    EXPECT_EQ(product.pause429DirectMs, 10000);
    EXPECT_EQ(product.pause429ProxyMs, 2000);
    EXPECT_EQ(product.dateMismatchPauseMs, 5000);
    EXPECT_EQ(product.detailSpacingMs, 2000);
}

TEST_F(FetchWorkerTest, PageWithoutClosingTagIsRetriedUntilTheAttemptsRunOut) {
    routes_.addPrefix("/epz/rdik/card/reject-info.html?rejectId=1",
                      Response::Ok("<html><body>cut"));
    routes_.addPrefix("/epz/rdik/card/reject-info.html?rejectId=1", Response::Ok(kDetailPage));
    FetchWorker* retried = Start(RejectUrl(1));
    Finish(retried);
    EXPECT_EQ(retried->result, FetchWorker::kRefusalPage);

    RunTiming timing = Timing();
    timing.maxAttempts = 3;
    ScopedTiming fewAttempts(timing);
    routes_.addPrefix("/epz/rdik/card/reject-info.html?rejectId=2",
                      Response::Ok("<html><body>cut"));
    FetchWorker* broken = Start(RejectUrl(2));
    Finish(broken);
    EXPECT_EQ(broken->result, FetchWorker::kFailure);
    EXPECT_EQ(broken->statusText, QStringLiteral("ERROR_Broken"));
    EXPECT_TRUE(InFinished(broken));
    int attempts = 0;
    for (const Request& r : replica_.requests()) {
        attempts += r.target.endsWith("rejectId=2") ? 1 : 0;
    }
    EXPECT_EQ(attempts, 3);
}

TEST_F(FetchWorkerTest, SearchPageForOtherDatesIsLoggedAndFetchedAgain) {
    const QString query =
        QStringLiteral("q=1&contractDateFrom=01.01.2026&contractDateTo=31.01.2026");
    const QByteArray target = "/epz/contract/search/results.html?" + query.toUtf8();
    routes_.addExact(target, Response::Ok(SearchPage(QStringLiteral("01.12.2025"),
                                                     QStringLiteral("08.12.2025"))));
    routes_.addExact(target, Response::Ok(SearchPage(QStringLiteral("01.01.2026"),
                                                     QStringLiteral("31.01.2026"))));
    FetchWorker* worker = Start(SearchUrl(query));
    Finish(worker);

    EXPECT_EQ(worker->result, FetchWorker::kSearchPage);
    ASSERT_EQ(replica_.requestCount(), 2);
    // The page is asked for again only after the mismatch pause and the failure pause.
    const QList<Request> requests = replica_.requests();
    EXPECT_GE(requests[1].arrivalMs - requests[0].arrivalMs,
              Timing().dateMismatchPauseMs + Timing().failPauseMs);
    EXPECT_EQ(
        LogLinesEndingWith(QStringLiteral("На запрошенные даты 01.01.2026-31.01.2026 сайт выдал "
                                          "список по датам 01.12.2025-08.12.2025, делаем паузу и "
                                          "повторяем запрос"))
            .size(),
        1);
}

TEST_F(FetchWorkerTest, StopDuringTheSpacingWaitEndsWithoutHandoff) {
    RunTiming timing = Timing();
    timing.detailSpacingMs = 60000;
    ScopedTiming longSpacing(timing);
    routes_.addPrefix("/epz/rdik/card/reject-info.html", Response::Ok(kDetailPage));
    shared_->spacing.RecordDone();

    FetchWorker* worker = Start(RejectUrl(3));
    ASSERT_TRUE(WaitFor([&] { return worker->isRunning(); }, 5000));
    QThread::msleep(50);
    worker->Terminate();
    Finish(worker);

    EXPECT_FALSE(InFinished(worker));
    EXPECT_EQ(shared_->detailsInFlight.load(), 0);
}

}  // namespace

namespace {

Response Coded(const QByteArray& coded, const QByteArray& coding) {
    Response response = Response::Ok(coded);
    response.headers.append(qMakePair(QByteArray("Content-Encoding"), coding));
    return response;
}

TEST_F(FetchWorkerTest, HostilePagesFailOnlyThatPage) {
    // The product's network limits, so a busy machine cannot pass for a slow server; the slow
    // server below gets limits of its own.
    RunTiming timing = Timing();
    timing.maxAttempts = 1;
    timing.httpIdleTimeoutSec = RunTiming().httpIdleTimeoutSec;
    timing.httpLowSpeedBytes = RunTiming().httpLowSpeedBytes;
    timing.httpPageTimeoutSec = RunTiming().httpPageTimeoutSec;
    ScopedTiming oneAttempt(timing);
    const QString tooLarge = QStringLiteral("ERROR_Response body is larger than 67108864 bytes");
    // Decoded, these pass the 64 MiB cap; coded they are a few kilobytes.
    const QByteArray zeros(70 * 1024 * 1024, '\0');
    Response announced;
    announced.streamBytes = 100 * 1024 * 1024;
    Response unannounced = announced;
    unannounced.closeDelimited = true;
    Response cut = Response::Ok(kDetailPage);
    cut.cutAfterBytes = 10;
    // Ten bytes a second against a limit of a thousand, as a byte a second against 100.
    Response slow = Response::Ok(kDetailPage);
    slow.trickleMs = 100;
    RunTiming slowLimits = timing;
    slowLimits.httpIdleTimeoutSec = 3;
    slowLimits.httpLowSpeedBytes = 1000;
    const QList<std::pair<Response, QString>> cases = {
        {Response::Ok(""), QStringLiteral("ERROR_Broken")},
        {announced, tooLarge},
        {unannounced, tooLarge},
        {Coded(replica::GzipCompress(zeros), "gzip"), tooLarge},
        {Coded(replica::BrotliCompress(zeros), "br"), tooLarge},
        {Response::Redirect(302, "/epz/rdik/card/reject-info.html?rejectId=5"),
         QStringLiteral("ERROR_Maximum (5) redirects followed")},
        {cut, QStringLiteral("ERROR_transfer closed with")},
        {slow, QStringLiteral("ERROR_Operation too slow")},
    };
    const qsizetype slowCase = cases.size() - 1;
    // One at a time: the replica serves all of them from one thread.
    for (qsizetype i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].second.toStdString());
        routes_.addExact("/epz/rdik/card/reject-info.html?rejectId=" + QByteArray::number(i),
                         cases[i].first);
        std::optional<ScopedTiming> limits;
        if (i == slowCase) {
            limits.emplace(slowLimits);
        }
        FetchWorker* worker = Start(RejectUrl(static_cast<int>(i)));
        // 64 MiB through TLS take their time in a sanitized build.
        ASSERT_TRUE(worker->wait(120000));
        EXPECT_EQ(worker->result, FetchWorker::kFailure);
        EXPECT_TRUE(worker->statusText.startsWith(cases[i].second))
            << worker->statusText.toStdString();
        EXPECT_TRUE(InFinished(worker));
    }
    EXPECT_EQ(shared_->detailsInFlight.load(), 0);

    // A page in another encoding is a page: its bytes are kept, and reading it as UTF-8 only
    // shows replacement characters.
    const QByteArray cp1251 = "<html><body>\xCE\xF2\xEA\xE0\xE7</body></html>";
    routes_.addExact("/epz/rdik/card/reject-info.html?rejectId=99", Response::Ok(cp1251));
    FetchWorker* foreign = Start(RejectUrl(99));
    Finish(foreign);
    EXPECT_EQ(foreign->result, FetchWorker::kRefusalPage);
    EXPECT_EQ(TextToStream(foreign->html), cp1251);
    EXPECT_TRUE(DecodePage(foreign->html).contains(QChar::ReplacementCharacter));
}

}  // namespace
