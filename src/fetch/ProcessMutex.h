#pragma once

#include <QString>
#include <mutex>

#include "text/FileLock.h"

// A mutex shared by every thread of this process and, through an advisory file lock in the
// runtime directory, by every process that uses the same name. The operating system drops the
// file lock when a process dies, so a crashed process can never leave the mutex held.
class ProcessMutex {
public:
    // Opens (creating when needed) the lock file for `name`. Throws RunError when it cannot.
    explicit ProcessMutex(const QString& name);

    void lock();
    void unlock();

    QString lockFilePath() const { return file_.path(); }
    // The lock file, open for reading and writing; what it holds is read and written only by
    // the holder of the lock.
    int fd() const { return file_.fd(); }

private:
    FileLock file_;
    std::mutex* local_;  // one per name, shared by every ProcessMutex of the process
};
