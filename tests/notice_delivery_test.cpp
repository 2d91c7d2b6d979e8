// Whole runs against the portal and Bot API imitations, for the notices: several recipients
// with a forum topic among them, the card's details added once the row is written, a recipient
// failing for a while, the API's 429 and its limits, and a single recipient without details.
#include <gtest/gtest.h>

#include <QHash>
#include <QTemporaryDir>
#include <QUrl>

#include "PortalImitation.h"
#include "PortalReplica.h"
#include "TelegramImitation.h"
#include "notify/TelegramNotice.h"
#include "notify/TelegramPace.h"
#include "run/RecordedRunReport.h"
#include "run/RunDriver.h"
#include "store/NoticeQueue.h"
#include "support/TestSupport.h"
#include "text/TextHelpers.h"

using replica::PortalImitation;
using replica::PortalReplica;
using replica::Request;
using replica::TelegramImitation;

namespace {

const QString kToken = QStringLiteral("1234567890:AAE-notice-delivery-test");
const QString kGroup = QStringLiteral("-1001234567890");
const QString kQueueFile = QStringLiteral("notice-queue.txt");

class NoticeDeliveryTest : public ::testing::Test {
protected:
    explicit NoticeDeliveryTest(RunTiming timing = ScopedTiming::Scaled(20)) : timing_(timing) {
        TelegramPace::Shared().Reset();
        portal_.setData(replica::ThreeRefusals());
        portalServer_.setHandler(portal_.handler());
        telegramServer_.setHandler(bot_.handler());
        WriteFile(dir_.filePath(QStringLiteral("StartURL.txt")),
                  PortalImitation::StartUrl(portalServer_.url()).toUtf8());
        WriteFile(dir_.filePath(QStringLiteral("telegram-ca.pem")),
                  replica::TestIdentity().certificate.toPem());
    }

    void WriteSettings(const QString& recipients, const QByteArray& more = {}) {
        WriteFile(dir_.filePath(QStringLiteral("settings.ini")),
                  "[Settings]\r\nBotToken=" + kToken.toUtf8() + "\r\nTgUserId=" +
                      recipients.toUtf8() + "\r\nTgApiUrl=" + telegramServer_.url().toUtf8() +
                      "\r\nTgCaFile=telegram-ca.pem\r\n" + more);
    }

    void Run() {
        RunOptions options = RunOptionsIn(dir_.path());
        options.contractFrom = QDate(2026, 1, 1);
        options.contractTo = QDate(2026, 1, 31);
        RunDriver run(&view_, std::move(options));
        run.start();
        ASSERT_TRUE(run.wait(60000));
    }

    // The text each refusal's notice should end with, from the rows the run wrote: its first
    // line and the card's details below it.
    QHash<QString, QString> FullTexts() const {
        QHash<QString, QString> texts;
        for (const QString& name :
             QDir(dir_.path()).entryList({QStringLiteral("*.csv")}, QDir::Files)) {
            QStringList lines =
                QString::fromUtf8(ReadFile(dir_.filePath(name))).split(QStringLiteral("\r\n"));
            for (qsizetype i = 1; i + 1 < lines.size(); ++i) {
                const QStringList row =
                    lines[i].mid(1, lines[i].size() - 2).split(QStringLiteral("\";\""));
                texts.insert(row[3] + QLatin1Char(' ') + row[0],
                             QStringLiteral("\nЗаказчик: ") + row[4] +
                                 QStringLiteral("\nПоставщик: ") + row[5] +
                                 QStringLiteral(", ИНН ") + row[7] + QStringLiteral("\nЦена: ") +
                                 row[8] + QStringLiteral(" ₽\nПредмет: ") + row[1]);
            }
        }
        return texts;
    }

    // The messages the API holds for a chat, by card address and refusal date.
    QHash<QString, TelegramImitation::Message> MessagesTo(const QString& chat) const {
        QHash<QString, TelegramImitation::Message> byRefusal;
        for (const TelegramImitation::Message& message : bot_.messages()) {
            if (message.chat != chat) {
                continue;
            }
            const QString text = QString(message.text).replace(u'"', u'\'');
            const qsizetype from = text.indexOf(QStringLiteral("отказ от ")) + 9;
            const qsizetype link = text.indexOf(QStringLiteral("ссылка ")) + 7;
            const QString key = text.mid(link, text.indexOf(u'\n', link) - link) +
                                QLatin1Char(' ') + text.mid(from, 10);
            EXPECT_FALSE(byRefusal.contains(key)) << "a second message for " << key.toStdString();
            TelegramImitation::Message normalized = message;
            normalized.text = text;
            byRefusal.insert(key, normalized);
        }
        return byRefusal;
    }

    int EditRequests(const QString& chat) const {
        int count = 0;
        for (const Request& request : bot_.requests()) {
            count += request.path().endsWith("/editMessageText") &&
                             request.body.startsWith("chat_id=" + chat.toUtf8() + "&")
                         ? 1
                         : 0;
        }
        return count;
    }

    int LogLines(const QString& text) const {
        return static_cast<int>(view_.log().filter(text).size());
    }

    QTemporaryDir dir_;
    ScopedTiming timing_;
    PortalImitation portal_;
    TelegramImitation bot_{kToken};
    PortalReplica portalServer_;
    PortalReplica telegramServer_;
    RecordedRunReport view_;
};

// Three recipients, a forum topic of a group among them, the group failing through a whole
// run: the others get each notice once, edited once with its card's details; the group's wait
// in the queue, one run later go out once each with the details in one message, and nobody
// else gets a second one.
TEST_F(NoticeDeliveryTest, EachRecipientGetsEachNoticeOnceWithTheCardsDetails) {
    WriteSettings(QStringLiteral("42, ") + kGroup + QStringLiteral("/7 ,@tender_desk"));
    bot_.failChat(kGroup, -1);
    Run();
    const QHash<QString, QString> details = FullTexts();
    ASSERT_EQ(details.size(), 3);
    for (const QString& chat : {QStringLiteral("42"), QStringLiteral("@tender_desk")}) {
        const QHash<QString, TelegramImitation::Message> messages = MessagesTo(chat);
        ASSERT_EQ(messages.size(), 3) << chat.toStdString();
        int sentWithout = 0;
        for (auto it = details.cbegin(); it != details.cend(); ++it) {
            ASSERT_TRUE(messages.contains(it.key())) << it.key().toStdString();
            const TelegramImitation::Message& message = messages[it.key()];
            EXPECT_TRUE(message.text.startsWith(QStringLiteral("Найден отказ от ")));
            EXPECT_TRUE(message.text.endsWith(it.value())) << message.text.toStdString();
            EXPECT_LE(message.edits, 1);
            EXPECT_TRUE(message.thread.isEmpty());
            sentWithout += message.edits;
        }
        // One edit a notice that went out before its row, and no edit request beyond those.
        EXPECT_EQ(EditRequests(chat), sentWithout) << chat.toStdString();
    }
    EXPECT_TRUE(MessagesTo(kGroup).isEmpty());
    const QList<QueuedNotice> waiting = NoticeQueue(dir_.path()).Entries();
    ASSERT_EQ(waiting.size(), 3);
    for (const QueuedNotice& notice : waiting) {
        EXPECT_EQ(notice.recipient, kGroup + QStringLiteral("/7"));
        EXPECT_FALSE(notice.Sent());
    }

    // The group is back: a later run sends its three notices, details included, into topic 7.
    bot_.failChat(kGroup, 0);
    const qsizetype before = bot_.messages().size();
    portal_.setData({});
    Run();
    EXPECT_EQ(bot_.messages().size(), before + 3);
    const QHash<QString, TelegramImitation::Message> group = MessagesTo(kGroup);
    ASSERT_EQ(group.size(), 3);
    for (auto it = details.cbegin(); it != details.cend(); ++it) {
        ASSERT_TRUE(group.contains(it.key())) << it.key().toStdString();
        EXPECT_TRUE(group[it.key()].text.endsWith(it.value()));
        EXPECT_EQ(group[it.key()].edits, 0);
        EXPECT_EQ(group[it.key()].thread, QStringLiteral("7"));
    }
    EXPECT_EQ(EditRequests(kGroup), 0);
    EXPECT_FALSE(QFile::exists(dir_.filePath(kQueueFile)));
}

// One recipient and the details off: the requests are exactly those of a single notice each.
TEST_F(NoticeDeliveryTest, OneRecipientWithoutDetailsSendsOneSendmessageEach) {
    WriteSettings(QStringLiteral("42"), "TgDetails=0\r\n");
    Run();
    const QList<Request> requests = bot_.requests();
    ASSERT_EQ(requests.size(), 3);
    for (const Request& request : requests) {
        EXPECT_EQ(request.requestLine, "POST /bot" + kToken.toUtf8() + "/sendmessage HTTP/1.0");
        const QString body = QString::fromLatin1(request.body);
        const QString text =
            QUrl::fromPercentEncoding(request.body.mid(request.body.indexOf("&text=") + 6));
        const QString signedAt = text.mid(16, 16);
        const QString url = text.mid(text.indexOf(QStringLiteral("ссылка ")) + 7);
        // The notice's own text, stamped with a minute of this run.
        const QDateTime now = QDateTime::currentDateTimeUtc();
        QStringList expected;
        for (const QDateTime& at : {now.addSecs(-60), now}) {
            expected << QStringLiteral("chat_id=42&text=") +
                            UrlEncodeUtf8(TelegramNoticeText(signedAt, url, at));
        }
        EXPECT_TRUE(expected.contains(body)) << body.toStdString();
    }
    EXPECT_FALSE(QFile::exists(dir_.filePath(kQueueFile)));
}

// A queue file of one notice a line, as earlier versions kept it, goes to every recipient,
// once each and without an edit: its row may be written already.
TEST_F(NoticeDeliveryTest, AnEarlierVersionsQueueGoesToEveryRecipient) {
    WriteSettings(QStringLiteral("42,@tender_desk"), "TgDetails=1\r\n");
    WriteFile(dir_.filePath(kQueueFile),
              "https://zakupki.example/reject#1\t09.03.2025 14:05\t"
              "https://zakupki.example/card?reestrNumber=1\t2025-03-09T11:06:00Z\r\n");
    portal_.setData({});
    Run();
    for (const QString& chat : {QStringLiteral("42"), QStringLiteral("@tender_desk")}) {
        const QList<TelegramImitation::Message> messages = MessagesTo(chat).values();
        ASSERT_EQ(messages.size(), 1) << chat.toStdString();
        EXPECT_EQ(
            messages.first().text,
            QStringLiteral("Найден отказ от 09.03.2025 14:05, время обнаружения 09.03.2025 "
                           "14:06 (МСК), ссылка https://zakupki.example/card?reestrNumber=1"));
    }
    EXPECT_EQ(EditRequests(QStringLiteral("42")), 0);
    EXPECT_FALSE(QFile::exists(dir_.filePath(kQueueFile)));
}

class NoticeLimitsTest : public NoticeDeliveryTest {
protected:
    // A group takes two messages in 600 ms, a chat one in 150 ms, retry_after counts 100 ms.
    static RunTiming Limits() {
        RunTiming timing = ScopedTiming::Scaled(20);
        timing.telegramChatSpacingMs = 150;
        timing.telegramGroupWindowMs = 600;
        timing.telegramGroupMessages = 2;
        timing.telegramRetryAfterUnitMs = 100;
        return timing;
    }
    NoticeLimitsTest() : NoticeDeliveryTest(Limits()) {}
};

// A 429 with retry_after holds every message for that long and is logged once, not as a
// failure; the messages to each chat keep the chat's spacing and the group's window.
TEST_F(NoticeLimitsTest, A429BurstIsHonouredAndTheLimitsKept) {
    WriteSettings(QStringLiteral("42,") + kGroup);
    bot_.answerTooManyRequests(1, 3);
    Run();
    EXPECT_EQ(LogLines(QStringLiteral("Телеграм просит подождать 3 с: уведомления отложены")), 1);
    EXPECT_EQ(LogLines(QStringLiteral("Ошибка при отправке")), 0);
    EXPECT_EQ(MessagesTo(QStringLiteral("42")).size(), 3);
    EXPECT_EQ(MessagesTo(kGroup).size(), 3);
    EXPECT_FALSE(QFile::exists(dir_.filePath(kQueueFile)));

    const QList<Request> requests = bot_.requests();
    ASSERT_GE(requests.size(), 7);
    // Nothing arrived within the hold after the 429.
    EXPECT_GE(requests[1].arrivalMs - requests[0].arrivalMs, 300);
    QHash<QString, QList<qint64>> arrivals;
    for (qsizetype i = 1; i < requests.size(); ++i) {
        const QByteArray body = requests[i].body;
        arrivals[QString::fromUtf8(body.mid(8, body.indexOf('&') - 8))] << requests[i].arrivalMs;
    }
    for (auto it = arrivals.cbegin(); it != arrivals.cend(); ++it) {
        const QList<qint64>& at = it.value();
        for (qsizetype i = 1; i < at.size(); ++i) {
            EXPECT_GE(at[i] - at[i - 1], 150) << it.key().toStdString();
            if (it.key() == kGroup && i >= 2) {
                EXPECT_GE(at[i] - at[i - 2], 600);
            }
        }
    }
}

}  // namespace
