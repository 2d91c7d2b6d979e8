#pragma once

#include <QDateTime>
#include <QString>
#include <functional>

class LogSink;

// The Telegram notice of one accepted refusal: a POST to the Bot API's sendmessage method,
// made on the calling (driver's) thread; its log lines go to the log sink.
struct TelegramSettings {
    QString apiUrl;  // "https://api.telegram.org" unless settings.ini says otherwise
    QString botToken;
    QString userId;  // "TgUserId": one recipient or several, separated by commas
    QString proxy;   // [user ":" password "@"] host [":" port]
    // A PEM file of certificates trusted besides the system's ("TgCaFile"); empty: none.
    QString caFile;
    // The card's details added to each notice once its row is written ("TgDetails", on unless
    // it is 0).
    bool withDetails = true;
};

// The notice text for a refusal signed at `signedAt`, sent at `utcNow`.
QString TelegramNoticeText(const QString& signedAt, const QString& cardUrl,
                           const QDateTime& utcNow);

enum class NoticeOutcome {
    NotSent,         // no token or no user id: nothing was tried
    Sent,            // the API took it
    PassingFailure,  // worth trying again: no answer, a time-out, a 5xx or 429 answer
    FinalFailure,    // refused for good: any other 4xx answer, or "ok" false
};

// One message to one recipient: a new one, or an edit of one sent before.
struct TelegramMessage {
    QString chat;    // sent unchanged as chat_id
    QString thread;  // a forum topic's message_thread_id; empty: none
    QString text;
    qint64 editMessageId = 0;  // above 0: editMessageText of this message instead of a new one
};

struct TelegramReply {
    NoticeOutcome outcome = NoticeOutcome::NotSent;
    qint64 messageId = 0;     // the message sent or edited, from the API's reply; 0: none said
    qint64 retryAfterMs = 0;  // an answer 429 asked for every message to wait this long
};

// Sends or edits one message with the notice's request profile and logs its outcome through
// `sink`, the token masked in every line. An edit the API answers "message is not modified" is
// done. An answer 429 with "retry_after" is a passing failure that logs one line of its own.
// Never throws; `abandon` as for SendTelegramNotice.
TelegramReply SendTelegramMessage(LogSink& sink, const TelegramSettings& settings,
                                  const TelegramMessage& message,
                                  const std::function<bool()>& abandon);

// Sends the notice to `settings.userId` as one chat and logs its outcome through `sink`, the token
// masked in every line. Does nothing when the token or the user id is empty. Never throws.
// `abandon` is asked while the request runs; a notice it cuts short (the program is closing) logs
// one line of its own and counts as a passing failure. The notice states `detectedUtc` as the time
// the refusal was found (now when it is not valid).
NoticeOutcome SendTelegramNotice(LogSink& sink, const TelegramSettings& settings,
                                 const QString& signedAt, const QString& cardUrl,
                                 const std::function<bool()>& abandon,
                                 const QDateTime& detectedUtc = QDateTime());
