#pragma once

#include <QString>

// An exclusive advisory lock on a file (flock), shared by every process that opens the same
// path. The system drops it when its holder dies, so a killed process never leaves it held.
// Two FileLock objects exclude each other even in one process; one object is for one thread.
class FileLock {
public:
    // Opens (creating when needed) the lock file. Throws RunError when it cannot.
    explicit FileLock(const QString& path);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    void Lock();
    // Takes the lock only when nobody holds it.
    bool TryLock();
    void Unlock();

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
    explicit FileLockGuard(FileLock& lock) : lock_(lock) { lock_.Lock(); }
    ~FileLockGuard() { lock_.Unlock(); }
    FileLockGuard(const FileLockGuard&) = delete;
    FileLockGuard& operator=(const FileLockGuard&) = delete;

private:
    FileLock& lock_;
};
