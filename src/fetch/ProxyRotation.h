#pragma once

#include <QString>
#include <QStringList>
#include <atomic>

#include "http/HttpClient.h"

// The next line of the proxy list, walking down it and wrapping to the top; advances `cursor`
// atomically so concurrent workers never get the same line through a lost update. An empty
// list gives an empty line and leaves the cursor alone.
QString NextProxy(const QStringList& list, std::atomic<qint32>& cursor);

// Host, port, user and password of one proxy line by the forms below; a line of neither form
// gives an empty host.
HttpClient::Proxy ReadProxyLine(const QString& line);

// Whether a line names a proxy: a host, and a port that is empty or a number from 1 to 65535.
bool IsProxyLine(const QString& line);

// Applies one proxy line to a client: "host:port:user:password", "user:password@host:port",
// either behind a prefix ending in "//"; anything else (and an empty line) goes out directly.
// A line without a user keeps the credentials the client had.
void ApplyProxy(HttpClient& client, const QString& line);
