// The journal of accepted refusals shared by instances that use one work folder.
#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "store/PendingExports.h"

namespace {

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

}  // namespace
