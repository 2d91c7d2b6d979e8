// The watch as users run it, killed for real: the headless program with scaled timing watches
// the portal imitation while refusals are published on it; it is killed with SIGKILL at moments
// aimed at the listing phase, a have.txt write, the card phase and a CSV write, and started
// again each time, while the Bot API imitation fails every third notice. At the end every
// refusal was noticed and exported once (a kill may repeat one notice), its notice shows the
// card's details, and every file is whole.
//
// QUORVANE_WATCH_KILLS sets the number of kills (8 by default); QUORVANE_WATCH_SEED repeats
// the moments of an earlier run.
#include <QRandomGenerator>
#include <QtTest>
#include <atomic>
#include <memory>

#include "app/WatchBench.h"

using replica::PortalImitation;

namespace {

constexpr int kWaitMs = 60000;
const QString kToken = QStringLiteral("1234567890:AAE-watch-kill-test");

// The moments a kill is aimed at, each right after a sign that the watch is there.
enum class Aim { None, Listing, HaveWrite, CardPhase, CsvWrite };

const char* AimName(Aim aim) {
    switch (aim) {
        case Aim::Listing:
            return "listing phase";
        case Aim::HaveWrite:
            return "have.txt write";
        case Aim::CardPhase:
            return "card phase";
        case Aim::CsvWrite:
            return "CSV write";
        default:
            return "none";
    }
}

struct Event {
    enum Kind { RunEnd, Kill } kind;
    qint64 atMs;
};

}  // namespace

class WatchKillTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<WatchBench> bench_;
    std::unique_ptr<WatchProcess> watch_;
    qint64 startMs_ = 0;
    QList<Event> events_;    // on the test's thread only
    QStringList csvOpened_;  // each CSV file a run began, with when
    std::atomic<Aim> armed_{Aim::None};
    std::atomic<qint64> firedMs_{-1};

    void Fire(Aim aim) {
        Aim expected = aim;
        if (armed_.compare_exchange_strong(expected, Aim::None)) {
            firedMs_ = SteadyMs();
        }
    }

    void OnLine(const QString& line) {
        if (line.contains(QStringLiteral("Повторная выгрузка начнётся через"))) {
            events_.append({Event::RunEnd, SteadyMs()});
        }
        if (line.contains(QStringLiteral(": Данные будут записываться в файл "))) {
            csvOpened_ << QStringLiteral("%1 at %2 ms")
                              .arg(line.section(u'/', -1))
                              .arg(SteadyMs() - startMs_);
            Fire(Aim::CardPhase);
        }
    }

    void StartWatch() {
        watch_->onLine = [this](const QString& line) { OnLine(line); };
        watch_->Start(*bench_);
    }

    // What a failure needs to be understood, printed line by line, as a failure message is cut
    // short: the refusals that did not get through, the kills, the files, the watch's last lines.
    void Report() {
        QStringList kills;
        for (const Event& event : events_) {
            if (event.kind == Event::Kill) {
                kills << QString::number(event.atMs - startMs_);
            }
        }
        const QStringList report = bench_->Report(startMs_)
                                   << QStringLiteral("kills at (ms): ") + kills.join(", ")
                                   << QStringLiteral("CSV files begun: ") + csvOpened_.join(", ")
                                   << QStringLiteral("last lines of the watch:") << watch_->tail;
        for (const QString& line : report) {
            qWarning().noquote() << line;
        }
    }

private slots:
    void init() {
        bench_ = std::make_unique<WatchBench>(kToken);
        watch_ = std::make_unique<WatchProcess>();
        startMs_ = SteadyMs();
        events_.clear();
        csvOpened_.clear();
        bench_->onPortalRequest = [this](const replica::Request& request) {
            if (request.path() == PortalImitation::kRejectPath) {
                Fire(Aim::Listing);
            } else if (request.path() == PortalImitation::kCardPath) {
                Fire(Aim::CsvWrite);
            }
        };
        bench_->onDelivered = [this] { Fire(Aim::HaveWrite); };
    }

    void cleanup() {
        watch_.reset();
        bench_.reset();
    }

    void killedWatchNoticesAndExportsEveryRefusalOnce() {
        const int kills = qEnvironmentVariableIsSet("QUORVANE_WATCH_KILLS")
                              ? qEnvironmentVariableIntValue("QUORVANE_WATCH_KILLS")
                              : 8;
        const quint32 seed =
            qEnvironmentVariableIsSet("QUORVANE_WATCH_SEED")
                ? static_cast<quint32>(qEnvironmentVariableIntValue("QUORVANE_WATCH_SEED"))
                : QRandomGenerator::global()->generate() % 100000;
        qInfo("QUORVANE_WATCH_SEED=%u", seed);
        QRandomGenerator random(seed);
        const QList<Aim> aims = {Aim::Listing, Aim::HaveWrite, Aim::CardPhase, Aim::CsvWrite};

        int published = 0;
        bench_->Publish(published++);
        bench_->Publish(published++);
        StartWatch();
        for (int kill = 0; kill < kills; ++kill) {
            // Something new to find, so that every phase comes round again.
            bench_->Publish(published++);
            const Aim aim = aims[kill % aims.size()];
            firedMs_ = -1;
            armed_ = aim;
            WaitFor([&] { return firedMs_ >= 0 || !watch_->Runs(); }, kWaitMs);
            if (firedMs_ < 0) {
                Report();
            }
            QVERIFY2(firedMs_ >= 0, AimName(aim));
            // Listing and card phase last for a while; the writes follow their sign closely.
            const int spreadMs = aim == Aim::Listing || aim == Aim::CardPhase ? 60 : 8;
            const qint64 killAt = firedMs_ + random.bounded(spreadMs + 1);
            QVERIFY(WaitFor([&] { return SteadyMs() >= killAt; }, kWaitMs));
            qInfo("kill %d: %s, %lld ms after its sign", kill + 1, AimName(aim),
                  static_cast<long long>(SteadyMs() - firedMs_));
            watch_->Kill(QLatin1String(AimName(aim)));
            events_.append({Event::Kill, SteadyMs()});
            if (random.bounded(2) == 0) {
                bench_->Publish(published++);  // published while no watch runs
            }
            StartWatch();
        }
        bench_->Publish(published++);
        // A watch that died cannot catch up: its end is reported at once.
        const bool done =
            WaitFor([&] { return bench_->AllDone() || !watch_->Runs(); }, 2 * kWaitMs) &&
            bench_->AllDone();
        if (!done) {
            Report();
        }
        QVERIFY2(done, "not every refusal got through");
        QCOMPARE(watch_->Stop(), 0);

        // Every file whole; every refusal in exactly one row of one CSV file.
        bool whole = true;
        const QStringList ids = bench_->ExportedIds(&whole);
        QVERIFY(whole);
        const QByteArray have = ReadFile(bench_->path(QStringLiteral("have.txt")));
        QVERIFY(have.endsWith("\r\n"));
        const QStringList keys = QString::fromUtf8(have).split(QStringLiteral("\r\n"));
        QCOMPARE(keys.size() - 1, published);
        for (qsizetype i = 0; i + 1 < keys.size(); ++i) {
            QVERIFY2(keys[i].contains(PortalImitation::kRejectPath) &&
                         keys[i].contains(QStringLiteral("#")),
                     qPrintable(keys[i]));
        }
        QCOMPARE(ids.size(), published);

        // At least one notice each; a kill repeats at most one. And each refusal was first
        // tried within one run (the one it may have come too late for) plus the restart delay,
        // that is before the end of the run after the one in progress, a kill granting one more.
        int repeats = 0;
        const QList<NoticeRequest> notices = bench_->Notices();
        for (const PublishedRefusal& refusal : bench_->Refusals()) {
            QCOMPARE(ids.count(refusal.registryId), 1);
            const int delivered = bench_->Delivered(refusal.signedAt);
            QVERIFY2(delivered >= 1, qPrintable(refusal.signedAt));
            // No kill loses the edit that adds the card's details.
            QVERIFY2(bench_->DetailsShown(refusal.signedAt), qPrintable(refusal.signedAt));
            repeats += delivered - 1;
            qint64 firstTry = -1;
            for (const NoticeRequest& notice : notices) {
                if (notice.signedAt == refusal.signedAt) {
                    firstTry = notice.atMs;
                    break;
                }
            }
            int runEnds = 0;
            int killsBetween = 0;
            for (const Event& event : events_) {
                if (event.atMs > refusal.publishedMs && event.atMs < firstTry) {
                    (event.kind == Event::RunEnd ? runEnds : killsBetween) += 1;
                }
            }
            QVERIFY2(runEnds <= 1 + killsBetween,
                     qPrintable(QStringLiteral("%1: %2 runs ended before its notice")
                                    .arg(refusal.signedAt)
                                    .arg(runEnds)));
        }
        QVERIFY2(repeats <= kills, qPrintable(QStringLiteral("%1 repeated notices").arg(repeats)));
    }
};

QTEST_MAIN(WatchKillTest)
#include "watch_kill_test.moc"
