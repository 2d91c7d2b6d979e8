#include "app/ServiceNotifier.h"

#include <systemd/sd-daemon.h>

#include <algorithm>
#include <climits>
#include <cstdint>

namespace {

// A status is shown as one line; the manager would cut it at the first line break.
QByteArray StatusField(const QString& line) {
    QString text = line;
    text.replace(QLatin1Char('\n'), QLatin1Char(' ')).replace(QLatin1Char('\r'), QLatin1Char(' '));
    return "STATUS=" + text.toUtf8();
}

}  // namespace

ServiceNotifier::ServiceNotifier(QObject* parent) : QObject(parent) {
    // Read, not unset: the watch starts no children that could take the variables for theirs.
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
        // Half the manager's timeout, as sd_watchdog_enabled(3) advises.
        const uint64_t ms = std::clamp<uint64_t>(usec / 2000, 1, INT_MAX);
        watchdog_.setInterval(static_cast<int>(ms));
        connect(&watchdog_, &QTimer::timeout, this, [] { Send("WATCHDOG=1"); });
        watchdog_.start();
    }
}

void ServiceNotifier::Ready(const QString& status) {
    if (ready_) {
        return;
    }
    ready_ = true;
    Send("READY=1\n" + StatusField(status));
}

void ServiceNotifier::Status(const QString& line) {
    Send(StatusField(line));
}

void ServiceNotifier::Stopping() {
    Send("STOPPING=1");
}

void ServiceNotifier::Send(const QByteArray& state) {
    // Nothing to do without NOTIFY_SOCKET; a manager that cannot be reached is no reason to
    // stop watching the portal.
    sd_notify(0, state.constData());
}
