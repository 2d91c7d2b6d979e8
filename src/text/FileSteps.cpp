#include "text/FileSteps.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QByteArray>
#include <QFile>
#include <atomic>
#include <cstring>
#include <mutex>

namespace {

struct StepRecorder {
    bool on = false;
    QByteArray record;  // empty: kept nowhere
    qint64 killAt = -1;
    qint64 count = 0;
    std::mutex mutex;

    StepRecorder() {
        record = qgetenv("QUORVANE_TEST_STEPS");
        bool ok = false;
        const qint64 at = qEnvironmentVariable("QUORVANE_TEST_KILL_AT").toLongLong(&ok);
        killAt = ok ? at : -1;
        on = !record.isEmpty() || killAt > 0;
    }
};

StepRecorder& Recorder() {
    static StepRecorder recorder;
    return recorder;
}

void AppendLine(const QByteArray& path, const QByteArray& line) {
    const int fd = ::open(path.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        return;
    }
    // One write a line: a kill right after it leaves the line whole.
    const ssize_t written = ::write(fd, line.constData(), size_t(line.size()));
    static_cast<void>(written);
    ::close(fd);
}

}  // namespace

void FileStep(const char* call, const QString& path, qint64 offset, qint64 length,
              const QString& other) {
    StepRecorder& recorder = Recorder();
    if (!recorder.on) {
        return;
    }
    std::lock_guard lock(recorder.mutex);
    const qint64 number = ++recorder.count;
    if (!recorder.record.isEmpty()) {
        const bool replaces = std::strcmp(call, "rename") == 0 || std::strcmp(call, "unlink") == 0;
        if (replaces && QFile::exists(path)) {
            QFile::copy(path, QString::fromLocal8Bit(recorder.record) +
                                  QStringLiteral(".%1.old").arg(number));
        }
        const QByteArray line = QByteArray::number(number) + '\t' + call + '\t' +
                                QFile::encodeName(path) + '\t' + QByteArray::number(offset) + '\t' +
                                QByteArray::number(length) + '\t' + QFile::encodeName(other) + '\n';
        AppendLine(recorder.record, line);
    }
    if (number == recorder.killAt) {
        ::kill(::getpid(), SIGKILL);
    }
}
