// Whether the headless program says when it cannot see the portal: each way the imitation
// fails it ends a --once run with its own exit code, one log line and one Telegram notice; a
// portal that refuses everything is asked ten times, not hundreds; a watch probes it with one
// request and says once that it sees it again; a count that halves is told only when the next
// run confirms it.

#include <QDir>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest>
#include <memory>

#include "NotifySocket.h"
#include "PortalImitation.h"
#include "PortalReplica.h"
#include "TelegramImitation.h"
#include "support/TelegramSettings.h"
#include "support/TestSupport.h"

using replica::PortalImitation;

namespace {

constexpr int kWaitMs = 60000;
constexpr int kExitBlind = 3;
const QString kToken = QStringLiteral("1234567890:AAE-health-test");
const QString kBlind = QStringLiteral("Монитор не видит портал: ");
const QString kSeeing = QStringLiteral("Монитор снова видит портал");

// The causes the imitation's modes do not cover, by what stands in the way instead.
constexpr int kTls13Portal = -1;
constexpr int kClosedPort = -2;
constexpr int kDeadProxy = -3;

// A loopback port that nothing listens on.
quint16 ClosedPort() {
    QTcpServer server;
    server.listen(QHostAddress::LocalHost);
    const quint16 port = server.serverPort();
    server.close();
    return port;
}

QProcessEnvironment NoDisplay() {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "NOTIFY_SOCKET"}) {
        env.remove(QString::fromLatin1(name));
    }
    return env;
}

}  // namespace

class HealthTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<PortalImitation> portal_;
    std::unique_ptr<replica::PortalReplica> replica_;
    std::unique_ptr<replica::TelegramImitation> telegram_;
    std::unique_ptr<replica::PortalReplica> telegramReplica_;
    QString output_;

    QString Dir() const { return dir_->path(); }

    // The probe without a window on the folder, against `portalUrl`.
    void StartProbe(QProcess& process, const QString& portalUrl, const QStringList& args,
                    const QString& notifySocket = {}) {
        WriteFile(Dir() + QStringLiteral("/StartURL.txt"),
                  PortalImitation::StartUrl(portalUrl).toUtf8() + "\r\n");
        QProcessEnvironment env = NoDisplay();
        if (!notifySocket.isEmpty()) {
            env.insert(QStringLiteral("NOTIFY_SOCKET"), notifySocket);
            env.insert(QStringLiteral("WATCHDOG_USEC"), QStringLiteral("400000"));
        }
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(Dir());
        process.start(QStringLiteral(QUORVANE_PROBE),
                      QStringList{QStringLiteral("--headless"), QStringLiteral("--dir"), Dir(),
                                  QStringLiteral("--contract-from"), QStringLiteral("04.01.2026"),
                                  QStringLiteral("--contract-to"), QStringLiteral("31.01.2026")} +
                          args);
    }

    // A --once run to its end: its exit code (-1 when it did not exit by itself).
    int RunOnce(const QString& portalUrl, const QStringList& args = {}) {
        QProcess process;
        StartProbe(process, portalUrl, QStringList{QStringLiteral("--once")} + args);
        const bool ended = process.waitForFinished(kWaitMs);
        output_ = QString::fromUtf8(process.readAllStandardOutput());
        if (!ended) {
            process.kill();
            process.waitForFinished(kWaitMs);
            return -1;
        }
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }

    // The texts of the Telegram notices received, in order.
    QStringList Notices() const {
        QStringList texts;
        for (const replica::Request& request : telegram_->requests()) {
            const qsizetype at = request.body.indexOf("text=");
            // The messages sent; the edits that add a card's details come after them.
            if (at >= 0 && request.path().endsWith("/sendmessage")) {
                texts << QUrl::fromPercentEncoding(request.body.mid(at + 5));
            }
        }
        return texts;
    }
    QStringList HealthNotices() const {
        QStringList texts;
        for (const QString& text : Notices()) {
            if (!text.startsWith(QStringLiteral("Найден отказ"))) {
                texts << text;
            }
        }
        return texts;
    }
    int OutputLinesWith(const QString& text) const { return int(output_.count(text)); }

private slots:
    void init() {
        dir_ = std::make_unique<QTemporaryDir>();
        QVERIFY(dir_->isValid());
        portal_ = std::make_unique<PortalImitation>(replica::ThreeRefusals());
        replica_ = std::make_unique<replica::PortalReplica>();
        replica_->setHandler(portal_->handler());
        telegram_ = std::make_unique<replica::TelegramImitation>(kToken);
        telegram_->answerSuccess(QStringLiteral("user"), QStringLiteral("bot"));
        telegramReplica_ = std::make_unique<replica::PortalReplica>();
        telegramReplica_->setHandler(telegram_->handler());
        WriteTelegramSettings(Dir(), telegramReplica_->url(), kToken);
    }

    void cleanup() {
        replica_.reset();
        telegramReplica_.reset();
        telegram_.reset();
        portal_.reset();
        dir_.reset();
    }

    // Every cause ends the run blind, logged and told once, and a second blind run the same day
    // tells nobody again.
    void eachCauseEndsTheRunBlind_data() {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("cause");
        using Mode = PortalImitation::Mode;
        QTest::newRow("no count block")
            << int(Mode::ChangedMarkup) << QStringLiteral("страница поиска без счётчика записей");
        QTest::newRow("no entry recognised")
            << int(Mode::UnknownEntries)
            << QStringLiteral(
                   "страница поиска сообщает о записях, но ни одной записи на ней не распознано");
        QTest::newRow("no refusal document")
            << int(Mode::EmptyRefusals)
            << QStringLiteral("страницы отказов без документа об отказе");
        QTest::newRow("no card field")
            << int(Mode::EmptyCards)
            << QStringLiteral("карточки контрактов без сведений для строки");
        QTest::newRow("block page")
            << int(Mode::BlockPage)
            << QStringLiteral("портал отвечает страницей блокировки или капчей");
        QTest::newRow("403 on everything")
            << int(Mode::ForbidAll) << QStringLiteral("портал отвечает на каждый запрос кодом 403");
        QTest::newRow("TLS failure")
            << kTls13Portal << QStringLiteral("сертификат портала не прошёл проверку");
        QTest::newRow("no connection")
            << kClosedPort << QStringLiteral("нет соединения с порталом");
        QTest::newRow("dead proxies")
            << kDeadProxy << QStringLiteral("прокси из файла proxy.txt не работают");
    }
    void eachCauseEndsTheRunBlind() {
        QFETCH(int, mode);
        QFETCH(QString, cause);
        ScopedTiming timing(ScopedTiming::Scaled(20));
        // The client offers TLS 1.2 alone: a portal of TLS 1.3 alone fails every handshake.
        replica::PortalReplica tls13({0, QSsl::TlsV1_3OrLater});
        tls13.setHandler(portal_->handler());
        if (mode >= 0) {
            portal_->setMode(PortalImitation::Mode(mode));
        }
        QString url = mode == kTls13Portal ? tls13.url() : replica_->url();
        QStringList args;
        if (mode == kClosedPort || mode == kDeadProxy) {
            const quint16 closed = ClosedPort();
            if (mode == kClosedPort) {
                url = QStringLiteral("https://127.0.0.1:%1").arg(closed);
            } else {
                WriteFile(Dir() + QStringLiteral("/proxy.txt"),
                          QStringLiteral("127.0.0.1:%1:user:secret\r\n").arg(closed).toUtf8());
                args << QStringLiteral("--proxy");
            }
        }

        const int code = RunOnce(url, args);
        QVERIFY2(output_.contains(kBlind + cause), qPrintable(output_));
        QCOMPARE(code, kExitBlind);
        QCOMPARE(HealthNotices().size(), 1);
        QVERIFY2(HealthNotices().first().startsWith(kBlind + cause + QStringLiteral(", ") + url),
                 qPrintable(HealthNotices().first()));

        QCOMPARE(RunOnce(url, args), kExitBlind);
        QCOMPARE(HealthNotices().size(), 1);
        if (mode == kDeadProxy) {
            // The refusals the dead proxies kept from being read come with the first run that
            // reads them.
            const auto refusalNotices = [this] {
                return Notices().size() - HealthNotices().size();
            };
            QCOMPARE(refusalNotices(), 0);
            QCOMPARE(RunOnce(url), 0);
            QCOMPARE(refusalNotices(), 3);
        }
    }

    // Against a portal that answers 403 to everything, a run stops after ten requests in a row
    // instead of retrying its search page 500 times; a watch then probes with one request at a
    // time, and once the portal answers it reads it whole and says so once.
    void refusingPortalIsProbedUntilItAnswers() {
        ScopedTiming timing(ScopedTiming::Scaled(20));
        portal_->setMode(PortalImitation::Mode::ForbidAll);
        QCOMPARE(RunOnce(replica_->url()), kExitBlind);
        QCOMPARE(replica_->requestCount(), Timing().refusalStreakLimit);
        QVERIFY2(output_.contains(QStringLiteral("повторы прекращены")), qPrintable(output_));

        replica_->clearRequests();
        const QString socketPath = Dir() + QStringLiteral("/notify");
        NotifySocket manager(socketPath);
        QVERIFY(manager.Bound());
        QProcess watch;
        StartProbe(watch, replica_->url(), {}, socketPath);
        // The first run ends blind after ten; the probes that follow send one request each.
        // The test reads the manager's socket all along, as a manager does: a full queue would
        // hold the watch's pings.
        QVERIFY(WaitFor(
            [&] {
                manager.Received();
                return replica_->requestCount() >= Timing().refusalStreakLimit + 2;
            },
            kWaitMs));
        QCOMPARE(replica_->requestCount(), Timing().refusalStreakLimit + 2);
        const QList<replica::Request> requests = replica_->requests();
        const qint64 firstGap = requests[10].arrivalMs - requests[9].arrivalMs;
        const qint64 secondGap = requests[11].arrivalMs - requests[10].arrivalMs;
        // Probes come at growing gaps: the second one waits longer than the first.
        QVERIFY2(secondGap > firstGap,
                 qPrintable(QStringLiteral("%1 %2").arg(firstGap).arg(secondGap)));

        // The blind watch keeps running and says so in its status line.
        QVERIFY(WaitFor(
            [&] {
                return manager.Received().contains(
                    kBlind + QStringLiteral("портал отвечает на каждый запрос кодом 403"));
            },
            kWaitMs));
        const QString blindStatus =
            kBlind + QStringLiteral("портал отвечает на каждый запрос кодом 403");
        QVERIFY(WaitFor(
            [&] {
                const QString received = manager.Received();
                return received.indexOf(QStringLiteral("WATCHDOG=1"),
                                        received.indexOf(blindStatus)) >= 0;
            },
            kWaitMs));
        QCOMPARE(watch.state(), QProcess::Running);

        portal_->setMode(PortalImitation::Mode::Normal);
        QVERIFY(WaitFor(
            [&] {
                manager.Received();
                return HealthNotices().contains(kSeeing) && Notices().size() == 5;
            },
            kWaitMs));
        watch.terminate();
        QVERIFY(WaitFor(
            [&] {
                manager.Received();
                return watch.waitForFinished(10);
            },
            kWaitMs));
        output_ = QString::fromUtf8(watch.readAllStandardOutput());
        QCOMPARE(watch.exitCode(), 0);
        // The --once run told of the blind state; the watch's blind runs add nothing to it.
        QCOMPARE(HealthNotices().size(), 2);
        QVERIFY(HealthNotices().first().startsWith(kBlind));
        QCOMPARE(OutputLinesWith(kSeeing), 1);
        QCOMPARE(QDir(Dir()).entryList({QStringLiteral("*.csv")}, QDir::Files).size(), 1);
    }

    // A count that falls by more than half is logged at once and told when the next run, in
    // another process, finds it as low.
    void droppedCountIsToldWhenConfirmed() {
        ScopedTiming timing(ScopedTiming::Scaled(20));
        QCOMPARE(RunOnce(replica_->url()), 0);
        replica::PortalDataSet fewer = replica::ThreeRefusals();
        fewer.contracts = fewer.contracts.mid(0, 1);
        portal_->setData(fewer);
        const QString drop = QStringLiteral("Число записей поиска 1 упало с 3 до 1: ");

        QCOMPARE(RunOnce(replica_->url()), 0);
        QCOMPARE(OutputLinesWith(drop), 1);
        QVERIFY(HealthNotices().isEmpty());

        QCOMPARE(RunOnce(replica_->url()), 0);
        QCOMPARE(HealthNotices().size(), 1);
        QVERIFY2(HealthNotices().first().startsWith(drop), qPrintable(HealthNotices().first()));
    }
};

QTEST_MAIN(HealthTest)
#include "health_test.moc"
