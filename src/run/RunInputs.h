#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include "notify/TelegramNotice.h"
#include "run/RunOptions.h"

// What a run reads from its files once at set-up: the proxies, the Telegram settings and the
// start address. The phases only read it.
struct RunInputs {
    QStringList proxies;             // proxy.txt's proxies, in file order
    QList<int> malformedProxyLines;  // its lines that name no proxy, logged at set-up
    TelegramSettings telegram;       // empty token or user id: no notices
    // StartURL.txt's searches, one a line, in file order; none when `startProblem` says why
    // the file cannot be used.
    QStringList startUrls;
    QString startProblem;           // the line that names the file and what it must hold
    QStringList startLineProblems;  // lines of the file that are no search, each named
    QString portalBase;             // scheme, host and port of the first search
    // A PEM file of certificates the portal's chain must end in, besides the system's
    // ("PortalCaFile"); empty: the portal's certificate is not checked.
    QString portalCaFile;
    // How long of detail requests a repeating run spends on refusal pages met before; 0: every
    // such page every run.
    qint64 recheckShareMs = 0;

    static RunInputs Read(const RunOptions& options);
};
