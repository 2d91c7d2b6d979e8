// The journal of accepted refusals shared by instances that use one work folder.
#include <gtest/gtest.h>

#include <QDir>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <algorithm>

#include "fetch/RunTiming.h"
#include "store/HaveStore.h"
#include "store/PendingExports.h"
#include "store/RecordFile.h"
#include "support/TestSupport.h"

namespace {

QStringList Keys(const QList<PendingExport>& entries) {
    QStringList keys;
    for (const PendingExport& entry : entries) {
        keys << entry.key;
    }
    return keys;
}

// The owners' lock files in `dir`, by owner.
QStringList OwnerLocks(const QString& dir) {
    QStringList owners;
    for (const QString& file :
         QDir(dir).entryList({QStringLiteral("have-pending-*.lock")}, QDir::Files)) {
        owners << file.mid(13, file.size() - 13 - 5);
    }
    return owners;
}

TEST(PendingExportsTest, ARunningInstanceKeepsItsRefusalsUntilItEnds) {
    QTemporaryDir dir;
    PendingExports window(dir.path());
    PendingExports watch(dir.path());
    window.Open();
    watch.Open();
    PendingExport entry;
    ASSERT_EQ(
        window.Add(QStringLiteral("https://p/r?1#12.01.2026 10:00"),
                   QStringLiteral("https://p/c?x=1"), QStringLiteral("12.01.2026 10:00"), &entry),
        PendingExports::Added::New);
    // The other instance neither takes it over nor accepts it again, in any letter case.
    EXPECT_TRUE(watch.ClaimOrphans().isEmpty());
    EXPECT_EQ(
        watch.Add(QStringLiteral("HTTPS://P/R?1#12.01.2026 10:00"),
                  QStringLiteral("https://p/c?x=1"), QStringLiteral("12.01.2026 10:00"), &entry),
        PendingExports::Added::HeldByRunningInstance);

    // Once the run has ended its entry is an orphan, taken over once, with tabs kept.
    window.SetCsvFile(QStringLiteral("https://p/r?1#12.01.2026 10:00"), QStringLiteral("a\tb.csv"),
                      120);
    window.Close();
    const QList<PendingExport> claimed = watch.ClaimOrphans();
    ASSERT_EQ(claimed.size(), 1);
    EXPECT_EQ(claimed.first().owner, watch.Owner());
    EXPECT_EQ(claimed.first().csvFile, QStringLiteral("a\tb.csv"));
    EXPECT_EQ(claimed.first().csvOffset, 120);
    EXPECT_TRUE(watch.ClaimOrphans().isEmpty());
    PendingExports later(dir.path());
    later.Open();
    EXPECT_TRUE(later.ClaimOrphans().isEmpty());
    watch.Remove(claimed.first().key);
    EXPECT_TRUE(later.Entries().isEmpty());
}

// The journal as a run that ended left it (no lock file of its own is there), with times as the
// product's timing reads them: every run tries a failed card during the first hour after its
// refusal was accepted, and afterwards once an hour.
TEST(PendingExportsTest, AFailedCardIsTriedByEveryRunForAnHourThenOnceAnHour) {
    QTemporaryDir dir;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const auto minutesAgo = [&](int minutes) {
        return minutes < 0 ? QString() : now.addSecs(-60 * minutes).toString(Qt::ISODate);
    };
    struct Orphan {
        QString key;
        int acceptedMinutesAgo;
        int failedMinutesAgo;  // -1: its card has not failed
        bool due;
    };
    const QList<Orphan> orphans = {
        {QStringLiteral("never-tried"), 180, -1, true},
        {QStringLiteral("first-hour"), 10, 1, true},
        {QStringLiteral("end-of-the-first-hour"), 58, 0, true},
        {QStringLiteral("failed-within-the-gap"), 61, 59, false},
        {QStringLiteral("failed-an-hour-ago"), 180, 61, true},
        {QStringLiteral("failed-lately"), 180, 10, false},
    };
    const QString deadRun = QStringLiteral("0123456789abcdef0123456789abcdef");
    QList<QStringList> records;
    for (const Orphan& orphan : orphans) {
        records.append({deadRun, orphan.key, QStringLiteral("https://p/c?") + orphan.key,
                        QStringLiteral("12.01.2026 10:00"), QString(), QString(),
                        minutesAgo(orphan.acceptedMinutesAgo),
                        minutesAgo(orphan.failedMinutesAgo)});
    }
    // An entry written before the times were kept counts as just accepted.
    records.append({deadRun, QStringLiteral("no-times"), QStringLiteral("https://p/c?no-times"),
                    QStringLiteral("12.01.2026 10:00")});
    WriteRecordFile(QDir(dir.path()).filePath(QStringLiteral("have-pending.txt")), records);

    PendingExports run(dir.path());
    run.Open();
    const QList<PendingExport> claimed =
        run.ClaimOrphans(Timing().cardRetryEveryRunMs, Timing().cardRetryGapMs);
    QStringList due;
    for (const Orphan& orphan : orphans) {
        if (orphan.due) {
            due << orphan.key;
        }
    }
    due << QStringLiteral("no-times");
    ASSERT_EQ(Keys(claimed), due);
    // A claimed entry keeps its times, so the next run that claims it counts from the same ones
    // (the last one claimed is the entry without times).
    for (qsizetype i = 0; i + 1 < claimed.size(); ++i) {
        const Orphan& orphan = *std::find_if(orphans.begin(), orphans.end(), [&](const Orphan& o) {
            return o.key == claimed[i].key;
        });
        EXPECT_EQ(claimed[i].owner, run.Owner());
        EXPECT_EQ(claimed[i].acceptedUtc.toString(Qt::ISODate),
                  minutesAgo(orphan.acceptedMinutesAgo));
        EXPECT_EQ(claimed[i].cardFailedUtc.toString(Qt::ISODate),
                  minutesAgo(orphan.failedMinutesAgo));
    }
    // The others stay orphans of the ended run, for a run after their hour.
    for (const PendingExport& entry : run.Entries()) {
        EXPECT_EQ(entry.owner == deadRun, !due.contains(entry.key)) << entry.key.toStdString();
    }
    EXPECT_EQ(run.Entries().size(), records.size());
    EXPECT_EQ(OwnerLocks(dir.path()), QStringList{run.Owner()});
}

// A run killed while it held refusals: while it lives nobody takes them; once it is dead its
// lock file is still there but held by nobody, and the next run takes them over with what the
// dead run had recorded, the failed card's time included.
TEST(PendingExportsTest, AKilledRunsRefusalsAreTakenOverWithWhatItRecorded) {
    QTemporaryDir dir;
    const QString rowWritten = QStringLiteral("https://p/r?1#12.01.2026 10:00");
    const QString cardFailed = QStringLiteral("https://p/r?2#12.01.2026 10:00");
    QProcess peer;
    peer.start(QStringLiteral(PENDING_EXPORTS_PEER),
               {dir.path(), QStringLiteral("hold"), rowWritten, cardFailed});
    ASSERT_TRUE(peer.waitForReadyRead(30000));
    ASSERT_EQ(peer.readAllStandardOutput(), "held\n");

    PendingExports run(dir.path());
    run.Open();
    PendingExport entry;
    EXPECT_EQ(run.Add(rowWritten, QStringLiteral("https://p/c?1"),
                      QStringLiteral("12.01.2026 10:00"), &entry),
              PendingExports::Added::HeldByRunningInstance);
    EXPECT_TRUE(run.ClaimOrphans(Timing().cardRetryEveryRunMs, Timing().cardRetryGapMs).isEmpty());

    peer.kill();
    ASSERT_TRUE(peer.waitForFinished(30000));
    ASSERT_EQ(OwnerLocks(dir.path()).size(), 2);

    // Met again: taken over as it is, so a row already written is not written twice.
    ASSERT_EQ(run.Add(rowWritten.toUpper(), QStringLiteral("https://p/c?other"),
                      QStringLiteral("12.01.2026 10:00"), &entry),
              PendingExports::Added::TakenOver);
    EXPECT_EQ(entry.key, rowWritten);
    EXPECT_EQ(entry.owner, run.Owner());
    EXPECT_EQ(entry.csvFile, QStringLiteral("rows.csv"));
    EXPECT_EQ(entry.csvOffset, 42);
    EXPECT_FALSE(entry.cardFailedUtc.isValid());

    // The failed card waits out the gap once its first hour is over, and is tried within it.
    EXPECT_TRUE(run.ClaimOrphans(0, Timing().cardRetryGapMs).isEmpty());
    const QList<PendingExport> claimed =
        run.ClaimOrphans(Timing().cardRetryEveryRunMs, Timing().cardRetryGapMs);
    ASSERT_EQ(Keys(claimed), QStringList{cardFailed});
    EXPECT_TRUE(claimed.first().cardFailedUtc.isValid());
    EXPECT_EQ(claimed.first().csvOffset, -1);
    EXPECT_EQ(OwnerLocks(dir.path()), QStringList{run.Owner()});

    // Failing again moves its time on, for this entry only.
    const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
    run.SetCardFailed(cardFailed.toUpper());
    for (const PendingExport& kept : run.Entries()) {
        EXPECT_EQ(kept.cardFailedUtc.isValid(), kept.key == cardFailed);
        if (kept.key == cardFailed) {
            EXPECT_GE(kept.cardFailedUtc, before);
        }
    }
    // Once this run ends too, the next one takes both over, the failed card only in its hour.
    run.Close();
    PendingExports next(dir.path());
    EXPECT_EQ(Keys(next.ClaimOrphans(0, Timing().cardRetryGapMs)), QStringList{rowWritten});
    EXPECT_EQ(Keys(next.ClaimOrphans(Timing().cardRetryEveryRunMs, Timing().cardRetryGapMs)),
              QStringList{cardFailed});
}

// Two instances meeting the same refusals at the same time, each taking them as a run does:
// every refusal is taken by one of them, gets one notice, and leaves the journal once.
TEST(PendingExportsTest, TwoInstancesTakeEachRefusalOnce) {
    QTemporaryDir dir;
    constexpr int kRefusals = 120;
    QProcess first;
    QProcess second;
    for (QProcess* peer : {&first, &second}) {
        peer->start(QStringLiteral(PENDING_EXPORTS_PEER),
                    {dir.path(), QStringLiteral("race"), QString::number(kRefusals)});
    }
    int took = 0;
    for (QProcess* peer : {&first, &second}) {
        ASSERT_TRUE(peer->waitForFinished(120000));
        ASSERT_EQ(peer->exitCode(), 0);
        const QByteArray out = peer->readAllStandardOutput().trimmed();
        ASSERT_TRUE(out.startsWith("took ")) << out.toStdString();
        took += out.mid(5).toInt();
    }
    EXPECT_EQ(took, kRefusals);

    const QStringList notices =
        QString::fromUtf8(ReadFile(QDir(dir.path()).filePath(QStringLiteral("notices.txt"))))
            .split(u'\n', Qt::SkipEmptyParts);
    EXPECT_EQ(notices.size(), kRefusals);
    EXPECT_EQ(QSet<QString>(notices.begin(), notices.end()).size(), kRefusals);
    HaveStore have;
    have.Load(QDir(dir.path()).filePath(QStringLiteral("have.txt")));
    EXPECT_EQ(have.Lines().size(), kRefusals);
    PendingExports after(dir.path());
    EXPECT_TRUE(after.Entries().isEmpty());
    EXPECT_EQ(OwnerLocks(dir.path()), QStringList{after.Owner()});
}

}  // namespace
