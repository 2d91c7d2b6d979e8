#include "fetch/ProcessMutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

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

ProcessMutex::ProcessMutex(const QString& name)
    : path_(LockDirectory() + QLatin1Char('/') + name + QStringLiteral(".lock")),
      local_(&LocalMutexFor(name)) {
    fd_ = ::open(QFile::encodeName(path_).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd_ < 0) {
        throw RunError(QString::fromLocal8Bit(std::strerror(errno)));
    }
}

ProcessMutex::~ProcessMutex() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

void ProcessMutex::lock() {
    local_->lock();
    while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
}

void ProcessMutex::unlock() {
    ::flock(fd_, LOCK_UN);
    local_->unlock();
}
