#pragma once

#include <QString>
#include <QStringList>

#include "text/ByteText.h"

// The store of refusals met before (have.txt): refusal keys, sorted and free of duplicates
// without regard to letter case, looked up by binary search.
//
// Every instance takes an advisory lock on the file while it reads or writes it. A new key is
// appended to the file as one line, so each update costs the same however large the store has
// grown; what other instances appended since the last read is read from where that read ended.
class HaveStore {
public:
    // Loads the file when it exists; remembers its encoding for later writes, and whether the
    // file is in the form this store writes (every line ending in CR LF, each key once).
    void Load(const QString& path);
    // Takes in the lines other instances appended since the last read (only the added bytes),
    // so a lookup sees them. Throws RunError when the file cannot be read.
    void Refresh(const QString& path);
    // Throws RunError, naming the file and the system's reason, when have.txt (or, while there
    // is none, its folder) cannot be written.
    static void CheckWritable(const QString& path);
    bool Contains(const QString& key) const;
    // Whether a key of the refusal page at `pageUrl` is in the store: the page was met before.
    bool ContainsPage(const QString& pageUrl) const;
    // Adds a key; a key already present (in any letter case) is ignored.
    void Add(const QString& key);
    // Re-reads the file, merges its lines (another process may have added some) and replaces
    // the file with the whole store. Throws RunError when the file cannot be read or written.
    void MergeAndWrite(const QString& path);
    // Adds a key and appends its line to the file (created when missing), after taking in the
    // lines other instances added since the last read. The line is on disk when this returns;
    // a kill at any moment leaves at most an unfinished last line, which the next append ends
    // first. A file loaded out of form (bare LF line ends, a key twice) is rewritten whole and
    // sorted by the first append instead. Throws RunError when the file cannot be read or
    // written.
    void Append(const QString& path, const QString& key);

    // All keys, sorted.
    const QStringList& Lines() const;

private:
    // Takes in what the open file holds beyond what was read before: only the added bytes when
    // it is still the same file, grown or unchanged; the whole file when it was replaced.
    // Returns the lines read.
    QStringList TakeIn(int fd, const QString& path);
    // Merges the whole file into the store; returns its lines. `inForm`, when given, is told
    // whether the file is as this store writes it.
    QStringList ReadWhole(int fd, const QString& path, bool* inForm = nullptr);

    void Forget(const QString& key);
    // Merges the recently added keys into the rest.
    void Fold() const;

    // The keys: most in `lines_`, the ones added since the last fold in the short `added_`
    // (both sorted, no key in both), so that adding one does not move a million others.
    mutable QStringList lines_;
    mutable QStringList added_;
    TextEncoding encoding_ = TextEncoding::System;
    // Set by Load for a file not in this store's form; the next append rewrites it whole.
    bool rewriteDue_ = false;
    // The file last read: its identity, and where its last complete line ended (-1: none read).
    quint64 device_ = 0;
    quint64 inode_ = 0;
    qint64 readTo_ = -1;
};
