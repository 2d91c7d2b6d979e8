#pragma once

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QFile>
#include <QString>
#include <QStringList>

// A service manager's notification socket: the datagrams a notify-type service sent to it.
class NotifySocket {
public:
    explicit NotifySocket(const QString& path)
        : fd_(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)) {
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        qstrncpy(address.sun_path, QFile::encodeName(path).constData(), sizeof(address.sun_path));
        bound_ = bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
    }
    ~NotifySocket() { close(fd_); }
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    bool Bound() const { return bound_; }
    // Every datagram so far, reading what has come since the last call.
    QStringList Messages() {
        char buffer[4096];
        for (ssize_t size; (size = recv(fd_, buffer, sizeof(buffer), 0)) > 0;) {
            messages_ << QString::fromUtf8(buffer, static_cast<qsizetype>(size));
        }
        return messages_;
    }
    // The same, one datagram a line.
    QString Received() { return Messages().join(QLatin1Char('\n')); }

private:
    int fd_;
    bool bound_ = false;
    QStringList messages_;
};
