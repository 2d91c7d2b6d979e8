#pragma once

#include <QString>
#include <QStringList>

#include "text/ByteText.h"

// The store of refusals met before (have.txt): refusal keys, sorted and free of duplicates
// without regard to letter case, looked up by binary search.
class HaveStore {
public:
    // Loads the file when it exists; remembers its encoding for later writes.
    void Load(const QString& path);
    bool Contains(const QString& key) const;
    // Adds a key; a key already present (in any letter case) is ignored.
    void Add(const QString& key);
    // Re-reads the file, merges its lines (another process may have added some) and replaces
    // the file with the whole store. Throws RunError when the file cannot be read or written.
    void MergeAndWrite(const QString& path);

    const QStringList& Lines() const { return lines_; }

private:
    QStringList lines_;
    TextEncoding encoding_ = TextEncoding::System;
};
