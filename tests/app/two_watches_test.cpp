// Two headless watches on one folder, as a window beside the service runs: both watch the portal
// imitation while refusals are published on it, the Bot API imitation failing every third
// notice. Together they notice and export every refusal exactly once, and the refusal-page and
// card requests of both processes keep the spacing between them.
//
// Besides, a have.txt the watch may read but not write stops its run before anything is
// announced.
#include <unistd.h>

#include <QDir>
#include <QtTest>
#include <algorithm>
#include <memory>
#include <mutex>

#include "app/WatchBench.h"

using replica::PortalImitation;

namespace {

constexpr int kWaitMs = 120000;
constexpr int kRefusals = 8;
const QString kToken = QStringLiteral("1234567890:AAE-two-watches-test");

}  // namespace

class TwoWatchesTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<WatchBench> bench_;
    std::unique_ptr<WatchProcess> watches_[2];
    std::mutex mutex_;
    QList<qint64> detailArrivals_;

    // Each watch's last lines and the waiting files, line by line, for a failure.
    bool Reported(bool ok) {
        if (!ok) {
            QStringList report = bench_->Report(0);
            for (const auto& watch : watches_) {
                report << QStringLiteral("--- a watch's last lines:") << watch->tail;
            }
            for (const QString& line : report) {
                qWarning().noquote() << line;
            }
        }
        return ok;
    }

private slots:
    void init() {
        bench_ = std::make_unique<WatchBench>(kToken);
        for (auto& watch : watches_) {
            watch = std::make_unique<WatchProcess>();
        }
        bench_->onPortalRequest = [this](const replica::Request& request) {
            if (request.path() == PortalImitation::kRejectPath ||
                request.path() == PortalImitation::kCardPath) {
                std::lock_guard lock(mutex_);
                detailArrivals_.append(request.arrivalMs);
            }
        };
    }

    void cleanup() {
        for (auto& watch : watches_) {
            watch.reset();  // killed if it still runs
        }
        bench_.reset();
    }

    void twoWatchesNoticeAndExportEveryRefusalOnce() {
        int published = 0;
        bench_->Publish(published++);
        bench_->Publish(published++);
        watches_[0]->Start(*bench_);
        // The second starts while the first is at work, a few seconds (scaled) later.
        QVERIFY(Reported(WaitFor([&] { return watches_[0]->runEnds >= 1; }, kWaitMs)));
        watches_[1]->Start(*bench_);
        while (published < kRefusals) {
            const int first = watches_[0]->runEnds;
            const int second = watches_[1]->runEnds;
            bench_->Publish(published++);
            // Each watch ends a run after the refusal came, so either may be the one to meet it.
            QVERIFY(Reported(WaitFor(
                [&] { return watches_[0]->runEnds > first && watches_[1]->runEnds > second; },
                kWaitMs)));
        }
        QVERIFY(Reported(WaitFor([&] { return bench_->AllDone(); }, kWaitMs)));
        QCOMPARE(watches_[0]->Stop(), 0);
        QCOMPARE(watches_[1]->Stop(), 0);

        // Exactly one row and one notice each, over both watches and all their files.
        bool whole = true;
        const QStringList ids = bench_->ExportedIds(&whole);
        QVERIFY(whole);
        QCOMPARE(ids.size(), published);
        for (const PublishedRefusal& refusal : bench_->Refusals()) {
            QVERIFY2(ids.count(refusal.registryId) == 1, qPrintable(refusal.registryId));
            QVERIFY2(bench_->Delivered(refusal.signedAt) == 1, qPrintable(refusal.signedAt));
        }
        QStringList keys = QString::fromUtf8(ReadFile(bench_->path(QStringLiteral("have.txt"))))
                               .split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
        QVERIFY(Reported(keys.size() == published));
        keys.removeDuplicates();
        QCOMPARE(keys.size(), published);

        // The requests of both processes, in the order they came, never closer than the spacing
        // (each starts after the one before was answered, which is after it arrived).
        std::lock_guard lock(mutex_);
        std::sort(detailArrivals_.begin(), detailArrivals_.end());
        for (qsizetype i = 1; i < detailArrivals_.size(); ++i) {
            QVERIFY2(detailArrivals_[i] - detailArrivals_[i - 1] >= Timing().detailSpacingMs - 1,
                     qPrintable(QStringLiteral("request %1: %2 ms after the one before")
                                    .arg(i)
                                    .arg(detailArrivals_[i] - detailArrivals_[i - 1])));
        }
    }

    void haveFileThatCannotBeWrittenStopsTheRunBeforeAnything() {
        bench_->Publish(0);
        const QString have = bench_->path(QStringLiteral("have.txt"));
        WriteFile(have, "https://elsewhere/reject#01.01.2026 10:00\r\n");
        QVERIFY(QFile::setPermissions(have, QFile::ReadOwner | QFile::ReadOther));
        // Root may write any file: the program runs as nobody then, in a folder open to it.
        const bool root = ::geteuid() == 0;
        if (root) {
            QVERIFY(QFile::setPermissions(bench_->folder(), QFile::Permissions(0x7777)));
            const QByteArray run = QFile::encodeName(bench_->path(QStringLiteral("run")));
            QCOMPARE(::chown(run.constData(), 65534, 65534), 0);
        }
        watches_[0]->Start(*bench_, {QStringLiteral("--once")}, root ? 65534 : -1);
        QCOMPARE(watches_[0]->WaitForExit(), 2);
        const QStringList lines = watches_[0]->lines;
        QVERIFY2(lines.filter(QStringLiteral("Не удалось записать файл ") + have +
                              QStringLiteral(": Permission denied"))
                         .size() == 1,
                 qPrintable(lines.join(u'\n')));
        QVERIFY(lines.filter(QStringLiteral("Обнаружен отказ")).isEmpty());
        QVERIFY(bench_->Notices().isEmpty());
        QVERIFY(bench_->CsvFiles().isEmpty());
        QVERIFY(!QFile::exists(bench_->path(QStringLiteral("have-pending.txt"))));
    }
};

QTEST_MAIN(TwoWatchesTest)
#include "two_watches_test.moc"
