#pragma once

#include <QObject>
#include <QTimer>

// The headless watch as a systemd unit of Type=notify sees it: ready once the first run has
// begun, a one-line status, stopping, and watchdog pings from the event loop of the thread that
// owns this object, so that a watch whose loop no longer turns is restarted by the manager.
// Without a service manager (no NOTIFY_SOCKET) every call does nothing.
class ServiceNotifier : public QObject {
    Q_OBJECT
public:
    explicit ServiceNotifier(QObject* parent = nullptr);

    // The first call tells the manager the service is up, with `status` as its status line.
    void Ready(const QString& status);
    void Status(const QString& line);
    void Stopping();

private:
    static void Send(const QByteArray& state);

    QTimer watchdog_;
    bool ready_ = false;
};
