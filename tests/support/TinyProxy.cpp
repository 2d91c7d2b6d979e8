#include "support/TinyProxy.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

namespace {

constexpr const char* kTinyProxy = "/usr/bin/tinyproxy";
constexpr int kStartTimeoutMs = 10000;

bool Accepts(quint16 port) {
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, port);
    return probe.waitForConnected(200);
}

}  // namespace

quint16 FreeLoopbackPort() {
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0)) {
        return 0;
    }
    return server.serverPort();
}

TinyProxy::~TinyProxy() {
    stop();
}

bool TinyProxy::Installed() {
    return QFileInfo(QString::fromLatin1(kTinyProxy)).isExecutable();
}

bool TinyProxy::start(const Options& options, QString* error) {
    stop();
    dir_ = std::make_unique<QTemporaryDir>();
    port_ = FreeLoopbackPort();
    if (!dir_->isValid() || port_ == 0) {
        *error = QStringLiteral("no temporary folder or free port for tinyproxy");
        return false;
    }
    QString config;
    config += QStringLiteral("Port %1\n").arg(port_);
    config += QStringLiteral("Listen 127.0.0.1\n");
    config += QStringLiteral("Timeout 30\n");
    config += QStringLiteral("MaxClients 20\n");
    config += QStringLiteral("Allow 127.0.0.1\n");
    config += QStringLiteral("LogLevel Info\n");
    config += QStringLiteral("LogFile \"%1\"\n").arg(dir_->filePath("tinyproxy.log"));
    if (!options.user.isEmpty()) {
        config += QStringLiteral("BasicAuth %1 %2\n").arg(options.user, options.password);
    }
    // Listing any ConnectPort replaces tinyproxy's default of 443 and 563.
    config += QStringLiteral("ConnectPort 443\n");
    for (quint16 port : options.connectPorts) {
        config += QStringLiteral("ConnectPort %1\n").arg(port);
    }
    const QString configPath = dir_->filePath("tinyproxy.conf");
    QFile file(configPath);
    if (!file.open(QIODevice::WriteOnly) || file.write(config.toUtf8()) < 0) {
        *error = QStringLiteral("cannot write ") + configPath;
        return false;
    }
    file.close();

    process_ = std::make_unique<QProcess>();
    process_->setProcessChannelMode(QProcess::MergedChannels);
    process_->start(QString::fromLatin1(kTinyProxy), {"-d", "-c", configPath});
    if (!process_->waitForStarted(kStartTimeoutMs)) {
        *error = QStringLiteral("tinyproxy did not start: ") + process_->errorString();
        return false;
    }
    QElapsedTimer timer;
    timer.start();
    while (!Accepts(port_)) {
        if (process_->state() != QProcess::Running || timer.elapsed() > kStartTimeoutMs) {
            *error = QStringLiteral("tinyproxy does not accept connections: ") + log();
            return false;
        }
        QThread::msleep(20);
    }
    return true;
}

void TinyProxy::stop() {
    if (process_ && process_->state() != QProcess::NotRunning) {
        process_->terminate();
        if (!process_->waitForFinished(3000)) {
            process_->kill();
            process_->waitForFinished(3000);
        }
    }
    process_.reset();
}

QString TinyProxy::log() const {
    QString text;
    if (process_) {
        text += QString::fromLocal8Bit(process_->readAll());
    }
    if (dir_) {
        QFile file(dir_->filePath("tinyproxy.log"));
        if (file.open(QIODevice::ReadOnly)) {
            text += QString::fromLocal8Bit(file.readAll());
        }
    }
    return text;
}
