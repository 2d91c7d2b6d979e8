#pragma once

#include <QDateTime>
#include <QHash>
#include <QString>

// What the watch knows of the portal's health across runs and restarts ("health.txt" beside
// have.txt): whether the last run that judged it was blind, when a health notice was last
// queued, and each search's last count with a drop that waits for the next run to confirm it.
struct HealthRecord {
    bool blind = false;
    QString cause;  // what showed the blind state, and an address that showed it
    QString address;
    QDateTime noticeUtc;  // the last health notice queued; null: none
    struct SearchCount {
        qint32 last = -1;      // the count the last run that read the search saw
        qint32 dropFrom = -1;  // a drop to `last` from this, not confirmed yet; -1: none
    };
    QHash<QString, SearchCount> searches;  // by the start address as StartURL.txt gives it
};

// The record of `workDir`; an empty one when there is none. Throws RunError when it cannot be
// read.
HealthRecord ReadHealthFile(const QString& workDir);
// Replaces the file whole. Throws RunError when it cannot.
void WriteHealthFile(const QString& workDir, const HealthRecord& record);
