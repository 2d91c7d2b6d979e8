#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <mutex>

#include "PortalReplica.h"

namespace replica {

// The Telegram Bot API's sendmessage and editMessageText methods for one bot, as a handler for a
// PortalReplica. It keeps every request it receives and every message it took (each with its
// own message id, its chat, its forum thread and its text as last edited), and answers as the
// test has set it up: success with the recipient's and the bot's user names, "ok" false, or an
// error status with a reason phrase; a 429 with "retry_after"; a chat that fails for a while.
// An edit that changes nothing is answered "message is not modified", as the API does. A
// request for another token gets the API's 401 "Unauthorized" reply.
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

    // The next `count` requests of either method get 429 with this "retry_after".
    void answerTooManyRequests(int count, int retryAfterSec);
    // The next `count` requests (-1: all) for `chat` get this error status.
    void failChat(const QString& chat, int count, int status = 503,
                  const QByteArray& reason = "Service Unavailable");

    struct Message {
        qint64 id = 0;
        QString chat;
        QString thread;     // message_thread_id, empty: none
        QString text;       // as last edited
        int edits = 0;      // edits that changed it
        qint64 sentMs = 0;  // the arrival of the request that sent it (steady clock)
    };
    // The messages taken, in the order they were sent.
    QList<Message> messages() const;

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
    bool succeed_ = true;  // answer with a message of its own; otherwise `answer_`
    QString userName_;
    QString botName_;
    int tooManyLeft_ = 0;
    int retryAfterSec_ = 0;
    struct ChatFailure {
        int left = 0;
        Response response;
    };
    QHash<QString, ChatFailure> chatFailures_;
    QList<Message> messages_;
};

}  // namespace replica
