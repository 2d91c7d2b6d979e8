#pragma once

#include <QDate>
#include <QString>
#include <QtGlobal>
#include <memory>

class RecheckLedger;

// What a face sets before a run starts; the driver only reads it.
struct RunOptions {
    bool useProxy = false;  // the proxies of proxy.txt
    QDate contractFrom;     // contract dates; a null date means no bound
    QDate contractTo;
    QDate refusalFrom;  // the refusal-date filter; null means no bound
    QDate refusalTo;
    // A test export: the search takes the fixed contract dates 01.01.2026 to 01.02.2026.
    bool testExport = false;
    QString programDir;  // settings.ini, proxy.txt, logs and CSV files (empty: the program's)
    QString workDir;     // have.txt and StartURL.txt (empty: the current directory)
    QString mutexName = QStringLiteral("QuorvaneMutex");
    // Fetch workers the listing phase may run at once at the start; the run's control changes it.
    int threadLimit = 30;
    // The stack of each worker thread; 0 is the system's default. Tests set one that no thread
    // can have, to see a worker that cannot start.
    uint workerStackSize = 0;
    // The runs repeat (a watch): refusal pages met before are checked again in turns, as much
    // as the share in settings.ini allows, oldest check first; a single run checks every page.
    bool repeating = false;
    // What the watch's earlier runs checked; null: a memory of this run's own.
    std::shared_ptr<RecheckLedger> recheckLedger;
    // The last run gave up on a portal that refused every request: this one sends one request
    // and gives up at its first failure, until the portal answers.
    bool probe = false;

    // Where a run's files are: beside the program, and in the work folder.
    QString ProgramPath(const QString& name) const;
    QString WorkPath(const QString& name) const;
};
