#pragma once

#include <QString>
#include <QStringList>
#include <atomic>
#include <functional>
#include <memory>

#include "notify/TelegramNotice.h"

class NoticeQueue;
class RunReporter;

// The run's Telegram notices: queued in the work folder for each recipient before their first
// attempt, delivered from the run's thread oldest first within the Bot API's limits, kept for a
// later delivery after a passing failure, completed with the card's details once its row is
// written, and named in the log when they have waited long. Without a token or a recipient it
// does nothing.
class NoticeDispatcher {
public:
    // `abandon` is set when the program is closing: a notice in flight is cut short.
    NoticeDispatcher(RunReporter& reporter, TelegramSettings settings, QString workDir,
                     const std::atomic<bool>& abandon);
    ~NoticeDispatcher();

    bool Enabled() const;
    // Queues the notice of the accepted refusal `key`; a refusal with a card waits for its
    // details unless they are turned off. Throws RunError when the queue cannot be written.
    void Queue(const QString& key, const QString& signedAt, const QString& cardUrl);
    // Queues a ready-made message, sent verbatim to every recipient and never edited.
    void QueueText(const QString& key, const QString& text);
    // The refusal's row is written with these details (empty: the card gave none); its notices
    // carry them when they go out, or get them by an edit. Throws RunError when the queue
    // cannot be written.
    void AddDetails(const QString& key, const QString& details);
    // Sends the notices the limits let go now, oldest first; a recipient's turn ends at its
    // first passing failure.
    void Deliver();
    // Delivers until nothing is left that only the limits hold back, or `stop` says so, or the
    // wait at a run's end has lasted long enough.
    void DeliverAll(const std::function<bool()>& stop);
    // One line when notices have waited long.
    void ReportBacklog();

private:
    // Made on first use, so a run without notices never touches the queue's files.
    NoticeQueue& Notices();

    RunReporter& reporter_;
    TelegramSettings settings_;
    QString workDir_;
    const std::atomic<bool>& abandon_;
    QStringList recipients_;
    std::unique_ptr<NoticeQueue> notices_;
    qint64 limitWaitMs_ = 0;  // the shortest wait the limits asked for in the last delivery
    bool draining_ = false;   // DeliverAll runs: a recipient that failed is not tried again
    QStringList drainFailed_;
};
