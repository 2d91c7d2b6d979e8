#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <chrono>
#include <mutex>

// The Bot API's published limits, kept for the whole process so that the watch's runs share
// them: about one message a second to a chat, twenty a minute to a group, and a hold of every
// message after an answer 429 for as long as its "retry_after" asks.
class TelegramPace {
public:
    using Clock = std::chrono::steady_clock;

    static TelegramPace& Shared();

    // Milliseconds until a message to `chat` keeps the limits (0: now), the hold included.
    qint64 WaitMs(const QString& chat, bool group);
    // The answer to a message to `chat` came (or the request failed).
    void Sent(const QString& chat);
    // Every message waits this long from now.
    void Hold(qint64 ms);
    qint64 HoldMs();
    // Forgets everything: tests start afresh.
    void Reset();

private:
    std::mutex mutex_;
    QHash<QString, QList<Clock::time_point>> sent_;  // the latest sends to each chat
    Clock::time_point holdUntil_{};
};
