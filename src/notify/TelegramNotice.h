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
    QString userId;
    QString proxy;  // [user ":" password "@"] host [":" port]
    // A PEM file of certificates trusted besides the system's ("TgCaFile"); empty: none.
    QString caFile;
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

// Sends the notice and logs its outcome through `sink`, the token masked in every line. Does
// nothing when the token or the user id is empty. Never throws. `abandon` is asked while the
// request runs; a notice it cuts short (the program is closing) logs one line of its own and
// counts as a passing failure. The notice states `detectedUtc` as the time the refusal was found
// (now when it is not valid). A non-empty `text` is sent as it stands instead.
NoticeOutcome SendTelegramNotice(LogSink& sink, const TelegramSettings& settings,
                                 const QString& signedAt, const QString& cardUrl,
                                 const std::function<bool()>& abandon,
                                 const QDateTime& detectedUtc = QDateTime(),
                                 const QString& text = QString());
