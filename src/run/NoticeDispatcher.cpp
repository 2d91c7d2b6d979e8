#include "run/NoticeDispatcher.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QThread>
#include <algorithm>

#include "fetch/RunTiming.h"
#include "notify/TelegramPace.h"
#include "notify/TelegramRecipients.h"
#include "run/RunReporter.h"
#include "store/NoticeQueue.h"
#include "text/FileSteps.h"
#include "text/RunError.h"

namespace {

// The notice of a queued refusal as it goes out, with the details it has by then.
QString MessageText(const QueuedNotice& notice) {
    if (!notice.text.isEmpty()) {
        return notice.text;
    }
    const QString first = TelegramNoticeText(notice.signedAt, notice.cardUrl, notice.detectedUtc);
    return notice.details.isEmpty() ? first : first + QLatin1Char('\n') + notice.details;
}

}  // namespace

NoticeDispatcher::NoticeDispatcher(RunReporter& reporter, TelegramSettings settings,
                                   QString workDir, const std::atomic<bool>& abandon)
    : reporter_(reporter),
      settings_(std::move(settings)),
      workDir_(std::move(workDir)),
      abandon_(abandon) {
    for (const TelegramRecipient& recipient : ParseTelegramRecipients(settings_.userId)) {
        recipients_ << recipient.Spelling();
    }
}

NoticeDispatcher::~NoticeDispatcher() = default;

bool NoticeDispatcher::Enabled() const {
    return !settings_.botToken.isEmpty() && !recipients_.isEmpty();
}

NoticeQueue& NoticeDispatcher::Notices() {
    if (!notices_) {
        notices_ = std::make_unique<NoticeQueue>(workDir_, recipients_);
        if (!settings_.withDetails) {
            // Details asked for before they were turned off will not come.
            notices_->DropDetailsDue();
        }
    }
    return *notices_;
}

void NoticeDispatcher::Queue(const QString& key, const QString& signedAt, const QString& cardUrl) {
    if (!Enabled()) {
        return;
    }
    QueuedNotice notice;
    notice.key = key;
    notice.signedAt = signedAt;
    notice.cardUrl = cardUrl;
    notice.detectedUtc = QDateTime::currentDateTimeUtc();
    // Without a card there is no row, and nothing to add.
    notice.detailsDue = settings_.withDetails && !cardUrl.trimmed().isEmpty();
    Notices().Add(notice, recipients_);
}

void NoticeDispatcher::QueueText(const QString& key, const QString& text) {
    if (!Enabled() || text.isEmpty()) {
        return;
    }
    QueuedNotice notice;
    notice.key = key;
    notice.detectedUtc = QDateTime::currentDateTimeUtc();
    notice.text = text;
    Notices().Add(notice, recipients_);
}

void NoticeDispatcher::AddDetails(const QString& key, const QString& details) {
    if (!Enabled() || !settings_.withDetails) {
        return;
    }
    Notices().SetDetails(key, details);
}

void NoticeDispatcher::Deliver() {
    if (!Enabled()) {
        return;
    }
    limitWaitMs_ = 0;
    const auto waitFor = [this](qint64 ms) {
        limitWaitMs_ = limitWaitMs_ == 0 ? ms : std::min(limitWaitMs_, ms);
    };
    TelegramPace& pace = TelegramPace::Shared();
    // The notices go out from the run's thread: the face stays responsive while the run waits
    // for them, and the lines still come in the order of the refusals.
    Notices().Deliver([&](const QueuedNotice& notice) {
        using Delivery = NoticeQueue::Delivery;
        const TelegramRecipient recipient = ParseTelegramRecipients(notice.recipient).value(0);
        if (recipient.chat.isEmpty() || !recipients_.contains(notice.recipient)) {
            // Nobody to send it to, or a recipient taken out of TgUserId since it was queued.
            return Delivery{Delivery::Done, 0, {}};
        }
        if (const qint64 hold = pace.HoldMs(); hold > 0) {
            waitFor(hold);
            return Delivery{Delivery::StopAll, 0, {}};
        }
        if (draining_ && drainFailed_.contains(recipient.chat)) {
            return Delivery{Delivery::Later, 0, {}};
        }
        if (const qint64 wait = pace.WaitMs(recipient.chat, recipient.IsGroup()); wait > 0) {
            if (wait > Timing().telegramChatSpacingMs) {
                // A group's minute is full: its notices wait, the others' go on.
                waitFor(wait);
                return Delivery{Delivery::Later, 0, {}};
            }
            // A chat's spacing is short: waited for here, so one delivery sends the lot.
            QThread::msleep(static_cast<unsigned long>(wait));
        }
        TelegramMessage message;
        message.chat = recipient.chat;
        message.thread = recipient.thread;
        message.text = MessageText(notice);
        message.editMessageId = notice.messageId;
        // A step a test may stop the program at: the message, or the edit, is about to go.
        FileStep("send", notice.cardUrl.isEmpty() ? notice.key : notice.cardUrl);
        const TelegramReply reply = SendTelegramMessage(reporter_.Sink(), settings_, message,
                                                        [this] { return abandon_.load(); });
        // Counted from the answer, so the API sees the messages at least this far apart.
        pace.Sent(recipient.chat);
        if (reply.retryAfterMs > 0) {
            // Every notice waits, not this one alone; it is no failure of this one.
            pace.Hold(reply.retryAfterMs);
            waitFor(reply.retryAfterMs);
            return Delivery{Delivery::StopAll, 0, {}};
        }
        switch (reply.outcome) {
            case NoticeOutcome::Sent:
                return Delivery{Delivery::Done, reply.messageId, notice.details};
            case NoticeOutcome::FinalFailure:
            case NoticeOutcome::NotSent:
                // Refused for good: dropped like a sent one; it would fail again.
                return Delivery{Delivery::Done, 0, {}};
            case NoticeOutcome::PassingFailure:
                break;
        }
        if (draining_) {
            drainFailed_ << recipient.chat;
        }
        return Delivery{Delivery::Later, 0, {}};
    });
}

void NoticeDispatcher::DeliverAll(const std::function<bool()>& stop) {
    if (!Enabled()) {
        return;
    }
    if (stop() || abandon_.load()) {
        return;  // a stopped run ends at once; its notices wait for the next one
    }
    draining_ = true;
    drainFailed_.clear();
    QElapsedTimer waited;
    waited.start();
    try {
        for (;;) {
            Deliver();
            if (limitWaitMs_ <= 0 || stop() || abandon_.load() ||
                waited.elapsed() >= Timing().noticeDrainMs) {
                break;
            }
            // Short steps, so a stop is not kept waiting.
            QThread::msleep(static_cast<unsigned long>(std::clamp<qint64>(limitWaitMs_, 1, 50)));
        }
    } catch (const std::exception& e) {
        reporter_.Log(QStringLiteral("Ошибка на этапе обработки: ") + ErrorMessage(e));
    }
    draining_ = false;
}

void NoticeDispatcher::ReportBacklog() {
    if (!Enabled()) {
        return;
    }
    try {
        qsizetype count = 0;
        QDateTime oldest;
        for (const QueuedNotice& notice : Notices().Entries()) {
            if (!notice.Due()) {
                continue;  // sent, its details not come yet
            }
            ++count;
            if (!oldest.isValid() || notice.detectedUtc < oldest) {
                oldest = notice.detectedUtc;
            }
        }
        if (oldest.isValid() &&
            oldest.msecsTo(QDateTime::currentDateTimeUtc()) >= Timing().noticeBacklogReportMs) {
            reporter_.Log(
                QStringLiteral("Уведомлений в Telegram ждут отправки: %1, самое давнее с %2")
                    .arg(count)
                    .arg(oldest.toLocalTime().toString(QStringLiteral("dd.MM.yyyy HH:mm"))));
        }
    } catch (const std::exception& e) {
        reporter_.Log(QStringLiteral("Ошибка на этапе обработки: ") + ErrorMessage(e));
    }
}
