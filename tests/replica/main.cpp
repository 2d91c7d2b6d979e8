// Runs the portal replica on its own until interrupted.
//
//   portal-replica [port]              an empty replica (every request answers 404)
//   portal-replica --demo DIR [--contracts N] [port]
//                                      the portal imitation with a seeded data set (150
//                                      contracts, or the first N of them) and the Telegram Bot
//                                      API imitation on the same server; writes StartURL.txt and
//                                      settings.ini into DIR for a demo run; each request to
//                                      the bot goes to standard error
#include <QCoreApplication>
#include <QDate>
#include <QDir>
#include <QFile>
#include <QTextStream>
#include <exception>
#include <optional>

#include "PortalImitation.h"
#include "PortalReplica.h"
#include "TelegramImitation.h"

namespace {

const QString kDemoToken = QStringLiteral("1234567890:demo-token-of-the-local-bot-imitation");

bool ParsePort(const char* text, quint16* port) {
    bool ok = false;
    const uint value = QString::fromLocal8Bit(text).toUInt(&ok);
    if (!ok || value > 65535) {
        return false;
    }
    *port = static_cast<quint16>(value);
    return true;
}

bool WriteText(const QString& path, const QString& text) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(text.toUtf8()) == text.toUtf8().size();
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    replica::PortalReplica::Options options;
    QString demoDir;
    int contracts = 150;
    int portArg = 0;
    bool usable = true;
    if (!args.isEmpty() && args.first() == QStringLiteral("--demo")) {
        usable = args.size() >= 2;
        demoDir = args.value(1);
        int next = 2;
        // A smaller data set makes a shorter run at the product's own request spacing.
        if (args.value(next) == QStringLiteral("--contracts")) {
            contracts = args.value(next + 1).toInt(&usable);
            usable = usable && contracts > 0;
            next += 2;
        }
        portArg = args.size() > next ? next + 1 : 0;
    } else if (!args.isEmpty()) {
        portArg = 1;
    }
    if (!usable || (portArg > 0 && !ParsePort(argv[portArg], &options.port))) {
        QTextStream(stderr) << "usage: portal-replica [--demo DIR [--contracts N]] [port]\n";
        return 2;
    }

    try {
        replica::PortalReplica server(options);
        // A month of contracts ending today, a few of them refused.
        const QDate today = QDate::currentDate();
        replica::PortalImitation portal(
            replica::MakePortalDataSet(contracts, today.addDays(-30), today, 2026, 6));
        replica::TelegramImitation telegram(kDemoToken);
        telegram.answerSuccess(QStringLiteral("demo_user"), QStringLiteral("quorvane_demo_bot"));
        if (!demoDir.isEmpty()) {
            server.setHandler([&](const replica::Request& request) {
                if (!request.path().startsWith("/bot")) {
                    return portal.handle(request);
                }
                // What the bot received, on standard error, so a demo shows its notices.
                QTextStream(stderr)
                    << "bot request: " << QString::fromUtf8(request.body) << Qt::endl;
                return telegram.handle(request);
            });
            QDir().mkpath(demoDir);
            const bool written =
                WriteText(QDir(demoDir).filePath(QStringLiteral("StartURL.txt")),
                          replica::PortalImitation::StartUrl(server.url()) + "\r\n") &&
                // The program checks the Telegram server's certificate: the imitation's own
                // is trusted through TgCaFile.
                WriteText(QDir(demoDir).filePath(QStringLiteral("telegram-ca.pem")),
                          QString::fromLatin1(replica::TestIdentity().certificate.toPem())) &&
                WriteText(QDir(demoDir).filePath(QStringLiteral("settings.ini")),
                          QStringLiteral("[Settings]\r\nBotToken=%1\r\nTgUserId=100200300\r\n"
                                         "TgApiUrl=%2\r\nTgCaFile=telegram-ca.pem\r\n")
                              .arg(kDemoToken, server.url()));
            if (!written) {
                QTextStream(stderr) << "cannot write the demo files into " << demoDir << "\n";
                return 1;
            }
        }
        QTextStream(stdout) << server.url() << Qt::endl;
        return app.exec();
    } catch (const std::exception& e) {
        QTextStream(stderr) << e.what() << Qt::endl;
        return 1;
    }
}
