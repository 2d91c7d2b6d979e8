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
    // StartURL.txt's whole text, trimmed; empty when `startProblem` says why it cannot be used.
    QString startUrl;
    QString startProblem;  // the line that names the file and what it must hold
    QString portalBase;    // scheme, host and port of startUrl

    static RunInputs Read(const RunOptions& options);
};

// The Telegram settings of settings.ini in `programDir`; "TgCaFile" is relative to that folder.
TelegramSettings ReadTelegramSettings(const QString& programDir);
