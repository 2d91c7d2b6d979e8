#include "app/StopSignals.h"

#include <fcntl.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <atomic>
#include <cerrno>
#include <csignal>

namespace {

int stopPipe[2] = {-1, -1};
std::atomic<int> stopSignals{0};

void OnStopSignal(int) {
    if (stopSignals.fetch_add(1) > 0) {
        // The operator insists: no end-of-run lines. Every file is written whole or replaced
        // in one step, so none is left torn.
        _exit(0);
    }
    const int savedErrno = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = write(stopPipe[1], &byte, 1);
    errno = savedErrno;
}

}  // namespace

StopSignals::StopSignals(QObject* parent) : QObject(parent) {
    if (pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        qFatal("cannot create the stop-signal pipe");
    }
    notifier_ = new QSocketNotifier(stopPipe[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] {
        char byte = 0;
        while (read(stopPipe[0], &byte, 1) > 0) {
        }
        emit stopRequested();
    });
    struct sigaction action = {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

StopSignals::~StopSignals() {
    signal(SIGTERM, SIG_DFL);
    signal(SIGINT, SIG_DFL);
    delete notifier_;
    close(stopPipe[0]);
    close(stopPipe[1]);
    stopPipe[0] = stopPipe[1] = -1;
}
