#pragma once

#include <QString>

// An advisory lock on a file (flock), shared by every process that opens the same path, and the
// file itself, open for whoever reads or writes it under the lock. The system drops the lock
// when its holder dies or closes the file, so a killed process never leaves it held. Two
// FileLock objects exclude each other even in one process; one object is for one thread.
//
// The file is always opened with O_CLOEXEC, so a child program never inherits a lock.
class FileLock {
public:
    enum class Mode { Exclusive, Shared };

    // Not open yet: Open or OpenLocked opens it.
    FileLock() = default;
    // Opens (creating when needed) the lock file. Throws RunError when it cannot.
    explicit FileLock(const QString& path);
    ~FileLock();
    FileLock(FileLock&& other) noexcept;
    FileLock& operator=(FileLock&&) = delete;
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // Opens `path` with `flags` (a file it creates gets mode 0666 less the umask). False, with
    // errno telling why, when it cannot.
    bool Open(const QString& path, int flags);
    // Opens and locks the file `path` names at the moment the lock is taken: a file replaced
    // while this waited is opened again, so the lock is never on one that is gone. False, with
    // errno telling why, when it cannot.
    bool OpenLocked(const QString& path, int flags, Mode mode);
    // Closes the file, which drops the lock; errno is left as it was.
    void Close();

    // Waits for the lock. False, with errno telling why, when the system refuses it.
    bool Acquire(Mode mode);
    // Waits for the lock. Throws RunError when the system refuses it.
    void Lock(Mode mode = Mode::Exclusive);
    // Takes the lock only when nobody holds it; otherwise errno tells why not.
    bool TryLock(Mode mode = Mode::Exclusive);
    void Unlock();

    bool isOpen() const { return fd_ >= 0; }
    const QString& path() const { return path_; }
    // What the file holds is read and written only by the holder of the lock.
    int fd() const { return fd_; }

    // Whether some process holds the lock on `path`; false when the file does not exist.
    static bool HeldByAnyone(const QString& path);

private:
    QString path_;
    int fd_ = -1;
    bool locked_ = false;
};

// Holds a FileLock for one scope.
class FileLockGuard {
public:
    explicit FileLockGuard(FileLock& lock, FileLock::Mode mode = FileLock::Mode::Exclusive)
        : lock_(lock) {
        lock_.Lock(mode);
    }
    ~FileLockGuard() { lock_.Unlock(); }
    FileLockGuard(const FileLockGuard&) = delete;
    FileLockGuard& operator=(const FileLockGuard&) = delete;

private:
    FileLock& lock_;
};
