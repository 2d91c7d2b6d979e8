// Runs the portal replica on its own until interrupted: portal-replica [port]
#include <QCoreApplication>
#include <QTextStream>
#include <exception>

#include "PortalReplica.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    replica::PortalReplica::Options options;
    if (argc > 1) {
        bool ok = false;
        const uint port = QString::fromLocal8Bit(argv[1]).toUInt(&ok);
        if (!ok || port > 65535) {
            QTextStream(stderr) << "usage: portal-replica [port]\n";
            return 2;
        }
        options.port = static_cast<quint16>(port);
    }
    try {
        replica::PortalReplica replica(options);
        QTextStream(stdout) << replica.url() << Qt::endl;
        return app.exec();
    } catch (const std::exception& e) {
        QTextStream(stderr) << e.what() << Qt::endl;
        return 1;
    }
}
