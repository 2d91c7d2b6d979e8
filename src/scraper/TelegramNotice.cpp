#include "scraper/TelegramNotice.h"

#include <memory>

#include "fetch/RunTiming.h"
#include "http/HttpClient.h"
#include "json/JsonReader.h"
#include "scraper/RunView.h"
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

void Log(RunView& view, const QString& text) {
    CallOnView(view, [&] { view.WriteLog(text); });
}

// A failed request is tried again later unless the API answered that it will never take it.
// Without an answer (no connection, a time-out, the proxy down) the status is 0; a body that is
// not JSON under a success status is taken for a damaged answer.
NoticeOutcome FailureOutcome(int status) {
    const bool refusedForGood = status >= 400 && status < 500 && status != 429;
    return refusedForGood ? NoticeOutcome::FinalFailure : NoticeOutcome::PassingFailure;
}

}  // namespace

QString TelegramNoticeText(const QString& protocolDate, const QString& protocolUrl,
                           const QDateTime& utcNow) {
    const QDateTime moscow = utcNow.toUTC().addSecs(180 * 60);
    return QStringLiteral("Найден отказ от ") + protocolDate +
           QStringLiteral(", время обнаружения ") +
           moscow.toString(QStringLiteral("dd.MM.yyyy HH:mm")) + QStringLiteral(" (МСК), ссылка ") +
           protocolUrl;
}

NoticeOutcome SendTelegramNotice(RunView& view, const TelegramSettings& settings,
                                 const QString& protocolDate, const QString& protocolUrl,
                                 const std::function<bool()>& abandon,
                                 const QDateTime& detectedUtc) {
    if (settings.botToken.isEmpty() || settings.userId.isEmpty()) {
        return NoticeOutcome::NotSent;
    }
    Log(view, QStringLiteral("Отправляем уведомление в Телеграм"));
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
            protocolDate, protocolUrl,
            detectedUtc.isValid() ? detectedUtc : QDateTime::currentDateTimeUtc());
        const QString body = QStringLiteral("chat_id=") + settings.userId +
                             QStringLiteral("&text=") + UrlEncodeUtf8(notice);
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
            Log(view, QStringLiteral("Сообщение пользователю @") + user +
                          QStringLiteral(" через бота @") + bot +
                          QStringLiteral(" успешно отправлено!"));
            return NoticeOutcome::Sent;
        }
        const QString refused =
            QStringLiteral("Не удалось отправить сообщение пользователю с ID ") + settings.userId +
            QStringLiteral(" в телеграм-бота с токеном ") + settings.botToken;
        CallOnView(view, [&] {
            view.WriteLog(refused);
            view.AppendRawLine(reply);
        });
        return NoticeOutcome::FinalFailure;
    } catch (const std::exception& e) {
        const QString failed = QStringLiteral("Ошибка при отправке в телеграм-бота с токеном <") +
                               settings.botToken + QStringLiteral("> пользователю с ID ") +
                               settings.userId + QStringLiteral(": ") + ErrorMessage(e);
        CallOnView(view, [&] {
            view.WriteLog(failed);
            view.WriteLog(QStringLiteral(
                "Убедитесь, что указанный пользователь отправлял Старт в этого бота!"));
        });
        return FailureOutcome(request ? request->lastStatusCode() : 0);
    }
}
