// The Telegram notice against the Bot API imitation: the request, the outcomes' log lines and
// the notice's proxy.
#include <gtest/gtest.h>

#include <QDateTime>
#include <QTemporaryDir>

#include "PortalReplica.h"
#include "TelegramImitation.h"
#include "notify/BotTokenMask.h"
#include "notify/TelegramNotice.h"
#include "run/RecordedRunReport.h"
#include "support/TestSupport.h"
#include "support/TinyProxy.h"
#include "text/TextHelpers.h"

using replica::PortalReplica;
using replica::Request;
using replica::TelegramImitation;

namespace {

const QString kToken = QStringLiteral("1234567890:AAE-test_token.value~xyz");
const QString kUserId = QStringLiteral("424242");
const QString kDate = QStringLiteral("09.03.2025 14:05");
const QString kCardUrl = QStringLiteral(
    "https://zakupki.example/epz/contract/contractCard/common-info.html?reestrNumber=2770");

TEST(TelegramNoticeTextTest, MoscowTimeIsUtcPlusThreeHoursAcrossMidnight) {
    const QDateTime utc(QDate(2025, 12, 31), QTime(22, 30, 59), Qt::UTC);
    EXPECT_EQ(TelegramNoticeText(kDate, kCardUrl, utc),
              QStringLiteral("Найден отказ от 09.03.2025 14:05, время обнаружения "
                             "01.01.2026 01:30 (МСК), ссылка ") +
                  kCardUrl);
    // The same instant given in another zone gives the same Moscow time.
    EXPECT_EQ(TelegramNoticeText(kDate, QString(), utc.toOffsetFromUtc(-5 * 3600)),
              QStringLiteral("Найден отказ от 09.03.2025 14:05, время обнаружения "
                             "01.01.2026 01:30 (МСК), ссылка "));
}

const QString kMasked = QStringLiteral("1234567890:***");
const QString kSecret = kToken.mid(kToken.indexOf(u':') + 1);

TEST(BotTokenMaskTest, OnlyTheBotIdIsLeft) {
    EXPECT_EQ(MaskedBotToken(kToken), kMasked);
    EXPECT_EQ(MaskedBotToken(QStringLiteral("no-colon-token")), QStringLiteral("***"));
    EXPECT_EQ(MaskBotToken(QStringLiteral("POST https://h/bot") + kToken +
                               QStringLiteral("/sendmessage, /bot1234567890%3A") + kSecret,
                           kToken),
              QStringLiteral("POST https://h/bot") + kMasked +
                  QStringLiteral("/sendmessage, /bot1234567890%3A***"));
    EXPECT_EQ(MaskBotToken(QStringLiteral("<abc> abc"), QStringLiteral("abc")),
              QStringLiteral("<***> ***"));
}

class TelegramNoticeTest : public ::testing::Test {
protected:
    // Scaled, but with time for a certificate check on a busy machine.
    static RunTiming NoticeTiming() {
        RunTiming timing = ScopedTiming::Scaled(20);
        timing.telegramTimeoutSec = 5;
        return timing;
    }

    TelegramNoticeTest() : timing_(NoticeTiming()), bot_(kToken) {
        server_.setHandler(bot_.handler());
        // The imitation's certificate is trusted through the extra CA file only.
        WriteFile(caFile_, replica::TestIdentity().certificate.toPem());
    }

    // No line of any notice shows the token's secret part.
    void TearDown() override {
        for (const RecordedRunReport* view : {&view_, &other_}) {
            for (const QString& line : view->log()) {
                EXPECT_FALSE(line.contains(kSecret)) << line.toStdString();
            }
        }
    }

    TelegramSettings Settings(const QString& proxy = {}) const {
        return {server_.url(), kToken, kUserId, proxy, caFile_};
    }

    void Send(const TelegramSettings& settings, const QString& url = kCardUrl) {
        SendTelegramNotice(view_, settings, kDate, url, [] { return false; });
    }

    // The log without stamps; `raw` lines (no stamp) are kept as they are.
    QStringList Unstamped(int rawIndex = -1) const {
        QStringList lines;
        const QStringList log = view_.log();
        for (int i = 0; i < log.size(); ++i) {
            const qsizetype colon = log[i].indexOf(QStringLiteral(": "));
            lines << (i == rawIndex || colon < 0 ? log[i] : log[i].mid(colon + 2));
        }
        return lines;
    }

    QStringList RequestFailedLines(const QString& error) const {
        return {
            QStringLiteral("Отправляем уведомление в Телеграм"),
            QStringLiteral("Ошибка при отправке в телеграм-бота с токеном <") + kMasked +
                QStringLiteral("> пользователю с ID ") + kUserId + QStringLiteral(": ") + error,
            QStringLiteral("Убедитесь, что указанный пользователь отправлял Старт в этого бота!")};
    }

    ScopedTiming timing_;
    TelegramImitation bot_;
    PortalReplica server_;
    RecordedRunReport view_;
    RecordedRunReport other_;  // for a second notice in the same test
    QTemporaryDir dir_;
    const QString caFile_ = dir_.filePath(QStringLiteral("telegram-ca.pem"));
};

TEST_F(TelegramNoticeTest, PostsTheEncodedNoticeWithExactlyTheThreeHeadersOverHttp10) {
    const QDateTime before = QDateTime::currentDateTimeUtc();
    Send(Settings());
    const QDateTime after = QDateTime::currentDateTimeUtc();

    const QList<Request> requests = bot_.requests();
    ASSERT_EQ(requests.size(), 1);
    const Request& request = requests.first();
    EXPECT_EQ(request.requestLine, "POST /bot" + kToken.toUtf8() + "/sendmessage HTTP/1.0");
    QList<QByteArray> own;
    for (const QByteArray& line : request.headerLines) {
        if (!line.startsWith("Host:") && !line.startsWith("Content-Length:")) {
            own << line;
        }
    }
    EXPECT_EQ(own, (QList<QByteArray>{"Content-Type: application/x-www-form-urlencoded",
                                      "User-Agent: Mozilla/4.0",
                                      "Accept: image/gif, image/x-xbitmap, image/jpeg, "
                                      "image/pjpeg, */*"}));

    // The body names the minute of sending; either side of a minute boundary may be it.
    QStringList expected;
    for (const QDateTime& at : {before, after}) {
        expected << QStringLiteral("chat_id=") + kUserId + QStringLiteral("&text=") +
                        UrlEncodeUtf8(TelegramNoticeText(kDate, kCardUrl, at));
    }
    const QString body = QString::fromLatin1(request.body);
    EXPECT_TRUE(expected.contains(body)) << body.toStdString();
    // Cyrillic as UTF-8 byte pairs; space, "-", ".", "_", "~" and ":" all percent-encoded.
    EXPECT_TRUE(body.contains(QStringLiteral("text=%D0%9D%D0%B0%D0%B9%D0%B4%D0%B5%D0%BD%20")));
    EXPECT_TRUE(body.contains(QStringLiteral("common%2Dinfo%2Ehtml")));
    EXPECT_FALSE(body.contains(QLatin1Char(' ')));

    EXPECT_EQ(Unstamped(), (QStringList{
                               QStringLiteral("Отправляем уведомление в Телеграм"),
                               QStringLiteral("Сообщение пользователю @operator через бота "
                                              "@quorvane_bot успешно отправлено!"),
                           }));
    // Every line of the notice carries a stamp.
    for (const QString& line : view_.log()) {
        EXPECT_TRUE(line.contains(QStringLiteral(": "))) << line.toStdString();
    }
}

TEST_F(TelegramNoticeTest, SuccessWithoutUserNamesLeavesTheNamesEmpty) {
    bot_.answerSuccess({}, {});
    Send(Settings(), QString());
    EXPECT_EQ(Unstamped().last(),
              QStringLiteral("Сообщение пользователю @ через бота @ успешно отправлено!"));
    // An empty card address still gives a notice that ends with the link's caption.
    ASSERT_EQ(bot_.requests().size(), 1);
    EXPECT_TRUE(bot_.requests().first().body.endsWith(
        UrlEncodeUtf8(QStringLiteral(" (МСК), ссылка ")).toLatin1()));
}

TEST_F(TelegramNoticeTest, RefusedReplyIsLoggedWithTheRawReplyUnstamped) {
    bot_.answerRefused();
    Send(Settings());
    const QString refused = QStringLiteral("Не удалось отправить сообщение пользователю с ID ") +
                            kUserId + QStringLiteral(" в телеграм-бота с токеном ") + kMasked;
    EXPECT_EQ(Unstamped(2),
              (QStringList{QStringLiteral("Отправляем уведомление в Телеграм"), refused,
                           QString::fromUtf8(TelegramImitation::kChatNotFound)}));

    // A 401 reply (a token the API does not know) is read like any other reply.
    TelegramSettings wrongToken = Settings();
    wrongToken.botToken = QStringLiteral("1:unknown");
    SendTelegramNotice(other_, wrongToken, kDate, kCardUrl, [] { return false; });
    const QStringList log = other_.log();
    ASSERT_EQ(log.size(), 3);
    EXPECT_TRUE(log[1].endsWith(QStringLiteral(" в телеграм-бота с токеном 1:***")));
    EXPECT_EQ(log[2],
              QStringLiteral(R"({"description":"Unauthorized","error_code":401,"ok":false})"));
}

TEST_F(TelegramNoticeTest, ErrorStatusAndNonJsonRepliesGiveTheRequestFailedLines) {
    bot_.answerStatus(400, "Bad Request");
    Send(Settings());
    EXPECT_EQ(Unstamped(), RequestFailedLines(QStringLiteral("Bad Request")));

    bot_.answerRefused("<html>Bad Gateway</html>");
    SendTelegramNotice(other_, Settings(), kDate, kCardUrl, [] { return false; });
    ASSERT_EQ(other_.log().size(), 3);
    EXPECT_TRUE(other_.log()[1].contains(QStringLiteral("Ошибка при отправке в телеграм-бота")));
}

// Passing failures are tried again by later runs; refusals for good are not.
TEST_F(TelegramNoticeTest, OutcomesTellPassingFailuresFromRefusalsForGood) {
    auto outcome = [&](const TelegramSettings& settings) {
        RecordedRunReport view;
        return SendTelegramNotice(view, settings, kDate, kCardUrl, [] { return false; });
    };
    EXPECT_EQ(outcome(Settings()), NoticeOutcome::Sent);
    bot_.answerStatus(503, "Service Unavailable");
    EXPECT_EQ(outcome(Settings()), NoticeOutcome::PassingFailure);
    bot_.answerStatus(429, "Too Many Requests");
    EXPECT_EQ(outcome(Settings()), NoticeOutcome::PassingFailure);
    bot_.answerStatus(400, "Bad Request");
    EXPECT_EQ(outcome(Settings()), NoticeOutcome::FinalFailure);
    bot_.answerRefused();
    EXPECT_EQ(outcome(Settings()), NoticeOutcome::FinalFailure);
    TelegramSettings wrongToken = Settings();
    wrongToken.botToken = QStringLiteral("1:unknown");  // 401
    EXPECT_EQ(outcome(wrongToken), NoticeOutcome::FinalFailure);
    TelegramSettings unreachable = Settings();
    unreachable.apiUrl = QStringLiteral("https://127.0.0.1:1");
    EXPECT_EQ(outcome(unreachable), NoticeOutcome::PassingFailure);
    unreachable.userId.clear();
    EXPECT_EQ(outcome(unreachable), NoticeOutcome::NotSent);
}

TEST_F(TelegramNoticeTest, AHangingReplyFailsAtTheTimeLimit) {
    bot_.setDelayMs(10000);
    Send(Settings());
    const QStringList lines = Unstamped();
    ASSERT_EQ(lines.size(), 3);
    EXPECT_TRUE(lines[1].startsWith(RequestFailedLines({})[1])) << lines[1].toStdString();
    EXPECT_EQ(lines[2], RequestFailedLines({})[2]);
}

TEST_F(TelegramNoticeTest, MissingUserIdOrTokenSendsAndLogsNothing) {
    TelegramSettings noUser = Settings();
    noUser.userId.clear();
    Send(noUser);
    TelegramSettings noToken = Settings();
    noToken.botToken.clear();
    Send(noToken);
    EXPECT_EQ(server_.requestCount(), 0);
    EXPECT_TRUE(view_.log().isEmpty());
}

TEST_F(TelegramNoticeTest, GoesThroughTheConfiguredProxyWithBasicAuthentication) {
    if (!TinyProxy::Installed()) {
        GTEST_SKIP() << "tinyproxy is not installed";
    }
    TinyProxy proxy;
    QString error;
    ASSERT_TRUE(
        proxy.start({QStringLiteral("tguser"), QStringLiteral("tgpass"), {server_.port()}}, &error))
        << error.toStdString();
    const QString address = QStringLiteral("127.0.0.1:%1").arg(proxy.port());

    Send(Settings(QStringLiteral("tguser:tgpass@") + address));
    EXPECT_EQ(Unstamped().last(), QStringLiteral("Сообщение пользователю @operator через бота "
                                                 "@quorvane_bot успешно отправлено!"));
    EXPECT_EQ(proxy.log().count(QStringLiteral("CONNECT 127.0.0.1:")), 1)
        << proxy.log().toStdString();

    // Wrong credentials: the proxy refuses the tunnel and the request fails.
    SendTelegramNotice(other_, Settings(QStringLiteral("tguser:wrong@") + address), kDate, kCardUrl,
                       [] { return false; });
    const QStringList log = other_.log();
    ASSERT_EQ(log.size(), 3);
    EXPECT_TRUE(log[1].contains(
        QStringLiteral(": Ошибка при отправке в телеграм-бота с токеном <") + kMasked +
        QStringLiteral("> пользователю с ID ") + kUserId + QStringLiteral(": ")));
    EXPECT_TRUE(log[2].endsWith(RequestFailedLines({})[2]));
    EXPECT_EQ(bot_.requests().size(), 1);
}

// An edit made twice is done the second time too: the API answers that nothing changed.
TEST_F(TelegramNoticeTest, ARepeatedEditIsDone) {
    TelegramMessage message{kUserId, {}, QStringLiteral("первая строка"), 0};
    const TelegramReply sent = SendTelegramMessage(view_, Settings(), message, {});
    ASSERT_GT(sent.messageId, 0);
    message.text += QStringLiteral("\nЗаказчик: ГБУ");
    message.editMessageId = sent.messageId;
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(SendTelegramMessage(view_, Settings(), message, {}).outcome, NoticeOutcome::Sent);
    }
    ASSERT_EQ(bot_.messages().size(), 1);
    EXPECT_EQ(bot_.messages().first().edits, 1);
    EXPECT_EQ(Unstamped().last(), QStringLiteral("Уведомление уже дополнено данными карточки"));
}

TEST_F(TelegramNoticeTest, OnlyAServerProvenToBeTheApiSeesTheToken) {
    // Without the extra CA file the imitation's self-signed certificate is not trusted.
    TelegramSettings untrusted = Settings();
    untrusted.caFile.clear();
    Send(untrusted);
    EXPECT_EQ(Unstamped(), RequestFailedLines(
                               QStringLiteral("SSL certificate problem: self-signed certificate")));

    // Trusted, but for the address only: a host name the certificate does not name fails.
    TelegramSettings otherName = Settings();
    otherName.apiUrl = QStringLiteral("https://localhost:%1").arg(server_.port());
    SendTelegramNotice(other_, otherName, kDate, kCardUrl, [] { return false; });
    ASSERT_EQ(other_.log().size(), 3);
    EXPECT_TRUE(other_.log()[1].contains(QStringLiteral("localhost")))
        << other_.log()[1].toStdString();
    EXPECT_EQ(server_.requestCount(), 0);

    // A CA file that cannot be read fails the notice with a clear reason.
    RecordedRunReport missing;
    TelegramSettings noFile = Settings();
    noFile.caFile = dir_.filePath(QStringLiteral("missing.pem"));
    SendTelegramNotice(missing, noFile, kDate, kCardUrl, [] { return false; });
    ASSERT_EQ(missing.log().size(), 3);
    EXPECT_TRUE(missing.log()[1].endsWith(QStringLiteral("Cannot load trusted certificates from ") +
                                          noFile.caFile));
    EXPECT_EQ(server_.requestCount(), 0);

    // Trusted through the file: the notice goes out (and every test above relies on it).
    RecordedRunReport trusted;
    SendTelegramNotice(trusted, Settings(), kDate, kCardUrl, [] { return false; });
    EXPECT_TRUE(trusted.log().last().endsWith(QStringLiteral(" успешно отправлено!")));
    EXPECT_EQ(server_.requestCount(), 1);
}

TEST_F(TelegramNoticeTest, StrangeRepliesGiveOneClearOutcome) {
    // Time enough for 10 MB, also in a sanitized build.
    RunTiming timing = Timing();
    timing.telegramTimeoutSec = 60;
    const ScopedTiming patient(timing);
    const auto lastLines = [this](const QByteArray& reply) {
        bot_.answerRefused(reply);
        RecordedRunReport view;
        SendTelegramNotice(view, Settings(), kDate, kCardUrl, [] { return false; });
        return view.log().mid(1);
    };
    // Not JSON, and JSON that is not an object: the request-failed pair.
    for (const QByteArray& reply :
         {QByteArray("\x00\xFF{ok:true", 10), QByteArray("[true]"), QByteArray(200000, '[')}) {
        const QStringList lines = lastLines(reply);
        ASSERT_EQ(lines.size(), 2);
        EXPECT_TRUE(lines[0].contains(QStringLiteral(": Ошибка при отправке в телеграм-бота")));
    }
    // Fields of the wrong type: "ok" that is not true is a refusal, names that are not texts
    // are empty.
    QStringList lines = lastLines(R"({"ok":"true"})");
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[1], QStringLiteral(R"({"ok":"true"})"));
    lines = lastLines(R"({"ok":true,"result":{"chat":[1],"from":{"username":7}}})");
    ASSERT_EQ(lines.size(), 1);
    EXPECT_TRUE(lines[0].endsWith(QStringLiteral("@ через бота @ успешно отправлено!")));

    // 10 MB of JSON is read; a refusal that long shows only its beginning.
    const QByteArray padding(10 * 1024 * 1024, 'x');
    lines =
        lastLines(R"({"ok":true,"result":{"chat":{"username":"op"}},"pad":")" + padding + "\"}");
    ASSERT_EQ(lines.size(), 1) << lines.join('|').left(300).toStdString();
    EXPECT_TRUE(lines[0].endsWith(QStringLiteral("@op через бота @ успешно отправлено!")));
    lines = lastLines(R"({"ok":false,"description":")" + padding + "\"}");
    ASSERT_EQ(lines.size(), 2);
    EXPECT_LT(lines[1].size(), 2100);
    EXPECT_TRUE(lines[1].endsWith(QStringLiteral(" … (ответ обрезан)")));
}

}  // namespace
