#pragma once

#include <QByteArray>
#include <QString>

// settings.ini in `dir` for notices to user 42 through the Bot API at `apiUrl` with `token`,
// trusting the replica's test certificate, written beside it as telegram-ca.pem. `moreLines`
// (each ending in CR LF) follow in the same section.
void WriteTelegramSettings(const QString& dir, const QString& apiUrl, const QString& token,
                           const QByteArray& moreLines = {});
