#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <mutex>

#include "PortalReplica.h"

namespace replica {

// The Telegram Bot API's sendmessage method for one bot, as a handler for a PortalReplica.
// It keeps every request it receives and answers as the test has set it up: success with the
// recipient's and the bot's user names, "ok" false, or an error status with a reason phrase.
// A request for another token gets the API's 401 "Unauthorized" reply.
class TelegramImitation {
public:
    explicit TelegramImitation(const QString& token);

    // {"ok":true,"result":{...,"chat":{"username":user},"from":{"username":bot}}}; an empty
    // name leaves the "username" field out, as the API does for users without one.
    void answerSuccess(const QString& userName, const QString& botName);
    // {"ok":false,...} with status 200, or a reply body of the test's own.
    void answerRefused(const QByteArray& body = kChatNotFound);
    // An error status with this reason phrase and a JSON error body.
    void answerStatus(int status, const QByteArray& reason);
    // Waits this long before answering.
    void setDelayMs(int ms);
    // Every `n`-th sendmessage request (0: none) gets this error status instead of the answer,
    // as a throttled or overloaded API does now and then.
    void failEvery(int n, int status = 503, const QByteArray& reason = "Service Unavailable");

    Response handle(const Request& request);
    // A handler that forwards to this imitation; it must outlive the server using it.
    Handler handler() {
        return [this](const Request& r) { return handle(r); };
    }

    // The requests received, in order.
    QList<Request> requests() const;

    static const QByteArray kChatNotFound;

private:
    const QByteArray prefix_;  // "/bot" + token + "/"
    mutable std::mutex mutex_;
    Response answer_;
    int delayMs_ = 0;
    int failEvery_ = 0;
    int sendCount_ = 0;
    Response failure_;
    QList<Request> requests_;
};

}  // namespace replica
