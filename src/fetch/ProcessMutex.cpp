#include "fetch/ProcessMutex.h"

#include <fcntl.h>

#include <QDir>
#include <QStandardPaths>
#include <cerrno>
#include <cstring>
#include <map>

#include "text/RunError.h"

namespace {

// flock() does not exclude threads that share one open file description, and two descriptors
// of one process exclude each other only through the kernel; a per-name process mutex in front
// keeps the threads of this process in order first.
std::mutex& LocalMutexFor(const QString& name) {
    static std::mutex registryMutex;
    static std::map<QString, std::mutex> registry;
    std::lock_guard lock(registryMutex);
    return registry[name];
}

QString LockDirectory() {
    QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (dir.isEmpty() || !QDir(dir).exists()) {
        dir = QDir::tempPath();
    }
    return dir;
}

}  // namespace

ProcessMutex::ProcessMutex(const QString& name) : local_(&LocalMutexFor(name)) {
    if (!file_.Open(LockDirectory() + QLatin1Char('/') + name + QStringLiteral(".lock"),
                    O_RDWR | O_CREAT)) {
        throw RunError(QString::fromLocal8Bit(std::strerror(errno)));
    }
}

void ProcessMutex::lock() {
    local_->lock();
    // Should the system refuse the file lock, the threads of this process still keep order.
    file_.Acquire(FileLock::Mode::Exclusive);
}

void ProcessMutex::unlock() {
    file_.Unlock();
    local_->unlock();
}
