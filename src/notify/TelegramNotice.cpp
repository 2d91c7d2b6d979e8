#include "notify/TelegramNotice.h"

#include <QStringList>
#include <initializer_list>
#include <memory>

#include "fetch/LogSink.h"
#include "fetch/RunTiming.h"
#include "http/HttpClient.h"
#include "json/JsonReader.h"
#include "notify/BotTokenMask.h"
#include "text/FileSteps.h"
#include "text/RunError.h"
#include "text/TextHelpers.h"

namespace {

// "TgProxy": [user ":" password "@"] host [":" port], nothing trimmed. Further colons of the
// credentials belong to the password. An empty port leaves libcurl's default proxy port.
HttpClient::Proxy ParseTelegramProxy(const QString& value) {
    HttpClient::Proxy proxy;
    QString address = value;
    const qsizetype at = value.indexOf(QLatin1Char('@'));
    if (at >= 0) {
        const QString credentials = value.left(at);
        address = value.mid(at + 1);
        const qsizetype colon = credentials.indexOf(QLatin1Char(':'));
        proxy.user = colon < 0 ? credentials : credentials.left(colon);
        proxy.password = colon < 0 ? QString() : credentials.mid(colon + 1);
    }
    const qsizetype colon = address.indexOf(QLatin1Char(':'));
    proxy.host = colon < 0 ? address : address.left(colon);
    proxy.port = colon < 0 ? QString() : address.mid(colon + 1);
    return proxy;
}

// A refused reply is logged as it came, but no more of it than a log line can sensibly hold.
constexpr qsizetype kRawReplyChars = 2000;

QString RawReplyLine(const QString& reply) {
    if (reply.size() <= kRawReplyChars) {
        return reply;
    }
    return reply.left(kRawReplyChars) + QStringLiteral(" … (ответ обрезан)");
}

// A failed request is tried again later unless the API answered that it will never take it.
// Without an answer (no connection, a time-out, the proxy down) the status is 0; a body that is
// not JSON under a success status is taken for a damaged answer.
NoticeOutcome FailureOutcome(int status) {
    const bool refusedForGood = status >= 400 && status < 500 && status != 429;
    return refusedForGood ? NoticeOutcome::FinalFailure : NoticeOutcome::PassingFailure;
}

}  // namespace

QString TelegramNoticeText(const QString& signedAt, const QString& cardUrl,
                           const QDateTime& utcNow) {
    const QDateTime moscow = utcNow.toUTC().addSecs(180 * 60);
    return QStringLiteral("Найден отказ от ") + signedAt + QStringLiteral(", время обнаружения ") +
           moscow.toString(QStringLiteral("dd.MM.yyyy HH:mm")) + QStringLiteral(" (МСК), ссылка ") +
           cardUrl;
}

NoticeOutcome SendTelegramNotice(LogSink& sink, const TelegramSettings& settings,
                                 const QString& signedAt, const QString& cardUrl,
                                 const std::function<bool()>& abandon,
                                 const QDateTime& detectedUtc) {
    if (settings.botToken.isEmpty() || settings.userId.isEmpty()) {
        return NoticeOutcome::NotSent;
    }
    // Every line goes out through here: none of them shows the token's secret part.
    const auto log = [&](std::initializer_list<QString> lines, bool rawLast = false) {
        QStringList masked;
        for (const QString& line : lines) {
            masked << MaskBotToken(line, settings.botToken);
        }
        CallOnSinkThread(sink, [&sink, masked, rawLast] {
            for (qsizetype i = 0; i < masked.size(); ++i) {
                if (rawLast && i + 1 == masked.size()) {
                    sink.AppendRawLine(masked[i]);
                } else {
                    sink.WriteLog(masked[i]);
                }
            }
        });
    };
    log({QStringLiteral("Отправляем уведомление в Телеграм")});
    // Kept outside the try, so a failure can be told apart by the status it came with.
    std::unique_ptr<HttpClient> request;
    try {
        request = std::make_unique<HttpClient>();
        HttpClient& client = *request;
        client.setHeaders({
            QStringLiteral("Content-Type: application/x-www-form-urlencoded"),
            QStringLiteral("User-Agent: Mozilla/4.0"),
            QStringLiteral("Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*"),
        });
        client.setHttp10(true);
        client.setTlsRange(HttpClient::TlsRange::AnyVersion);
        // The token travels in the request's path: only a server that proves to be the API's
        // may see it.
        client.setVerifyPeer(true, settings.caFile);
        // Only the total limit applies to a notice.
        client.setIdleTimeoutSec(0);
        client.setTotalTimeoutSec(Timing().telegramTimeoutSec);
        if (abandon) {
            client.setAbortCheck(abandon);
        }
        if (!settings.proxy.isEmpty()) {
            client.setProxy(ParseTelegramProxy(settings.proxy));
        }

        const QString notice = TelegramNoticeText(
            signedAt, cardUrl,
            detectedUtc.isValid() ? detectedUtc : QDateTime::currentDateTimeUtc());
        const QString body = QStringLiteral("chat_id=") + settings.userId +
                             QStringLiteral("&text=") + UrlEncodeUtf8(notice);
        FileStep("send", cardUrl);
        // The user id is sent unchanged; in the system's encoding, like the rest of the body.
        const QString reply =
            QString::fromUtf8(client.post(settings.apiUrl + QStringLiteral("/bot") +
                                              settings.botToken + QStringLiteral("/sendmessage"),
                                          body.toLocal8Bit()));

        const JsonReader json(reply);
        if (json.boolAt(QStringLiteral("ok"))) {
            const QString user = JsonReader::textField(json.objectAt(QStringLiteral("result.chat")),
                                                       QStringLiteral("username"));
            const QString bot = JsonReader::textField(json.objectAt(QStringLiteral("result.from")),
                                                      QStringLiteral("username"));
            log({QStringLiteral("Сообщение пользователю @") + user +
                 QStringLiteral(" через бота @") + bot + QStringLiteral(" успешно отправлено!")});
            return NoticeOutcome::Sent;
        }
        log({QStringLiteral("Не удалось отправить сообщение пользователю с ID ") + settings.userId +
                 QStringLiteral(" в телеграм-бота с токеном ") + settings.botToken,
             RawReplyLine(reply)},
            true);
        return NoticeOutcome::FinalFailure;
    } catch (const std::exception& e) {
        if (abandon && abandon()) {
            // Not a fault of the bot or the user: the hint about Start would mislead.
            log({QStringLiteral(
                "Отправка уведомления в Телеграм прервана: программа закрывается")});
            // It stays queued: the next start sends it.
            return NoticeOutcome::PassingFailure;
        }
        log({QStringLiteral("Ошибка при отправке в телеграм-бота с токеном <") + settings.botToken +
                 QStringLiteral("> пользователю с ID ") + settings.userId + QStringLiteral(": ") +
                 ErrorMessage(e),
             QStringLiteral(
                 "Убедитесь, что указанный пользователь отправлял Старт в этого бота!")});
        return FailureOutcome(request ? request->lastStatusCode() : 0);
    }
}
