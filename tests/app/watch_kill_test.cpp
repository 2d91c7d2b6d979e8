// The watch as users run it, killed for real: the headless program with scaled timing watches
// the portal imitation while refusals are published on it; it is killed with SIGKILL at moments
// aimed at the listing phase, a have.txt write, the card phase and a CSV write, and started
// again each time, while the Bot API imitation fails every third notice. At the end every
// refusal was noticed and exported once (a kill may repeat one notice), and every file is whole.
//
// QUORVANE_WATCH_KILLS sets the number of kills (8 by default); QUORVANE_WATCH_SEED repeats
// the moments of an earlier run.
#include <QDir>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>

#include "PortalImitation.h"
#include "PortalReplica.h"
#include "TelegramImitation.h"
#include "support/TestSupport.h"

using replica::PortalImitation;

namespace {

constexpr int kWaitMs = 60000;
constexpr int kTailLines = 40;
const QString kToken = QStringLiteral("1234567890:AAE-watch-kill-test");

qint64 SteadyMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

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

struct Refusal {
    QString registryId;
    QString signedAt;
    qint64 publishedMs = 0;
};

struct Event {
    enum Kind { RunEnd, Kill } kind;
    qint64 atMs;
};

struct NoticeRequest {
    QString signedAt;
    bool delivered;
    qint64 atMs;
};

}  // namespace

class WatchKillTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<ScopedTiming> timing_;
    std::unique_ptr<PortalImitation> portal_;
    std::unique_ptr<replica::TelegramImitation> bot_;
    std::unique_ptr<replica::PortalReplica> portalServer_;
    std::unique_ptr<replica::PortalReplica> telegramServer_;
    std::unique_ptr<QProcess> child_;
    QString output_;
    QString errors_;
    // The watch's last output lines across its restarts, for the report of a failure.
    QStringList tail_;
    QStringList csvOpened_;  // each CSV file a run began, with when
    bool killing_ = false;
    qint64 startMs_ = SteadyMs();

    std::mutex mutex_;
    QList<Refusal> refusals_;
    QList<Event> events_;
    QList<NoticeRequest> notices_;
    std::atomic<Aim> armed_{Aim::None};
    std::atomic<qint64> firedMs_{-1};

    void Fire(Aim aim) {
        Aim expected = aim;
        if (armed_.compare_exchange_strong(expected, Aim::None)) {
            firedMs_ = SteadyMs();
        }
    }

    void Record(Event::Kind kind) {
        std::lock_guard lock(mutex_);
        events_.append({kind, SteadyMs()});
    }

    void Publish(int number) {
        Refusal refusal;
        refusal.registryId = QStringLiteral("27701000001260001%1").arg(number, 2, 10, QChar('0'));
        refusal.signedAt =
            QStringLiteral("%1.01.2026 10:%2").arg(10 + number % 18).arg(number, 2, 10, QChar('0'));
        replica::PortalDataSet data = portal_->data();
        replica::ContractRecord contract = replica::MakeContract(
            refusal.registryId, QDate(2026, 1, 5 + number % 5), 1000 + number);
        replica::AddRefusal(contract, {replica::CustomerRefusal(refusal.signedAt)});
        data.contracts.append(contract);
        std::lock_guard lock(mutex_);
        refusal.publishedMs = SteadyMs();
        portal_->setData(data);
        refusals_.append(refusal);
    }

    void Keep(const QString& line) {
        tail_.append(line);
        if (tail_.size() > kTailLines) {
            tail_.removeFirst();
        }
    }

    // Takes the whole lines out of `buffer` after `bytes` were added to it.
    static QStringList TakeLines(QString& buffer, const QByteArray& bytes) {
        buffer += QString::fromUtf8(bytes);
        const qsizetype end = buffer.lastIndexOf(u'\n');
        QStringList lines = buffer.left(end + 1).split(u'\n');
        lines.removeLast();
        buffer.remove(0, end + 1);
        return lines;
    }

    qint64 Since(qint64 ms) const { return ms - startMs_; }

    void StartWatch() {
        child_ = std::make_unique<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        child_->setProcessEnvironment(env);
        child_->setWorkingDirectory(dir_->path());
        connect(child_.get(), &QProcess::readyReadStandardOutput, this, [this] {
            for (const QString& line : TakeLines(output_, child_->readAllStandardOutput())) {
                Keep(line);
                OnLine(line);
            }
        });
        connect(child_.get(), &QProcess::readyReadStandardError, this, [this] {
            for (const QString& line : TakeLines(errors_, child_->readAllStandardError())) {
                Keep(QStringLiteral("stderr: ") + line);
            }
        });
        connect(child_.get(), &QProcess::finished, this,
                [this](int code, QProcess::ExitStatus status) {
                    if (!killing_) {
                        Keep(QStringLiteral("-- %1 ms: the watch ended by itself, %2 %3")
                                 .arg(Since(SteadyMs()))
                                 .arg(status == QProcess::CrashExit ? "crash" : "exit code")
                                 .arg(code));
                    }
                });
        output_.clear();
        errors_.clear();
        killing_ = false;
        Keep(QStringLiteral("-- %1 ms: watch started").arg(Since(SteadyMs())));
        child_->start(QStringLiteral(QUORVANE_PROBE),
                      {QStringLiteral("--headless"), QStringLiteral("--dir"), dir_->path(),
                       QStringLiteral("--contract-from"), QStringLiteral("01.01.2026"),
                       QStringLiteral("--contract-to"), QStringLiteral("31.01.2026")});
        QVERIFY(child_->waitForStarted(kWaitMs));
    }

    void OnLine(const QString& line) {
        if (line.contains(QStringLiteral("Повторная выгрузка начнётся через"))) {
            Record(Event::RunEnd);
        }
        if (line.contains(QStringLiteral(": Данные будут записываться в файл "))) {
            csvOpened_
                << QStringLiteral("%1 at %2 ms").arg(line.section(u'/', -1)).arg(Since(SteadyMs()));
            Fire(Aim::CardPhase);
        }
    }

    bool WatchRuns() const { return child_ && child_->state() != QProcess::NotRunning; }

    void Kill(Aim aim) {
        killing_ = true;
        child_->kill();  // SIGKILL
        QVERIFY(child_->waitForFinished(kWaitMs));
        Record(Event::Kill);
        Keep(QStringLiteral("-- %1 ms: killed (%2)").arg(Since(SteadyMs())).arg(AimName(aim)));
        child_.reset();
    }

    QStringList CsvFiles() const {
        return QDir(dir_->path()).entryList({QStringLiteral("*.csv")}, QDir::Files, QDir::Name);
    }

    // Registry ids of every row in every CSV file; each file must be whole.
    QStringList ExportedIds(bool* whole) const {
        QStringList ids;
        *whole = true;
        for (const QString& name : CsvFiles()) {
            const QByteArray bytes = ReadFile(dir_->filePath(name));
            if (!bytes.startsWith("\xEF\xBB\xBF") || !bytes.endsWith("\r\n")) {
                *whole = false;
                qWarning() << "not whole:" << name;
                continue;
            }
            QStringList lines = QString::fromUtf8(bytes.mid(3)).split(QStringLiteral("\r\n"));
            lines.removeLast();
            for (qsizetype i = 0; i < lines.size(); ++i) {
                const QString& line = lines[i];
                const QStringList fields =
                    line.mid(1, line.size() - 2).split(QStringLiteral("\";\""));
                if (!line.startsWith(u'"') || !line.endsWith(u'"') || fields.size() != 11) {
                    *whole = false;
                    qWarning() << "broken line in" << name << line;
                } else if (i > 0) {
                    ids << fields[2].mid(1);
                }
            }
        }
        return ids;
    }

    int Delivered(const QString& signedAt) {
        std::lock_guard lock(mutex_);
        int count = 0;
        for (const NoticeRequest& notice : notices_) {
            count += notice.delivered && notice.signedAt == signedAt ? 1 : 0;
        }
        return count;
    }

    bool AllDone() {
        bool whole = true;
        const QStringList ids = ExportedIds(&whole);
        QList<Refusal> refusals;
        {
            std::lock_guard lock(mutex_);
            refusals = refusals_;
        }
        for (const Refusal& refusal : refusals) {
            if (!ids.contains(refusal.registryId) || Delivered(refusal.signedAt) == 0) {
                return false;
            }
        }
        return !QFile::exists(dir_->filePath(QStringLiteral("have-pending.txt"))) &&
               !QFile::exists(dir_->filePath(QStringLiteral("notice-queue.txt")));
    }

    QString FileReport(const QString& name) const {
        const QString path = dir_->filePath(name);
        if (!QFile::exists(path)) {
            return name + QStringLiteral(": none");
        }
        return name + QStringLiteral(":\n") + QString::fromUtf8(ReadFile(path)).trimmed();
    }

    // What a failure needs to be understood: the refusals that did not get through, with the
    // notices tried for them, the journal, the queue and the watch's last lines. Printed line
    // by line, as a failure message is cut short.
    void Report() {
        QStringList report;
        bool whole = true;
        const QStringList ids = ExportedIds(&whole);
        std::lock_guard lock(mutex_);
        for (const Refusal& refusal : refusals_) {
            QStringList tries;
            for (const NoticeRequest& notice : notices_) {
                if (notice.signedAt == refusal.signedAt) {
                    tries << QStringLiteral("%1 ms %2")
                                 .arg(Since(notice.atMs))
                                 .arg(notice.delivered ? "delivered" : "failed");
                }
            }
            const bool exported = ids.contains(refusal.registryId);
            if (!exported || !tries.join(u' ').contains(QStringLiteral("delivered"))) {
                report << QStringLiteral("missing %1 %2, published at %3 ms: %4; notices: %5")
                              .arg(refusal.registryId, refusal.signedAt)
                              .arg(Since(refusal.publishedMs))
                              .arg(exported ? "exported" : "no row")
                              .arg(tries.isEmpty() ? QStringLiteral("none") : tries.join(", "));
            }
        }
        QStringList kills;
        for (const Event& event : events_) {
            if (event.kind == Event::Kill) {
                kills << QString::number(Since(event.atMs));
            }
        }
        report << QStringLiteral("kills at (ms): ") + kills.join(QStringLiteral(", "));
        report << QStringLiteral("CSV files begun: ") + csvOpened_.join(QStringLiteral(", "));
        report << FileReport(QStringLiteral("have-pending.txt"))
               << FileReport(QStringLiteral("notice-queue.txt"));
        report << QStringLiteral("last lines of the watch:") << tail_;
        for (const QString& line : report) {
            qWarning().noquote() << line;
        }
    }

private slots:
    void init() {
        dir_ = std::make_unique<QTemporaryDir>();
        QVERIFY(dir_->isValid());
        startMs_ = SteadyMs();
        tail_.clear();
        csvOpened_.clear();
        timing_ = std::make_unique<ScopedTiming>(ScopedTiming::Scaled(20));
        portal_ = std::make_unique<PortalImitation>();
        bot_ = std::make_unique<replica::TelegramImitation>(kToken);
        bot_->failEvery(3);
        portalServer_ = std::make_unique<replica::PortalReplica>();
        portalServer_->setHandler([this](const replica::Request& request) {
            if (request.path() == PortalImitation::kRejectPath) {
                Fire(Aim::Listing);
            } else if (request.path() == PortalImitation::kCardPath) {
                Fire(Aim::CsvWrite);
            }
            return portal_->handle(request);
        });
        telegramServer_ = std::make_unique<replica::PortalReplica>();
        telegramServer_->setHandler([this](const replica::Request& request) {
            const replica::Response response = bot_->handle(request);
            const QString body = QUrl::fromPercentEncoding(request.body);
            const qsizetype from = body.indexOf(QStringLiteral("отказ от ")) + 9;
            const QString signedAt = body.mid(from, body.indexOf(QStringLiteral(", время")) - from);
            {
                std::lock_guard lock(mutex_);
                notices_.append({signedAt, response.status == 200, SteadyMs()});
            }
            if (response.status == 200) {
                Fire(Aim::HaveWrite);
            }
            return response;
        });
        WriteFile(dir_->filePath(QStringLiteral("StartURL.txt")),
                  PortalImitation::StartUrl(portalServer_->url()).toUtf8());
        WriteFile(dir_->filePath(QStringLiteral("telegram-ca.pem")),
                  replica::TestIdentity().certificate.toPem());
        WriteFile(dir_->filePath(QStringLiteral("settings.ini")),
                  ("[Settings]\r\nBotToken=" + kToken + "\r\nTgUserId=42\r\nTgProxy=\r\nTgApiUrl=" +
                   telegramServer_->url() + "\r\nTgCaFile=telegram-ca.pem\r\nLimit=30\r\n")
                      .toUtf8());
    }

    void cleanup() {
        if (child_) {
            child_->kill();
            child_->waitForFinished(kWaitMs);
            child_.reset();
        }
        portalServer_.reset();
        telegramServer_.reset();
        timing_.reset();
        dir_.reset();
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
        Publish(published++);
        Publish(published++);
        StartWatch();
        for (int kill = 0; kill < kills; ++kill) {
            // Something new to find, so that every phase comes round again.
            Publish(published++);
            const Aim aim = aims[kill % aims.size()];
            firedMs_ = -1;
            armed_ = aim;
            WaitFor([&] { return firedMs_ >= 0 || !WatchRuns(); }, kWaitMs);
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
            Kill(aim);
            if (random.bounded(2) == 0) {
                Publish(published++);  // published while no watch runs
            }
            StartWatch();
        }
        Publish(published++);
        // A watch that died cannot catch up: its end is reported at once.
        const bool done =
            WaitFor([&] { return AllDone() || !WatchRuns(); }, 2 * kWaitMs) && AllDone();
        if (!done) {
            Report();
        }
        QVERIFY2(done, "not every refusal got through");
        child_->terminate();
        QVERIFY(child_->waitForFinished(kWaitMs));
        QCOMPARE(child_->exitCode(), 0);

        // Every file whole; every refusal in exactly one row of one CSV file.
        bool whole = true;
        const QStringList ids = ExportedIds(&whole);
        QVERIFY(whole);
        const QByteArray have = ReadFile(dir_->filePath(QStringLiteral("have.txt")));
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
        for (const Refusal& refusal : refusals_) {
            QCOMPARE(ids.count(refusal.registryId), 1);
            const int delivered = Delivered(refusal.signedAt);
            QVERIFY2(delivered >= 1, qPrintable(refusal.signedAt));
            repeats += delivered - 1;
            qint64 firstTry = -1;
            for (const NoticeRequest& notice : notices_) {
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
