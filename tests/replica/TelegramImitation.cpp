#include "TelegramImitation.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>

namespace replica {

namespace {

QByteArray ErrorBody(int code, const QByteArray& description) {
    return QJsonDocument(QJsonObject{{"ok", false},
                                     {"error_code", code},
                                     {"description", QString::fromUtf8(description)}})
        .toJson(QJsonDocument::Compact);
}

Response Json(int status, const QByteArray& reason, const QByteArray& body) {
    Response response = Response::Status(status, reason, body);
    response.headers.append(qMakePair(QByteArray("Content-Type"), QByteArray("application/json")));
    return response;
}

// The fields of a form body, decoded.
QHash<QString, QString> FormFields(const QByteArray& body) {
    QHash<QString, QString> fields;
    for (const QByteArray& pair : body.split('&')) {
        const qsizetype eq = pair.indexOf('=');
        if (eq > 0) {
            fields.insert(
                QString::fromUtf8(pair.left(eq)),
                QUrl::fromPercentEncoding(QByteArray(pair.mid(eq + 1)).replace('+', ' ')));
        }
    }
    return fields;
}

}  // namespace

const QByteArray TelegramImitation::kChatNotFound =
    R"({"ok":false,"error_code":400,"description":"Bad Request: chat not found"})";

TelegramImitation::TelegramImitation(const QString& token)
    : prefix_("/bot" + token.toUtf8() + "/") {
    answerSuccess(QStringLiteral("operator"), QStringLiteral("quorvane_bot"));
}

void TelegramImitation::answerSuccess(const QString& userName, const QString& botName) {
    std::lock_guard lock(mutex_);
    succeed_ = true;
    userName_ = userName;
    botName_ = botName;
}

void TelegramImitation::answerRefused(const QByteArray& body) {
    std::lock_guard lock(mutex_);
    succeed_ = false;
    answer_ = Json(200, "OK", body);
}

void TelegramImitation::answerStatus(int status, const QByteArray& reason) {
    std::lock_guard lock(mutex_);
    succeed_ = false;
    answer_ = Json(status, reason, ErrorBody(status, reason));
}

void TelegramImitation::setDelayMs(int ms) {
    std::lock_guard lock(mutex_);
    delayMs_ = ms;
}

void TelegramImitation::failEvery(int n, int status, const QByteArray& reason) {
    std::lock_guard lock(mutex_);
    failEvery_ = n;
    failure_ = Json(status, reason, ErrorBody(status, reason));
}

void TelegramImitation::answerTooManyRequests(int count, int retryAfterSec) {
    std::lock_guard lock(mutex_);
    tooManyLeft_ = count;
    retryAfterSec_ = retryAfterSec;
}

void TelegramImitation::failChat(const QString& chat, int count, int status,
                                 const QByteArray& reason) {
    std::lock_guard lock(mutex_);
    chatFailures_.insert(chat, {count, Json(status, reason, ErrorBody(status, reason))});
}

QList<TelegramImitation::Message> TelegramImitation::messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
}

Response TelegramImitation::handle(const Request& request) {
    std::lock_guard lock(mutex_);
    requests_.append(request);
    Response response;
    const QByteArray path = request.path();
    // The API takes method names in any letter case.
    const QByteArray method = path.mid(prefix_.size()).toLower();
    const QHash<QString, QString> form = FormFields(request.body);
    const QString chat = form.value(QStringLiteral("chat_id"));
    if (!path.startsWith(prefix_)) {
        response = Json(401, "Unauthorized", ErrorBody(401, "Unauthorized"));
    } else if (request.method != "POST" ||
               (method != "sendmessage" && method != "editmessagetext")) {
        response = Json(404, "Not Found", ErrorBody(404, "Not Found"));
    } else if (tooManyLeft_ > 0) {
        --tooManyLeft_;
        response = Json(
            429, "Too Many Requests",
            QJsonDocument(QJsonObject{{"ok", false},
                                      {"error_code", 429},
                                      {"description", QStringLiteral("Too Many Requests: "
                                                                     "retry after %1")
                                                          .arg(retryAfterSec_)},
                                      {"parameters", QJsonObject{{"retry_after", retryAfterSec_}}}})
                .toJson(QJsonDocument::Compact));
    } else if (chatFailures_.contains(chat) && chatFailures_[chat].left != 0) {
        ChatFailure& failure = chatFailures_[chat];
        failure.left = failure.left > 0 ? failure.left - 1 : failure.left;
        response = failure.response;
    } else if (method == "sendmessage" &&
               (++sendCount_, failEvery_ > 0 && sendCount_ % failEvery_ == 0)) {
        response = failure_;
    } else if (!succeed_) {
        response = answer_;
    } else {
        Message* message = nullptr;
        if (method == "sendmessage") {
            messages_.append({messages_.size() + 1, chat,
                              form.value(QStringLiteral("message_thread_id")),
                              form.value(QStringLiteral("text")), 0, request.arrivalMs});
            message = &messages_.last();
        } else {
            const qint64 id = form.value(QStringLiteral("message_id")).toLongLong();
            for (Message& m : messages_) {
                if (m.id == id && m.chat == chat) {
                    message = &m;
                }
            }
            const QString text = form.value(QStringLiteral("text"));
            if (message == nullptr || message->text == text) {
                const QByteArray description =
                    message == nullptr ? "Bad Request: message to edit not found"
                                       : "Bad Request: message is not modified: specified new "
                                         "message content and reply markup are exactly the same "
                                         "as a current content and reply markup of the message";
                response = Json(400, "Bad Request", ErrorBody(400, description));
                response.delayMs = delayMs_;
                return response;
            }
            message->text = text;
            ++message->edits;
        }
        const bool group = chat.startsWith(QLatin1Char('-')) || chat.startsWith(QLatin1Char('@'));
        QJsonObject chatObject{{"id", group ? QJsonValue(chat) : QJsonValue(chat.toLongLong())},
                               {"type", group ? "supergroup" : "private"}};
        if (group) {
            chatObject.insert("title", "Отдел закупок");
        } else {
            chatObject.insert("first_name", "Оператор");
        }
        if (!userName_.isEmpty()) {
            chatObject.insert("username", userName_);
        }
        QJsonObject from{{"id", 987654321}, {"is_bot", true}, {"first_name", "Quorvane"}};
        if (!botName_.isEmpty()) {
            from.insert("username", botName_);
        }
        QJsonObject result{{"message_id", message->id},
                           {"from", from},
                           {"chat", chatObject},
                           {"date", 1700000000},
                           {"text", message->text}};
        if (!message->thread.isEmpty()) {
            result.insert("message_thread_id", message->thread.toLongLong());
        }
        response = Json(200, "OK",
                        QJsonDocument(QJsonObject{{"ok", true}, {"result", result}})
                            .toJson(QJsonDocument::Compact));
    }
    response.delayMs = delayMs_;
    return response;
}

QList<Request> TelegramImitation::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

}  // namespace replica
