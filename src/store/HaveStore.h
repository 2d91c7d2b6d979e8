#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <vector>

#include "text/ByteText.h"

// The store of refusals met before (have.txt): refusal keys, sorted and free of duplicates
// without regard to letter case, looked up by binary search.
//
// Every instance takes an advisory lock on the file while it reads or writes it. A new key is
// appended to the file as one line, so each update costs the same however large the store has
// grown; what other instances appended since the last read is read from where that read ended.
//
// The keys read from the file stay as the file's own bytes in one buffer, with sorted offsets
// into it: a million keys take little more memory than the file.
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
    // Whether a key of this refusal page is there: a key that begins with the address and "#",
    // without regard to letter case as for whole keys.
    bool ContainsPage(const QString& pageUrl) const;
    // The keys of this refusal page, sorted.
    QStringList KeysOfPage(const QString& pageUrl) const;
    // Adds a key; a key already present (in any letter case) is ignored.
    void Add(const QString& key);
    // Re-reads the file, merges its lines (another process may have added some) and replaces
    // the file with the whole store. Throws RunError when the file cannot be read or written.
    void MergeAndWrite(const QString& path);
    // Adds a key and appends its line to the file (created when missing), after taking in the
    // lines other instances added since the last read. The line is on disk when this returns;
    // a kill at any moment leaves at most an unfinished last line, which the next append ends
    // first (see CutTornLine for one a power cut tore). A key already in the file gets its line
    // synced, as it may be one a killed run never synced. A file loaded out of form (bare LF line
    // ends, a key twice) is rewritten whole and sorted by the first append instead. Throws RunError
    // when the file cannot be read or written.
    void Append(const QString& path, const QString& key);
    // Cuts off an unfinished last line that is the start of one of `keys` (refusals whose
    // export is still under way): an append a power cut tore, which ending it would turn into
    // a key of its own for good. The store forgets the piece, and the key, until it is appended
    // again. A last line a hand edit left without its line end is kept. Throws RunError when the
    // file cannot be written.
    void CutTornLine(const QString& path, const QStringList& keys);

    // How many keys there are.
    qsizetype Size() const;
    // All keys, sorted. Made as text at the first call after a change, which at a million keys
    // takes several times the file's size: for tests and small stores.
    const QStringList& Lines() const;

private:
    // Takes in what the open file holds beyond what was read before: only the added bytes when
    // it is still the same file, grown or unchanged; the whole file when it was replaced.
    void TakeIn(int fd, const QString& path);
    // Merges the whole file into the store. `inForm`, when given, is told whether the file is
    // as this store writes it.
    void ReadWhole(int fd, const QString& path, bool* inForm = nullptr);

    void Forget(const QString& key);
    // Merges the recently added keys into the table, but for the few the file's encoding would
    // not give back as they are.
    void Fold();
    void KeysChanged() { linesValid_ = false; }

    // The keys read from the file or folded in, in one buffer of the file's bytes (see
    // HaveStore.cpp for the order and the letter-case-free form).
    struct Key {
        quint64 at = 0;  // in raw
        quint32 size = 0;
        quint32 fold = 0;  // kLowered, or the index of its letter-case-free form in folds
    };
    struct Span {
        quint64 at = 0;  // in foldBytes
        quint32 size = 0;
    };
    struct Table {
        QByteArray raw;
        QByteArray foldBytes;
        std::vector<Span> folds;
        std::vector<Key> keys;  // sorted, no key twice
        TextEncoding encoding = TextEncoding::System;
    };
    // A key added since the last fold, with its letter-case-free form.
    struct Added {
        QString text;
        QByteArray folded;
        bool stays = false;  // the file's encoding does not give it back as it is
    };
    struct Impl;

    // Most keys are in table_; the ones added since the last fold in the short `added_` (sorted
    // the same way, no key in both), so that adding one does not move a million others.
    Table table_;
    std::vector<Added> added_;
    qsizetype staying_ = 0;
    mutable QStringList lines_;
    mutable bool linesValid_ = false;
    // Set by Load for a file not in this store's form; the next append rewrites it whole.
    bool rewriteDue_ = false;
    // The file last read: its identity, and where its last complete line ended (-1: none read).
    quint64 device_ = 0;
    quint64 inode_ = 0;
    qint64 readTo_ = -1;
};
