#include "text/FileLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <cerrno>
#include <cstring>
#include <utility>

#include "text/RunError.h"

namespace {

int Operation(FileLock::Mode mode) {
    return mode == FileLock::Mode::Shared ? LOCK_SH : LOCK_EX;
}

}  // namespace

FileLock::FileLock(const QString& path) {
    if (!Open(path, O_RDWR | O_CREAT)) {
        throw RunError(QStringLiteral("Не удалось открыть файл %1: %2")
                           .arg(path, QString::fromLocal8Bit(std::strerror(errno))));
    }
}

FileLock::FileLock(FileLock&& other) noexcept
    : path_(std::move(other.path_)),
      fd_(std::exchange(other.fd_, -1)),
      locked_(std::exchange(other.locked_, false)) {}

FileLock::~FileLock() {
    Close();
}

bool FileLock::Open(const QString& path, int flags) {
    Close();
    path_ = path;
    fd_ = ::open(QFile::encodeName(path_).constData(), flags | O_CLOEXEC, 0666);
    return fd_ >= 0;
}

bool FileLock::OpenLocked(const QString& path, int flags, Mode mode) {
    const QByteArray name = QFile::encodeName(path);
    for (;;) {
        if (!Open(path, flags)) {
            return false;
        }
        struct stat opened {};
        if (!Acquire(mode) || ::fstat(fd_, &opened) != 0) {
            Close();
            return false;
        }
        struct stat named {};
        if (::stat(name.constData(), &named) == 0 && named.st_dev == opened.st_dev &&
            named.st_ino == opened.st_ino) {
            return true;
        }
        Close();
    }
}

void FileLock::Close() {
    if (fd_ >= 0) {
        const int saved = errno;
        Unlock();
        ::close(fd_);
        fd_ = -1;
        errno = saved;
    }
}

bool FileLock::Acquire(Mode mode) {
    while (::flock(fd_, Operation(mode)) != 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    locked_ = true;
    return true;
}

void FileLock::Lock(Mode mode) {
    if (!Acquire(mode)) {
        throw RunError(QStringLiteral("Не удалось заблокировать файл %1: %2")
                           .arg(path_, QString::fromLocal8Bit(std::strerror(errno))));
    }
}

bool FileLock::TryLock(Mode mode) {
    int rc = 0;
    do {
        rc = ::flock(fd_, Operation(mode) | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    locked_ = rc == 0;
    return locked_;
}

void FileLock::Unlock() {
    if (locked_) {
        // Dropped here rather than on close: a child forked meanwhile shares the open file.
        ::flock(fd_, LOCK_UN);
        locked_ = false;
    }
}

bool FileLock::HeldByAnyone(const QString& path) {
    FileLock probe;
    if (!probe.Open(path, O_RDWR)) {
        return false;
    }
    // The lock taken here, should it be free, goes with the probe.
    return !probe.TryLock() && errno == EWOULDBLOCK;
}
