#include "run/NoticeDispatcher.h"

#include <QDateTime>

#include "fetch/RunTiming.h"
#include "run/RunReporter.h"
#include "store/NoticeQueue.h"
#include "text/RunError.h"

NoticeDispatcher::NoticeDispatcher(RunReporter& reporter, TelegramSettings settings,
                                   QString workDir, const std::atomic<bool>& abandon)
    : reporter_(reporter),
      settings_(std::move(settings)),
      workDir_(std::move(workDir)),
      abandon_(abandon) {}

NoticeDispatcher::~NoticeDispatcher() = default;

bool NoticeDispatcher::Enabled() const {
    return !settings_.botToken.isEmpty() && !settings_.userId.isEmpty();
}

NoticeQueue& NoticeDispatcher::Notices() {
    if (!notices_) {
        notices_ = std::make_unique<NoticeQueue>(workDir_);
    }
    return *notices_;
}

void NoticeDispatcher::Queue(const QString& key, const QString& signedAt, const QString& cardUrl) {
    if (!Enabled()) {
        return;
    }
    Notices().Add({key, signedAt, cardUrl, QDateTime::currentDateTimeUtc(), QString()});
}

void NoticeDispatcher::QueueText(const QString& key, const QString& text) {
    if (!Enabled()) {
        return;
    }
    Notices().Add({key, QString(), QString(), QDateTime::currentDateTimeUtc(), text});
}

void NoticeDispatcher::Deliver() {
    if (!Enabled()) {
        return;
    }
    // The notices go out from the run's thread: the face stays responsive while the run waits
    // for them, and the lines still come in the order of the refusals.
    Notices().Deliver([this](const QueuedNotice& notice) {
        const NoticeOutcome outcome = SendTelegramNotice(
            reporter_.Sink(), settings_, notice.signedAt, notice.cardUrl,
            [this] { return abandon_.load(); }, notice.detectedUtc, notice.text);
        // A notice refused for good is dropped like a sent one; it would fail again.
        return outcome == NoticeOutcome::Sent || outcome == NoticeOutcome::FinalFailure
                   ? NoticeQueue::Delivery::Done
                   : NoticeQueue::Delivery::Later;
    });
}

void NoticeDispatcher::ReportBacklog() {
    if (!Enabled()) {
        return;
    }
    try {
        const QList<QueuedNotice> waiting = Notices().Entries();
        QDateTime oldest;
        for (const QueuedNotice& notice : waiting) {
            if (!oldest.isValid() || notice.detectedUtc < oldest) {
                oldest = notice.detectedUtc;
            }
        }
        if (oldest.isValid() &&
            oldest.msecsTo(QDateTime::currentDateTimeUtc()) >= Timing().noticeBacklogReportMs) {
            reporter_.Log(
                QStringLiteral("Уведомлений в Telegram ждут отправки: %1, самое давнее с %2")
                    .arg(waiting.size())
                    .arg(oldest.toLocalTime().toString(QStringLiteral("dd.MM.yyyy HH:mm"))));
        }
    } catch (const std::exception& e) {
        reporter_.Log(QStringLiteral("Ошибка на этапе обработки: ") + ErrorMessage(e));
    }
}
