#pragma once

#include <QString>
#include <atomic>
#include <memory>

#include "notify/TelegramNotice.h"

class NoticeQueue;
class RunReporter;

// The run's Telegram notices: queued in the work folder before their first attempt, delivered
// from the run's thread oldest first, kept for a later delivery after a passing failure, and
// named in the log when they have waited long. Without a token or a user id it does nothing.
class NoticeDispatcher {
public:
    // `abandon` is set when the program is closing: a notice in flight is cut short.
    NoticeDispatcher(RunReporter& reporter, TelegramSettings settings, QString workDir,
                     const std::atomic<bool>& abandon);
    ~NoticeDispatcher();

    bool Enabled() const;
    // Queues the notice of the accepted refusal `key`. Throws RunError when the queue cannot be
    // written.
    void Queue(const QString& key, const QString& signedAt, const QString& cardUrl);
    // Queues a ready-made message under `key`, sent as it stands. Throws RunError when the queue
    // cannot be written.
    void QueueText(const QString& key, const QString& text);
    // Sends the queued notices, oldest first, until one fails for a passing reason.
    void Deliver();
    // One line when notices have waited long.
    void ReportBacklog();

private:
    // Made on first use, so a run without notices never touches the queue's files.
    NoticeQueue& Notices();

    RunReporter& reporter_;
    TelegramSettings settings_;
    QString workDir_;
    const std::atomic<bool>& abandon_;
    std::unique_ptr<NoticeQueue> notices_;
};
