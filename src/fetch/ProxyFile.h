#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// proxy.txt as a run uses it: the lines that name a proxy, in file order. Blank lines are passed
// over; any other line that names no proxy is left out and its number kept, so the run can say
// which lines it skipped instead of sending their requests directly.
struct ProxyFile {
    bool exists = false;
    QStringList proxies;
    QList<int> malformedLines;  // 1-based
};

ProxyFile LoadProxyFile(const QString& path);

// Whether proxy.txt at `path` names at least one proxy: the check before a run with proxies.
// A missing file is created empty, to show the operator where the proxies go.
bool ProxyFileNamesAProxy(const QString& path);

// The log line that names the skipped lines (at most 20 numbers, then how many more).
QString MalformedProxyLinesText(const QList<int>& lines);
