#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QStringList>
#include <QThread>
#include <memory>

#include "PortalReplica.h"
#include "http/CurlGlobal.h"
#include "http/HttpClient.h"
#include "support/TestSupport.h"
#include "support/TinyProxy.h"
#include "text/RunError.h"

using replica::PortalReplica;
using replica::Request;
using replica::Response;
using replica::RouteTable;

namespace {

// The request profile of a portal page fetch, in the order the lines must go out.
const QStringList kProfileHeaders = {
    "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,image/avif,image/webp,*/*;q=0.8",
    "Referer: https://127.0.0.1/epz/contract/search/results.html?",
    "Accept-Language: ru-RU,ru;q=0.8,en-US;q=0.5,en;q=0.3",
    "Accept-Encoding: gzip, deflate, br",
    "User-Agent: Mozilla/5.0 (Windows NT 6.1; Win64; x64; rv:109.0) Gecko/20100101 Firefox/115.0",
    "Upgrade-Insecure-Requests: 1",
    "Sec-Fetch-Dest: document",
    "Sec-Fetch-Mode: navigate",
    "Sec-Fetch-Site: none",
    "Sec-Fetch-User: ?1",
};

QStringList HeaderLines(const Request& request) {
    QStringList lines;
    for (const QByteArray& line : request.headerLines) {
        lines << QString::fromLatin1(line);
    }
    return lines;
}

// Runs `call` and returns the RunError's message; fails the test when nothing is thrown.
template <typename Call>
QString ErrorOf(Call call) {
    try {
        call();
    } catch (const RunError& e) {
        return e.message();
    }
    ADD_FAILURE() << "no RunError was thrown";
    return {};
}

class HttpClientTest : public ::testing::Test {
protected:
    void SetUp() override { server.setHandler(routes.handler()); }

    QString url(const QString& target) const { return server.url() + target; }
    QString hostLine() const { return QStringLiteral("Host: 127.0.0.1:%1").arg(server.port()); }

    RouteTable routes;  // declared first: the server that calls it stops before it goes
    PortalReplica server;
    HttpClient client;
};

TEST(CurlGlobalTest, LibcurlHasTls) {
    EXPECT_TRUE(CurlHasTls());
}

TEST_F(HttpClientTest, SendsExactlyTheGivenHeaderLinesInOrderAndDecodesGzip) {
    const QByteArray page = "<html><body>" + QByteArray(5000, 'x') + "</body></html>";
    Response coded = Response::Ok(page);
    coded.gzip = true;
    routes.addExact("/epz/page?a=1&b=2", coded);

    client.setHeaders(kProfileHeaders);
    client.setDecodeBodies(true);
    EXPECT_EQ(client.get(url("/epz/page?a=1&b=2")), page);
    EXPECT_EQ(client.lastStatusCode(), 200);

    ASSERT_EQ(server.requestCount(), 1);
    const Request request = server.requests().first();
    EXPECT_EQ(request.requestLine, "GET /epz/page?a=1&b=2 HTTP/1.1");
    // Host first, then exactly our lines: no second Accept-Encoding, no Accept: */*.
    EXPECT_EQ(HeaderLines(request), QStringList{hostLine()} + kProfileHeaders);
}

TEST_F(HttpClientTest, WithoutDecodingTheCodedBodyIsReturnedAsReceived) {
    Response coded = Response::Ok("<html>plain</html>");
    coded.gzip = true;
    routes.addExact("/coded", coded);

    client.setHeaders({"Accept: */*", "Accept-Encoding: gzip"});
    const QByteArray body = client.get(url("/coded"));
    EXPECT_EQ(body, replica::GzipCompress("<html>plain</html>"));
    EXPECT_EQ(HeaderLines(server.requests().first()),
              (QStringList{hostLine(), "Accept: */*", "Accept-Encoding: gzip"}));
}

TEST(HttpClientTlsTest, Tls12OnlyHoldsToTls12AgainstAServerOfferingMore) {
    PortalReplica server(PortalReplica::Options{0, QSsl::TlsV1_2OrLater});
    server.setHandler([](const Request&) { return Response::Ok("ok"); });

    HttpClient pinned;
    pinned.setTlsRange(HttpClient::TlsRange::Tls12Only);
    EXPECT_EQ(pinned.get(server.url() + "/"), "ok");

    HttpClient open;
    open.setTlsRange(HttpClient::TlsRange::AnyVersion);
    EXPECT_EQ(open.get(server.url() + "/"), "ok");

    const QList<Request> requests = server.requests();
    ASSERT_EQ(requests.size(), 2);
    EXPECT_EQ(requests[0].tlsProtocol, QSsl::TlsV1_2);
    EXPECT_EQ(requests[1].tlsProtocol, QSsl::TlsV1_3);
}

TEST_F(HttpClientTest, ThreadTlsStateCanBeReleasedAndTlsUsedAgain) {
    routes.addExact("/", Response::Ok("ok"));
    QByteArray first;
    QByteArray second;
    std::unique_ptr<QThread> worker(QThread::create([&] {
        {
            HttpClient own;
            first = own.get(url("/"));
        }
        ReleaseThreadTlsState();
        {
            HttpClient own;
            second = own.get(url("/"));
        }
        ReleaseThreadTlsState();
    }));
    worker->start();
    ASSERT_TRUE(worker->wait(30000));
    EXPECT_EQ(first, "ok");
    EXPECT_EQ(second, "ok");
}

TEST_F(HttpClientTest, ErrorStatusesThrowTheReasonPhraseOrTheCode) {
    routes.addExact("/missing", Response::Status(404, "Not Found"));
    routes.addExact("/busy", Response::Status(429, "Too Many Requests"));
    routes.addExact("/bare", Response::Status(500, ""));
    routes.addExact("/login", Response::Status(401, "Unauthorized", "{\"ok\":false}"));
    routes.addExact("/fine", Response::Ok("fine"));

    EXPECT_EQ(ErrorOf([&] { client.get(url("/missing")); }), "Not Found");
    EXPECT_EQ(client.lastStatusCode(), 404);
    EXPECT_EQ(ErrorOf([&] { client.get(url("/busy")); }), "Too Many Requests");
    EXPECT_EQ(client.lastStatusCode(), 429);
    EXPECT_EQ(ErrorOf([&] { client.get(url("/bare")); }), "500");
    EXPECT_EQ(client.lastStatusCode(), 500);

    // 401 is not an error of the request: its body comes back.
    EXPECT_EQ(client.get(url("/login")), "{\"ok\":false}");
    EXPECT_EQ(client.lastStatusCode(), 401);
    EXPECT_EQ(client.lastReasonPhrase(), "Unauthorized");

    // The same client goes on working after failures.
    EXPECT_EQ(client.get(url("/fine")), "fine");
    EXPECT_EQ(client.lastStatusCode(), 200);
}

TEST_F(HttpClientTest, ScriptedRetryAnswersComeInTurn) {
    routes.addExact("/page", Response::Status(429, "Too Many Requests"));
    routes.addExact("/page", Response::Ok("<html>page</html>"));

    EXPECT_EQ(ErrorOf([&] { client.get(url("/page")); }), "Too Many Requests");
    EXPECT_EQ(client.get(url("/page")), "<html>page</html>");
    EXPECT_EQ(client.get(url("/page")), "<html>page</html>");
}

TEST_F(HttpClientTest, FollowsRedirectsAndReportsTheFinalAnswer) {
    routes.addExact("/old", Response::Redirect(302, "/new?x=1"));
    routes.addExact("/new?x=1", Response::Ok("moved here"));
    EXPECT_EQ(client.get(url("/old")), "moved here");
    EXPECT_EQ(client.lastStatusCode(), 200);
    QList<QByteArray> targets;
    for (const Request& r : server.requests()) {
        targets << r.target;
    }
    EXPECT_EQ(targets, (QList<QByteArray>{"/old", "/new?x=1"}));

    // The phrase is the final answer's, not the redirect's "Found".
    routes.addExact("/gone", Response::Redirect(302, "/bare"));
    routes.addExact("/bare", Response::Status(503, ""));
    EXPECT_EQ(ErrorOf([&] { client.get(url("/gone")); }), "503");

    // A sixth redirect in a row is not followed.
    routes.addPrefix("/loop", Response::Redirect(302, "/loop"));
    server.clearRequests();
    EXPECT_FALSE(ErrorOf([&] { client.get(url("/loop")); }).isEmpty());
    EXPECT_EQ(server.requestCount(), 6);
}

TEST_F(HttpClientTest, SilentServerRunsIntoTheIdleTimeout) {
    ScopedTiming timing(ScopedTiming::Scaled(100));
    Response silent;
    silent.silent = true;
    routes.addExact("/silent", silent);

    client.setIdleTimeoutSec(Timing().httpIdleTimeoutSec);
    const QString message = ErrorOf([&] { client.get(url("/silent")); });
    EXPECT_TRUE(message.contains("too slow", Qt::CaseInsensitive)) << message.toStdString();
    EXPECT_EQ(client.lastStatusCode(), 0);
}

TEST(HttpClientNetworkTest, RefusedConnectionGivesLibcurlsMessage) {
    const quint16 port = FreeLoopbackPort();
    ASSERT_NE(port, 0);
    HttpClient client;
    const QString message =
        ErrorOf([&] { client.get(QStringLiteral("https://127.0.0.1:%1/").arg(port)); });
    EXPECT_TRUE(message.contains("connect", Qt::CaseInsensitive)) << message.toStdString();
    EXPECT_EQ(client.lastStatusCode(), 0);
}

TEST_F(HttpClientTest, BodiesOverTheLimitFailInsteadOfFillingMemory) {
    const qint64 huge = HttpClient::kMaxBodyBytes + 1024 * 1024;
    Response announced;  // the size is known from Content-Length
    announced.streamBytes = huge;
    routes.addExact("/announced", announced);
    Response unannounced = announced;  // the size shows only while reading
    unannounced.closeDelimited = true;
    routes.addExact("/unannounced", unannounced);
    Response atLimit;
    atLimit.streamBytes = HttpClient::kMaxBodyBytes;
    routes.addExact("/at-limit", atLimit);

    const QString expected = QStringLiteral("Response body is larger than 67108864 bytes");
    EXPECT_EQ(ErrorOf([&] { client.get(url("/announced")); }), expected);
    EXPECT_EQ(ErrorOf([&] { client.get(url("/unannounced")); }), expected);
    EXPECT_EQ(client.get(url("/at-limit")).size(), HttpClient::kMaxBodyBytes);
}

TEST_F(HttpClientTest, AbortCheckAbandonsASlowRequest) {
    Response slow = Response::Ok("late");
    slow.delayMs = 30000;
    routes.addExact("/slow", slow);

    QElapsedTimer timer;
    timer.start();
    client.setAbortCheck([&] { return timer.elapsed() > 200; });
    EXPECT_FALSE(ErrorOf([&] { client.get(url("/slow")); }).isEmpty());
    // Far from the 30 s the server would take: the check, not the answer, ended it.
    EXPECT_LT(timer.elapsed(), 10000);
}

TEST_F(HttpClientTest, Http10PostSendsBodyAndHeadersAsGiven) {
    routes.addExact("/bot123/sendmessage", Response::Ok("{\"ok\":true}", "application/json"));
    const QStringList headers = {"Content-Type: application/x-www-form-urlencoded", "Accept: */*",
                                 "X-Order: last"};
    const QByteArray form = "chat_id=42&text=%D0%9F%D1%80%D0%B8%D0%B2%D0%B5%D1%82";

    client.setHttp10(true);
    client.setHeaders(headers);
    EXPECT_EQ(client.post(url("/bot123/sendmessage"), form), "{\"ok\":true}");

    const Request request = server.requests().first();
    EXPECT_EQ(request.requestLine, "POST /bot123/sendmessage HTTP/1.0");
    EXPECT_EQ(request.body, form);
    QStringList expected = QStringList{hostLine()} + headers;
    expected << QStringLiteral("Content-Length: %1").arg(form.size());
    EXPECT_EQ(HeaderLines(request), expected);
}

TEST_F(HttpClientTest, EmptyProxyHostIgnoresProxiesFromTheEnvironment) {
    const quint16 deadPort = FreeLoopbackPort();
    const QByteArray dead = QByteArray("http://127.0.0.1:") + QByteArray::number(deadPort);
    const QByteArray saved = qgetenv("https_proxy");
    qputenv("https_proxy", dead);
    routes.addExact("/", Response::Ok("direct"));
    QByteArray body;
    EXPECT_NO_THROW(body = client.get(url("/")));
    EXPECT_EQ(body, "direct");
    if (saved.isNull()) {
        qunsetenv("https_proxy");
    } else {
        qputenv("https_proxy", saved);
    }
}

TEST_F(HttpClientTest, TunnelsThroughAnAuthenticatingProxy) {
    if (!TinyProxy::Installed()) {
        GTEST_SKIP() << "tinyproxy is not installed";
    }
    TinyProxy proxy;
    QString error;
    ASSERT_TRUE(proxy.start({"user", "pass", {server.port()}}, &error)) << error.toStdString();
    const QString proxyPort = QString::number(proxy.port());
    routes.addExact("/via", Response::Ok("through the tunnel"));
    routes.addExact("/missing", Response::Status(404, "Not Found"));

    client.setProxy({"127.0.0.1", proxyPort, "user", "pass"});
    EXPECT_EQ(client.get(url("/via")), "through the tunnel") << proxy.log().toStdString();
    ASSERT_EQ(server.requestCount(), 1);
    // The proxy's credentials belong to the CONNECT request, never to the tunnelled one.
    EXPECT_TRUE(server.requests().first().header("Proxy-Authorization").isEmpty());
    // The CONNECT answer's phrase does not stand in for the page's.
    EXPECT_EQ(ErrorOf([&] { client.get(url("/missing")); }), "Not Found");

    client.setProxy({"127.0.0.1", proxyPort, "user", "wrong"});
    server.clearRequests();
    const QString refused = ErrorOf([&] { client.get(url("/via")); });
    EXPECT_FALSE(refused.isEmpty());
    EXPECT_EQ(server.requestCount(), 0);

    // Clearing the proxy sends the next request directly, with no leftover proxy settings.
    client.clearProxy();
    EXPECT_EQ(client.get(url("/via")), "through the tunnel");
    EXPECT_EQ(server.requestCount(), 1);
}

}  // namespace
