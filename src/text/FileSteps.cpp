#include "text/FileSteps.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QByteArray>
#include <QFile>
#include <QHash>
#include <atomic>
#include <cstring>
#include <mutex>

namespace {

struct StepRecorder {
    bool on = false;
    QByteArray record;    // empty: kept nowhere
    QByteArray killKind;  // empty: no kill
    qint64 killAt = -1;
    qint64 count = 0;
    QHash<QByteArray, qint64> kinds;
    std::mutex mutex;

    StepRecorder() {
        record = qgetenv("QUORVANE_TEST_STEPS");
        const QByteArray kill = qgetenv("QUORVANE_TEST_KILL_AT");
        const qsizetype at = kill.lastIndexOf(' ');
        if (at > 0) {
            killKind = kill.left(at);
            killAt = kill.mid(at + 1).toLongLong();
        }
        on = !record.isEmpty() || !killKind.isEmpty();
    }
};

// The step's call and file as they come again in another run of the same work: a temporary
// file's random part and a CSV file's time stamp left out.
QByteArray KindOf(const char* call, const QString& path) {
    QString name = path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
    const qsizetype temp = name.lastIndexOf(QLatin1String(".new-"));
    if (temp > 0) {
        name = name.left(temp + 4);
    }
    if (name.endsWith(QLatin1String(".csv"))) {
        name = QStringLiteral("*.csv");
    }
    return QByteArray(call) + ':' + QFile::encodeName(name);
}

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
    // Counted by kind, as threads may interleave steps of different kinds differently each run.
    const QByteArray kind = KindOf(call, path);
    const qint64 ofKind = ++recorder.kinds[kind];
    if (!recorder.record.isEmpty()) {
        const bool replaces = std::strcmp(call, "rename") == 0 || std::strcmp(call, "unlink") == 0;
        if (replaces && QFile::exists(path)) {
            QFile::copy(path, QString::fromLocal8Bit(recorder.record) +
                                  QStringLiteral(".%1.old").arg(number));
        }
        const QByteArray line = QByteArray::number(number) + '\t' + call + '\t' +
                                QFile::encodeName(path) + '\t' + QByteArray::number(offset) + '\t' +
                                QByteArray::number(length) + '\t' + QFile::encodeName(other) +
                                '\t' + kind + '\t' + QByteArray::number(ofKind) + '\n';
        AppendLine(recorder.record, line);
    }
    if (ofKind == recorder.killAt && kind == recorder.killKind) {
        ::kill(::getpid(), SIGKILL);
    }
}
