#include "text/FileLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QFile>
#include <cerrno>
#include <cstring>

#include "text/RunError.h"

FileLock::FileLock(const QString& path) : path_(path) {
    fd_ = ::open(QFile::encodeName(path_).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd_ < 0) {
        throw RunError(QStringLiteral("Не удалось открыть файл %1: %2")
                           .arg(path_, QString::fromLocal8Bit(std::strerror(errno))));
    }
}

FileLock::~FileLock() {
    Unlock();
    ::close(fd_);
}

void FileLock::Lock() {
    while (::flock(fd_, LOCK_EX) != 0) {
        if (errno != EINTR) {
            throw RunError(QStringLiteral("Не удалось заблокировать файл %1: %2")
                               .arg(path_, QString::fromLocal8Bit(std::strerror(errno))));
        }
    }
    locked_ = true;
}

bool FileLock::TryLock() {
    int rc = 0;
    do {
        rc = ::flock(fd_, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    locked_ = rc == 0;
    return locked_;
}

void FileLock::Unlock() {
    if (locked_) {
        ::flock(fd_, LOCK_UN);
        locked_ = false;
    }
}

bool FileLock::HeldByAnyone(const QString& path) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    int rc = 0;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    const bool held = rc != 0 && errno == EWOULDBLOCK;
    ::close(fd);  // also drops the lock taken just now
    return held;
}
