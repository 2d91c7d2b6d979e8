// Two headless watches on one folder, as a window beside the service runs: both watch the portal
// imitation while refusals are published on it, the Bot API imitation failing every third
// notice. Together they notice and export every refusal exactly once, and the refusal-page and
// card requests of both processes keep the spacing between them.
//
// Besides, a have.txt the watch may read but not write stops its run before anything is
// announced.
#include <grp.h>
#include <unistd.h>

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest>
#include <algorithm>
#include <memory>
#include <mutex>

#include "PortalImitation.h"
#include "PortalReplica.h"
#include "TelegramImitation.h"
#include "support/TestSupport.h"

using replica::PortalImitation;

namespace {

constexpr int kWaitMs = 120000;
constexpr int kRefusals = 8;
const QString kToken = QStringLiteral("1234567890:AAE-two-watches-test");
const QString kRunEnd = QStringLiteral("Повторная выгрузка начнётся через");

QString RegistryId(int number) {
    return QStringLiteral("27701000002260001%1").arg(number, 2, 10, QChar('0'));
}

QString SignedAt(int number) {
    return QStringLiteral("%1.01.2026 11:%2").arg(10 + number % 18).arg(number, 2, 10, QChar('0'));
}

// One headless program as a child process, with the lines it printed.
struct Watch {
    std::unique_ptr<QProcess> process;
    QStringList lines;
    QString partial;
    int runEnds = 0;
};

}  // namespace

class TwoWatchesTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<ScopedTiming> timing_;
    std::unique_ptr<PortalImitation> portal_;
    std::unique_ptr<replica::TelegramImitation> bot_;
    std::unique_ptr<replica::PortalReplica> portalServer_;
    std::unique_ptr<replica::PortalReplica> telegramServer_;
    Watch watches_[2];

    std::mutex mutex_;
    QList<qint64> detailArrivals_;
    QStringList delivered_;  // the refusal date of every notice the API took

    void Publish(int number) {
        replica::PortalDataSet data = portal_->data();
        replica::ContractRecord contract =
            replica::MakeContract(RegistryId(number), QDate(2026, 1, 5 + number % 5), 500 + number);
        replica::AddRefusal(contract, {replica::CustomerRefusal(SignedAt(number))});
        data.contracts.append(contract);
        portal_->setData(data);
    }

    // Starts the program as the user `uid` (-1: this process's own).
    void StartWatch(Watch& watch, const QStringList& extra = {}, int uid = -1) {
        watch.process = std::make_unique<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        // Both watches share the spacing of their requests through this folder, and no other
        // test's program does.
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir_->filePath(QStringLiteral("run")));
        watch.process->setProcessEnvironment(env);
        watch.process->setWorkingDirectory(dir_->path());
        if (uid >= 0) {
            watch.process->setChildProcessModifier([uid] {
                if (::setgroups(0, nullptr) != 0 || ::setgid(static_cast<gid_t>(uid)) != 0 ||
                    ::setuid(static_cast<uid_t>(uid)) != 0) {
                    ::_exit(99);
                }
            });
        }
        watch.process->setProcessChannelMode(QProcess::MergedChannels);
        connect(watch.process.get(), &QProcess::readyReadStandardOutput, this, [&watch] {
            watch.partial += QString::fromUtf8(watch.process->readAllStandardOutput());
            qsizetype end = 0;
            while ((end = watch.partial.indexOf(u'\n')) >= 0) {
                const QString line = watch.partial.left(end);
                watch.partial.remove(0, end + 1);
                watch.runEnds += line.contains(kRunEnd) ? 1 : 0;
                watch.lines.append(line);
            }
        });
        watch.process->start(
            QStringLiteral(QUORVANE_PROBE),
            QStringList{QStringLiteral("--headless"), QStringLiteral("--dir"), dir_->path(),
                        QStringLiteral("--contract-from"), QStringLiteral("01.01.2026"),
                        QStringLiteral("--contract-to"), QStringLiteral("31.01.2026")} +
                extra);
        QVERIFY(watch.process->waitForStarted(kWaitMs));
    }

    QStringList CsvFiles() const {
        return QDir(dir_->path()).entryList({QStringLiteral("*.csv")}, QDir::Files);
    }

    // Registry ids of every row of every CSV file.
    QStringList ExportedIds() const {
        QStringList ids;
        for (const QString& name : CsvFiles()) {
            const QStringList lines = QString::fromUtf8(ReadFile(dir_->filePath(name)))
                                          .split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
            for (qsizetype i = 1; i < lines.size(); ++i) {
                ids << lines[i].section(QStringLiteral("\";\""), 2, 2).mid(1);
            }
        }
        return ids;
    }

    bool AllDone(int published) {
        const QStringList ids = ExportedIds();
        std::lock_guard lock(mutex_);
        for (int i = 0; i < published; ++i) {
            if (!ids.contains(RegistryId(i)) || !delivered_.contains(SignedAt(i))) {
                return false;
            }
        }
        return !QFile::exists(dir_->filePath(QStringLiteral("have-pending.txt"))) &&
               !QFile::exists(dir_->filePath(QStringLiteral("notice-queue.txt")));
    }

    // What a failure needs to be understood: each watch's last lines and the waiting files.
    QByteArray State() {
        QString text;
        for (const Watch& watch : watches_) {
            text += QStringLiteral("--- watch output:\n") + watch.lines.mid(-40).join(u'\n');
        }
        for (const char* name : {"have-pending.txt", "notice-queue.txt", "have.txt"}) {
            text += QStringLiteral("\n--- ") + QLatin1String(name) + QStringLiteral(":\n") +
                    QString::fromUtf8(ReadFile(dir_->filePath(QLatin1String(name))));
        }
        return text.toUtf8();
    }

private slots:
    void init() {
        dir_ = std::make_unique<QTemporaryDir>();
        QVERIFY(dir_->isValid());
        QVERIFY(QDir(dir_->path()).mkdir(QStringLiteral("run")));
        timing_ = std::make_unique<ScopedTiming>(ScopedTiming::Scaled(20));
        portal_ = std::make_unique<PortalImitation>();
        bot_ = std::make_unique<replica::TelegramImitation>(kToken);
        bot_->failEvery(3);
        portalServer_ = std::make_unique<replica::PortalReplica>();
        portalServer_->setHandler([this](const replica::Request& request) {
            if (request.path() == PortalImitation::kRejectPath ||
                request.path() == PortalImitation::kCardPath) {
                std::lock_guard lock(mutex_);
                detailArrivals_.append(request.arrivalMs);
            }
            return portal_->handle(request);
        });
        telegramServer_ = std::make_unique<replica::PortalReplica>();
        telegramServer_->setHandler([this](const replica::Request& request) {
            const replica::Response response = bot_->handle(request);
            const QString body = QUrl::fromPercentEncoding(request.body);
            const qsizetype from = body.indexOf(QStringLiteral("отказ от ")) + 9;
            if (response.status == 200) {
                std::lock_guard lock(mutex_);
                delivered_.append(body.mid(from, 16));
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
        for (Watch& watch : watches_) {
            if (watch.process) {
                watch.process->kill();
                watch.process->waitForFinished(kWaitMs);
            }
            watch = Watch();
        }
        portalServer_.reset();
        telegramServer_.reset();
        timing_.reset();
        dir_.reset();
    }

    void twoWatchesNoticeAndExportEveryRefusalOnce() {
        int published = 0;
        Publish(published++);
        Publish(published++);
        StartWatch(watches_[0]);
        // The second starts while the first is at work, a few seconds (scaled) later.
        QVERIFY2(WaitFor([&] { return watches_[0].runEnds >= 1; }, kWaitMs), State());
        StartWatch(watches_[1]);
        while (published < kRefusals) {
            const int first = watches_[0].runEnds;
            const int second = watches_[1].runEnds;
            Publish(published++);
            // Each watch ends a run after the refusal came, so either may be the one to meet it.
            QVERIFY2(
                WaitFor([&] { return watches_[0].runEnds > first && watches_[1].runEnds > second; },
                        kWaitMs),
                State());
        }
        QVERIFY2(WaitFor([&] { return AllDone(published); }, kWaitMs), State());
        for (Watch& watch : watches_) {
            watch.process->terminate();
            QVERIFY(watch.process->waitForFinished(kWaitMs));
            QCOMPARE(watch.process->exitCode(), 0);
        }

        // Exactly one row and one notice each, over both watches and all their files.
        const QStringList ids = ExportedIds();
        QCOMPARE(ids.size(), published);
        for (int i = 0; i < published; ++i) {
            QVERIFY2(ids.count(RegistryId(i)) == 1, qPrintable(RegistryId(i)));
            QVERIFY2(delivered_.count(SignedAt(i)) == 1, qPrintable(SignedAt(i)));
        }
        QStringList keys = QString::fromUtf8(ReadFile(dir_->filePath(QStringLiteral("have.txt"))))
                               .split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
        QVERIFY2(keys.size() == published, State());
        keys.removeDuplicates();
        QCOMPARE(keys.size(), published);

        // The requests of both processes, in the order they came, never closer than the spacing
        // (each starts after the one before was answered, which is after it arrived).
        std::sort(detailArrivals_.begin(), detailArrivals_.end());
        for (qsizetype i = 1; i < detailArrivals_.size(); ++i) {
            QVERIFY2(detailArrivals_[i] - detailArrivals_[i - 1] >= Timing().detailSpacingMs - 1,
                     qPrintable(QStringLiteral("request %1: %2 ms after the one before")
                                    .arg(i)
                                    .arg(detailArrivals_[i] - detailArrivals_[i - 1])));
        }
    }

    void haveFileThatCannotBeWrittenStopsTheRunBeforeAnything() {
        Publish(0);
        const QString have = dir_->filePath(QStringLiteral("have.txt"));
        WriteFile(have, "https://elsewhere/reject#01.01.2026 10:00\r\n");
        QVERIFY(QFile::setPermissions(have, QFile::ReadOwner | QFile::ReadOther));
        // Root may write any file: the program runs as nobody then, in a folder open to it.
        const bool root = ::geteuid() == 0;
        if (root) {
            QVERIFY(QFile::setPermissions(dir_->path(), QFile::Permissions(0x7777)));
            const QByteArray run = QFile::encodeName(dir_->filePath(QStringLiteral("run")));
            QCOMPARE(::chown(run.constData(), 65534, 65534), 0);
        }
        StartWatch(watches_[0], {QStringLiteral("--once")}, root ? 65534 : -1);
        QVERIFY(watches_[0].process->waitForFinished(kWaitMs));
        QCOMPARE(watches_[0].process->exitCode(), 2);
        const QStringList lines = watches_[0].lines;
        QVERIFY2(lines.filter(QStringLiteral("Не удалось записать файл ") + have +
                              QStringLiteral(": Permission denied"))
                         .size() == 1,
                 qPrintable(lines.join(u'\n')));
        QVERIFY(lines.filter(QStringLiteral("Обнаружен отказ")).isEmpty());
        QVERIFY(bot_->requests().isEmpty());
        QVERIFY(CsvFiles().isEmpty());
        QVERIFY(!QFile::exists(dir_->filePath(QStringLiteral("have-pending.txt"))));
    }
};

QTEST_MAIN(TwoWatchesTest)
#include "two_watches_test.moc"
