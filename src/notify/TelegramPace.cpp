#include "notify/TelegramPace.h"

#include <algorithm>

#include "fetch/RunTiming.h"

namespace {

qint64 MsFromTo(TelegramPace::Clock::time_point from, TelegramPace::Clock::time_point to) {
    return std::max<qint64>(
        0, std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count() + 1);
}

}  // namespace

TelegramPace& TelegramPace::Shared() {
    static TelegramPace pace;
    return pace;
}

qint64 TelegramPace::WaitMs(const QString& chat, bool group) {
    std::lock_guard lock(mutex_);
    const Clock::time_point now = Clock::now();
    qint64 wait = holdUntil_ > now ? MsFromTo(now, holdUntil_) : 0;
    const QList<Clock::time_point> times = sent_.value(chat);
    if (!times.isEmpty()) {
        const Clock::time_point free =
            times.last() + std::chrono::milliseconds(Timing().telegramChatSpacingMs);
        if (free > now) {
            wait = std::max(wait, MsFromTo(now, free));
        }
    }
    const qsizetype perWindow = Timing().telegramGroupMessages;
    if (group && perWindow > 0 && times.size() >= perWindow) {
        const Clock::time_point free = times[times.size() - perWindow] +
                                       std::chrono::milliseconds(Timing().telegramGroupWindowMs);
        if (free > now) {
            wait = std::max(wait, MsFromTo(now, free));
        }
    }
    return wait;
}

void TelegramPace::Sent(const QString& chat) {
    std::lock_guard lock(mutex_);
    QList<Clock::time_point>& times = sent_[chat];
    times.append(Clock::now());
    // Only the window's messages matter.
    const qsizetype keep = std::max(1, Timing().telegramGroupMessages);
    if (times.size() > keep) {
        times.remove(0, times.size() - keep);
    }
}

void TelegramPace::Hold(qint64 ms) {
    std::lock_guard lock(mutex_);
    holdUntil_ = std::max(holdUntil_, Clock::now() + std::chrono::milliseconds(ms));
}

qint64 TelegramPace::HoldMs() {
    std::lock_guard lock(mutex_);
    const Clock::time_point now = Clock::now();
    return holdUntil_ > now ? MsFromTo(now, holdUntil_) : 0;
}

void TelegramPace::Reset() {
    std::lock_guard lock(mutex_);
    sent_.clear();
    holdUntil_ = {};
}
