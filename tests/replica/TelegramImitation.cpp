#include "TelegramImitation.h"

#include <QJsonDocument>
#include <QJsonObject>

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

}  // namespace

const QByteArray TelegramImitation::kChatNotFound =
    R"({"ok":false,"error_code":400,"description":"Bad Request: chat not found"})";

TelegramImitation::TelegramImitation(const QString& token)
    : prefix_("/bot" + token.toUtf8() + "/") {
    answerSuccess(QStringLiteral("operator"), QStringLiteral("quorvane_bot"));
}

void TelegramImitation::answerSuccess(const QString& userName, const QString& botName) {
    QJsonObject chat{{"id", 123456789}, {"first_name", "Оператор"}, {"type", "private"}};
    QJsonObject from{{"id", 987654321}, {"is_bot", true}, {"first_name", "Quorvane"}};
    if (!userName.isEmpty()) {
        chat.insert("username", userName);
    }
    if (!botName.isEmpty()) {
        from.insert("username", botName);
    }
    const QJsonObject result{
        {"message_id", 42}, {"from", from}, {"chat", chat}, {"date", 1700000000}, {"text", "..."}};
    const QByteArray body =
        QJsonDocument(QJsonObject{{"ok", true}, {"result", result}}).toJson(QJsonDocument::Compact);
    std::lock_guard lock(mutex_);
    answer_ = Json(200, "OK", body);
}

void TelegramImitation::answerRefused(const QByteArray& body) {
    std::lock_guard lock(mutex_);
    answer_ = Json(200, "OK", body);
}

void TelegramImitation::answerStatus(int status, const QByteArray& reason) {
    std::lock_guard lock(mutex_);
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

Response TelegramImitation::handle(const Request& request) {
    std::lock_guard lock(mutex_);
    requests_.append(request);
    Response response;
    const QByteArray path = request.path();
    if (!path.startsWith(prefix_)) {
        response = Json(401, "Unauthorized", ErrorBody(401, "Unauthorized"));
    } else if (request.method != "POST" || path.mid(prefix_.size()).toLower() != "sendmessage") {
        // The API takes method names in any letter case.
        response = Json(404, "Not Found", ErrorBody(404, "Not Found"));
    } else {
        ++sendCount_;
        response = failEvery_ > 0 && sendCount_ % failEvery_ == 0 ? failure_ : answer_;
    }
    response.delayMs = delayMs_;
    return response;
}

QList<Request> TelegramImitation::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

}  // namespace replica
