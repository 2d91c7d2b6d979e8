// The watch as users run it over a search that lists many refusals met before: the headless
// program with scaled timing, the portal imitation, refusals published while it runs. Each new
// refusal's notice comes within one listing, one request spacing per new page and the pause
// between runs, however many known pages the search lists, and every known page is checked
// again within the rotation the runs' share gives.
#include <QtTest>
#include <memory>

#include "app/WatchBench.h"

using replica::PortalImitation;

namespace {

constexpr int kKnown = 120;
constexpr int kWaitMs = 60000;
const QString kToken = QStringLiteral("1234567890:AAE-new-first-test");

}  // namespace

class NewFirstTest : public QObject {
    Q_OBJECT
private slots:
    void newRefusalsWaitForNoKnownPage() {
        WatchBench bench(kToken);
        bench.FailEveryNthNotice(0);
        const QStringList known = bench.PublishMetBefore(kKnown);
        const RunTiming& timing = Timing();
        const qsizetype perRun = timing.recheckShareMs / timing.detailSpacingMs;
        QVERIFY(perRun > 0 && perRun < kKnown);

        std::mutex mutex;
        QStringList pagesAsked;  // refusal pages, in the order the portal was asked
        bench.onPortalRequest = [&](const replica::Request& request) {
            if (request.path() == PortalImitation::kRejectPath) {
                std::lock_guard lock(mutex);
                pagesAsked << QString::fromUtf8(request.target);
            }
        };
        const auto asked = [&] {
            std::lock_guard lock(mutex);
            return pagesAsked;
        };
        WatchProcess watch;
        int runEnds = 0;
        watch.onLine = [&](const QString& line) {
            runEnds += line.contains(QStringLiteral("Повторная выгрузка начнётся через")) ? 1 : 0;
        };
        watch.Start(bench);

        // The worst moment for a watch that reads every page: just as a run has read its
        // listing and turns to the known pages.
        const qint64 listing = 2000;  // a listing of this search at the scaled timing, at most
        const qint64 bound = listing + timing.recheckShareMs + timing.restartTimerMs +
                             2 * timing.detailSpacingMs + listing;
        for (int number = 0; number < 3; ++number) {
            const qsizetype before = asked().size();
            QTRY_VERIFY_WITH_TIMEOUT(asked().size() > before, kWaitMs);
            bench.Publish(number);
            const PublishedRefusal refusal = bench.Refusals().last();
            QTRY_VERIFY_WITH_TIMEOUT(bench.Delivered(refusal.signedAt) > 0, kWaitMs);
            const qint64 waited = SteadyMs() - refusal.publishedMs;
            if (waited > bound) {
                for (const QString& line : watch.tail) {
                    qWarning().noquote() << line;
                }
            }
            QVERIFY2(waited <= bound, qPrintable(QStringLiteral("refusal %1 waited %2 ms, bound %3")
                                                     .arg(number)
                                                     .arg(waited)
                                                     .arg(bound)));
        }

        // Within the rotation (all known pages over the share a run checks, plus one run for
        // the one the first publish fell into) every known page was asked for again.
        const int rotation = static_cast<int>((kKnown + perRun - 1) / perRun) + 1;
        const int endsBefore = runEnds;
        QTRY_VERIFY_WITH_TIMEOUT(runEnds >= endsBefore + rotation, kWaitMs * 2);
        const QStringList pages = asked();
        for (const QString& page : known) {
            const QString target = page.mid(page.indexOf(PortalImitation::kRejectPath));
            QVERIFY2(pages.contains(target), qPrintable(target));
        }
        QCOMPARE(watch.Stop(), 0);
    }
};

QTEST_MAIN(NewFirstTest)
#include "new_first_test.moc"
