#include "fetch/RequestSpacing.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <mutex>

namespace {

// Milliseconds of the monotonic clock, which every process on the machine reads alike.
qint64 MonotonicMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// A moment is of this boot only when it is not in the future (a file in a persistent /tmp
// outlives a reboot, and the clock starts again from zero).
qint64 PastOrNone(qint64 moment, qint64 now) {
    return moment > 0 && moment <= now ? moment : 0;
}

bool ProcessLives(qint64 pid) {
    return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

}  // namespace

RequestSpacing::RequestSpacing(const QString& name) : mutex_(name) {}

RequestSpacing::Moments RequestSpacing::Read() const {
    qint64 values[3] = {0, 0, 0};
    const ssize_t n = ::pread(mutex_.fd(), values, sizeof values, 0);
    if (n != static_cast<ssize_t>(sizeof values)) {
        return {};  // a new file, or one an older version left empty
    }
    return {values[0], values[1], values[2]};
}

void RequestSpacing::Write(const Moments& moments) const {
    const qint64 values[3] = {moments.done, moments.start, moments.startPid};
    // Should the file not take it, this process still keeps its own spacing through lastDone_.
    if (::pwrite(mutex_.fd(), values, sizeof values, 0) != sizeof values) {
        return;
    }
}

void RequestSpacing::RecordDone() {
    std::lock_guard lock(mutex_);
    const qint64 now = MonotonicMs();
    lastDone_.store(now);
    Moments moments = Read();
    moments.done = std::max(PastOrNone(moments.done, now), now);
    Write(moments);
}

qint64 RequestSpacing::TryStart(qint64 spacingMs, qint64 inFlightLimitMs) {
    std::lock_guard lock(mutex_);
    const qint64 now = MonotonicMs();
    Moments moments = Read();
    const qint64 done = std::max(PastOrNone(moments.done, now), lastDone_.load());
    qint64 wait = done > 0 ? done + spacingMs - now : 0;
    const qint64 start = PastOrNone(moments.start, now);
    if (start > 0 && moments.startPid != ::getpid()) {
        wait = std::max(wait, start + spacingMs - now);
        // Its response, when it comes, moves the moment on; until then this looks again often.
        if (start > done && now - start < inFlightLimitMs && ProcessLives(moments.startPid)) {
            wait = std::max(wait, std::max<qint64>(1, spacingMs / 10));
        }
    }
    if (wait > 0) {
        return wait;
    }
    moments.done = PastOrNone(moments.done, now);
    moments.start = now;
    moments.startPid = ::getpid();
    Write(moments);
    return 0;
}
