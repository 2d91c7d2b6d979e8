#pragma once

#include <QList>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <memory>

// A real tinyproxy on 127.0.0.1 for tests that go through an HTTP proxy. It is configured in a
// temporary folder, listens on a free port, and is stopped when the object goes away.
class TinyProxy {
public:
    struct Options {
        QString user;  // empty: no authentication
        QString password;
        QList<quint16> connectPorts;  // ports CONNECT may reach besides 443
    };

    TinyProxy() = default;
    ~TinyProxy();
    TinyProxy(const TinyProxy&) = delete;
    TinyProxy& operator=(const TinyProxy&) = delete;

    static bool Installed();

    // Starts the proxy and waits (bounded) until it accepts connections. Returns false and sets
    // `error` when it does not come up.
    bool start(const Options& options, QString* error);
    void stop();

    quint16 port() const { return port_; }
    // The proxy's log so far, for failure messages.
    QString log() const;

private:
    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<QProcess> process_;
    quint16 port_ = 0;
};

// A loopback port that nothing listens on at the moment of the call.
quint16 FreeLoopbackPort();
