#include "run/RunHealthCheck.h"

#include <QDateTime>

#include "fetch/FailureStreak.h"
#include "fetch/RunTiming.h"
#include "run/SearchPages.h"
#include "store/HealthFile.h"
#include "text/RunError.h"

namespace {

const QString kNoSearchPage = QStringLiteral("ни одна страница поиска не загрузилась");
const QString kNoCount = QStringLiteral("страница поиска без счётчика записей");
const QString kNoEntries =
    QStringLiteral("страница поиска сообщает о записях, но ни одной записи на ней не распознано");
const QString kNoDocument = QStringLiteral("страницы отказов без документа об отказе");
const QString kNoCardField = QStringLiteral("карточки контрактов без сведений для строки");

void KeepFirst(QString& first, const QString& url) {
    if (first.isEmpty()) {
        first = url;
    }
}

}  // namespace

void RunHealthCheck::SearchPage(const QString& url, const SearchPageOutcome* outcome,
                                const FetchFailure& failure) {
    ++searchTried_;
    if (outcome == nullptr) {
        if (searchFailed_ == 0) {
            searchFailure_ = failure;
        } else if (!(failure == searchFailure_)) {
            searchFailedAlike_ = false;
        }
        ++searchFailed_;
        KeepFirst(firstFailed_, url);
        return;
    }
    if (outcome->counted || outcome->noResults) {
        ++searchRead_;
    } else {
        KeepFirst(firstUnread_, url);
    }
    if (outcome->entriesUnrecognised) {
        KeepFirst(firstNoEntries_, url);
    }
}

void RunHealthCheck::StartCount(const QString& line, int search, qint32 count) {
    counts_.append({line, search, count});
}

void RunHealthCheck::FailedPage(const QString& url) {
    KeepFirst(firstFailed_, url);
}

void RunHealthCheck::RefusalPage(const QString& url, bool hasDocument) {
    ++refusalPages_;
    if (hasDocument) {
        ++refusalDocuments_;
    } else {
        KeepFirst(firstEmptyRefusal_, url);
    }
}

void RunHealthCheck::Card(const QString& url, bool hasField) {
    ++cards_;
    if (hasField) {
        ++cardsWithFields_;
    } else {
        KeepFirst(firstEmptyCard_, url);
    }
}

RunHealth RunHealthCheck::Verdict(const FailureStreak& requests) const {
    RunHealth health;
    health.state = RunHealth::State::Blind;
    health.gaveUp = requests.GaveUp();
    if (health.gaveUp || requests.AllFailedAlike()) {
        health.cause = requests.Last().Describe();
        health.address = firstFailed_;
    } else if (searchTried_ > 0 && searchRead_ == 0) {
        if (searchFailed_ == searchTried_) {
            health.cause = searchFailedAlike_ && searchFailure_.Refusal()
                               ? searchFailure_.Describe()
                               : kNoSearchPage;
            health.address = firstFailed_;
        } else {
            health.cause = kNoCount;
            health.address = firstUnread_;
        }
    } else if (!firstNoEntries_.isEmpty()) {
        health.cause = kNoEntries;
        health.address = firstNoEntries_;
    } else if (refusalPages_ > 0 && refusalDocuments_ == 0) {
        health.cause = kNoDocument;
        health.address = firstEmptyRefusal_;
    } else if (cards_ > 0 && cardsWithFields_ == 0) {
        health.cause = kNoCardField;
        health.address = firstEmptyCard_;
    } else {
        health.state = RunHealth::State::Seeing;
    }
    return health;
}

RunHealth RunHealthCheck::Conclude(const QString& workDir, const FailureStreak& requests,
                                   const LogLine& log, const QueueNotice& queue) const {
    RunHealth health = Verdict(requests);
    HealthRecord record;
    try {
        record = ReadHealthFile(workDir);
    } catch (const std::exception& e) {
        log(QStringLiteral("Ошибка на этапе обработки: ") + ErrorMessage(e));
    }
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QString stamp = now.toString(Qt::ISODateWithMs);
    QStringList confirmed;
    for (const Count& count : counts_) {
        HealthRecord::SearchCount& known = record.searches[count.line];
        const QString drop =
            QStringLiteral("Число записей поиска %1 упало с %2 до %3: %4").arg(count.search + 1);
        if (known.dropFrom > 0) {
            // The run after a drop tells a passing glitch from a lasting one.
            if (qint64(count.count) * 2 < known.dropFrom) {
                confirmed << drop.arg(known.dropFrom).arg(count.count).arg(count.line);
            }
            known.dropFrom = -1;
        } else if (known.last > 0 && qint64(count.count) * 2 < known.last) {
            health.drops << drop.arg(known.last).arg(count.count).arg(count.line);
            known.dropFrom = known.last;
        }
        known.last = count.count;
    }
    for (const QString& line : health.drops) {
        log(line);
    }
    if (health.state == RunHealth::State::Seeing && !health.drops.isEmpty()) {
        health.state = RunHealth::State::Suspect;
    }

    // A run that fetched no refusal page or no card says nothing of those: a blind state they
    // showed lasts until a run reads one again.
    if (!health.Blind() && record.blind &&
        ((record.cause == kNoDocument && refusalPages_ == 0) ||
         (record.cause == kNoCardField && cards_ == 0))) {
        health.state = RunHealth::State::Blind;
        health.cause = record.cause;
        health.address = record.address;
        health.drops.clear();
    }
    const bool repeatDue = !record.noticeUtc.isValid() ||
                           record.noticeUtc.msecsTo(now) >= Timing().healthNoticeRepeatMs;
    try {
        if (health.Blind()) {
            log(health.Line());
            if (!record.blind || repeatDue) {
                queue(QStringLiteral("health-blind ") + stamp, health.Line());
                record.noticeUtc = now;
            }
        } else if (record.blind) {
            health.recovered = true;
            const QString line = QStringLiteral("Монитор снова видит портал");
            log(line);
            queue(QStringLiteral("health-seeing ") + stamp, line);
            record.noticeUtc = now;
        }
        record.blind = health.Blind();
        record.cause = health.cause;
        record.address = health.address;
        for (const QString& line : confirmed) {
            log(line + QStringLiteral(" (подтверждено повторным поиском)"));
            queue(QStringLiteral("health-drop ") + stamp + line, line);
        }
        WriteHealthFile(workDir, record);
    } catch (const std::exception& e) {
        log(QStringLiteral("Ошибка на этапе обработки: ") + ErrorMessage(e));
    }
    return health;
}
