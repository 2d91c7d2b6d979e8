// How long a refusal published on the portal waits for its notice while a headless watch (the
// program with its timing scaled down twenty times, as the tests run it) watches a search that
// lists N refusals met before. Not a test: run by hand, see README.md's "Benchmarks".
//
//   latency_benchmark [PROBE] [N...]
//
// PROBE is the scaled program (build/tests/app/headless_probe by default; a probe built from
// other code compares that code); N defaults to 100, 1000 and 10000.
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <cstdio>

#include "PortalImitation.h"
#include "PortalReplica.h"
#include "TelegramImitation.h"
#include "support/TelegramSettings.h"
#include "support/TestSupport.h"

namespace {

const QString kToken = QStringLiteral("1234567890:AAE-latency-benchmark");

QString RegistryId(int n) {
    return QStringLiteral("3770%1").arg(n, 15, 10, QLatin1Char('0'));
}

replica::ContractRecord Refused(int n) {
    replica::ContractRecord contract =
        replica::MakeContract(RegistryId(n), QDate(2026, 1, 1 + n % 31), 1000 + n);
    replica::AddRefusal(contract,
                        {replica::CustomerRefusal(QStringLiteral("%1.02.2026 %2:%3")
                                                      .arg(1 + n % 28, 2, 10, QLatin1Char('0'))
                                                      .arg(n / 60 % 24, 2, 10, QLatin1Char('0'))
                                                      .arg(n % 60, 2, 10, QLatin1Char('0')))});
    return contract;
}

// Reads the watch's output until a line holds `text` or `timeoutMs` passed.
bool WaitForLine(QProcess& watch, const QString& text, qint64 timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    QString buffer;
    while (clock.elapsed() < timeoutMs) {
        if (watch.state() == QProcess::NotRunning) {
            return false;
        }
        watch.waitForReadyRead(200);
        buffer += QString::fromUtf8(watch.readAllStandardOutput());
        if (buffer.contains(text)) {
            return true;
        }
        buffer = buffer.right(4096);
    }
    return false;
}

void Measure(const QString& probe, int known) {
    QTemporaryDir dir;
    replica::PortalDataSet data;
    for (int n = 0; n < known; ++n) {
        data.contracts.append(Refused(n));
    }
    replica::PortalImitation portal(data);
    replica::PortalReplica server;
    server.setHandler(portal.handler());
    replica::TelegramImitation bot(kToken);
    bot.answerSuccess(QStringLiteral("user"), QStringLiteral("bot"));
    replica::PortalReplica telegram;
    telegram.setHandler(bot.handler());

    WriteFile(dir.filePath(QStringLiteral("StartURL.txt")),
              replica::PortalImitation::StartUrl(server.url()).toUtf8());
    WriteTelegramSettings(dir.path(), telegram.url(), kToken);
    QByteArray have;
    for (const replica::ContractRecord& contract : data.contracts) {
        have += (server.url() + replica::PortalImitation::kRejectPath + "?" + contract.rejectQuery +
                 "#" + contract.documents.first().signedAt + "\r\n")
                    .toUtf8();
    }
    WriteFile(dir.filePath(QStringLiteral("have.txt")), have);

    QProcess watch;
    watch.setProcessChannelMode(QProcess::MergedChannels);
    watch.start(probe, {QStringLiteral("--headless"), QStringLiteral("--dir"), dir.path(),
                        QStringLiteral("--contract-from"), QStringLiteral("01.01.2026"),
                        QStringLiteral("--contract-to"), QStringLiteral("31.01.2026")});
    QElapsedTimer clock;
    clock.start();
    // Every known page at the scaled 100 ms, three times over, is the most a first run may take.
    const qint64 bound = 60000 + static_cast<qint64>(known) * 300;
    if (!WaitForLine(watch, QStringLiteral("Повторная выгрузка начнётся через"), bound)) {
        std::printf("%6d known: the first run did not end within %lld s\n", known, bound / 1000);
        watch.kill();
        watch.waitForFinished();
        return;
    }
    const double firstRun = static_cast<double>(clock.elapsed()) / 1000;

    // Published as the first run ends: the worst moment for a watch that reads every page.
    data.contracts.append(Refused(known));
    portal.setData(data);
    clock.restart();
    while (bot.requests().isEmpty() && clock.elapsed() < 2 * bound) {
        watch.waitForReadyRead(100);
        watch.readAllStandardOutput();
    }
    const bool delivered = !bot.requests().isEmpty();
    std::printf("%6d known: first run %.1f s, new refusal's notice after %.1f s%s\n", known,
                firstRun, static_cast<double>(clock.elapsed()) / 1000,
                delivered ? "" : " (not delivered)");
    std::fflush(stdout);
    watch.kill();
    watch.waitForFinished();
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    QString probe = QStringLiteral(QUORVANE_PROBE);
    QList<int> counts;
    for (const QString& arg : args) {
        bool number = false;
        const int count = arg.toInt(&number);
        if (number) {
            counts.append(count);
        } else {
            probe = arg;
        }
    }
    if (counts.isEmpty()) {
        counts = {100, 1000, 10000};
    }
    std::printf("probe %s, timing scaled down 20 times (100 ms between detail requests)\n",
                qPrintable(probe));
    for (int count : counts) {
        Measure(probe, count);
    }
    return 0;
}
