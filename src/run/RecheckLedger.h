#pragma once

#include <QHash>
#include <QString>
#include <QStringList>
#include <mutex>

// When each refusal page met before was last checked again by this process, so that a watch
// whose search lists more known pages than one run may check goes round them all in turn. Lives
// as long as the watch; runs on one thread at a time use it, a lock keeps it sound anyway.
class RecheckLedger {
public:
    // At most `budget` of `pages` (given in listing order) to check again now: the pages this
    // process has not checked yet first, in listing order, then the ones checked longest ago.
    QStringList Pick(const QStringList& pages, qsizetype budget) const;
    // The page was read just now.
    void Checked(const QString& page);

private:
    mutable std::mutex mutex_;
    QHash<QString, quint64> lastChecked_;  // the page's place in the order of checks
    quint64 checks_ = 0;
};
