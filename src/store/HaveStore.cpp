#include "store/HaveStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <QtEndian>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "text/FileLock.h"
#include "text/FileSteps.h"
#include "text/RunError.h"

// Keys are compared without regard to letter case: code unit by code unit of their UTF-16 text,
// each unit folded on its own (ASCII lowered, any other unit by Unicode's simple case folding;
// a surrogate stays as it is), the shorter of two keys first where one begins the other.
//
// That order is kept as bytes: a key's letter-case-free form is its folded units, each written
// as UTF-8 writes a 16-bit value (one to three bytes, surrogates too). The form is prefix-free
// and keeps the units' order, so comparing two forms byte by byte gives the order above, and a
// key begins with a page's address exactly when its form begins with the address's form.
//
// For a key in a UTF-8 file whose letters are ASCII or do not change when folded (nearly all:
// an address and a date) the form is its own bytes with A-Z lowered, and is not stored.

namespace {

constexpr quint32 kLowered = 0xFFFFFFFF;

char16_t FoldedUnit(char16_t c) {
    if (c < 128) {
        return (c >= u'A' && c <= u'Z') ? char16_t(c + 32) : c;
    }
    // Simple case folding keeps every unit of the Basic Multilingual Plane inside it.
    return static_cast<char16_t>(QChar::toCaseFolded(char32_t(c)));
}

void PutFolded(char16_t unit, QByteArray& out) {
    const char16_t c = FoldedUnit(unit);
    if (c < 0x80) {
        out.append(static_cast<char>(c));
    } else if (c < 0x800) {
        out.append(static_cast<char>(0xC0 | (c >> 6)));
        out.append(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.append(static_cast<char>(0xE0 | (c >> 12)));
        out.append(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.append(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

QByteArray FoldedForm(QStringView text) {
    QByteArray out;
    out.reserve(text.size());
    for (const QChar c : text) {
        PutFolded(c.unicode(), out);
    }
    return out;
}

bool IsWide(TextEncoding encoding) {
    return encoding == TextEncoding::Utf16LE || encoding == TextEncoding::Utf16BE;
}

// Whether keys kept in one encoding's bytes may be kept as they are in the other's.
bool SameBytes(TextEncoding a, TextEncoding b) {
    return a == b || (!IsWide(a) && !IsWide(b));
}

// The UTF-16 units of a key's bytes, as DecodeText reads the file: UTF-16 as it is (a last odd
// byte dropped); UTF-8 with each byte outside a well-formed sequence as U+DC00 + the byte.
template <typename Emit>
void ForEachUnit(const char* bytes, qsizetype n, TextEncoding encoding, Emit&& put) {
    const auto* p = reinterpret_cast<const uchar*>(bytes);
    if (IsWide(encoding)) {
        const bool little = encoding == TextEncoding::Utf16LE;
        for (qsizetype i = 0; i + 1 < n; i += 2) {
            put(little ? char16_t(p[i] | p[i + 1] << 8) : char16_t(p[i] << 8 | p[i + 1]));
        }
        return;
    }
    qsizetype i = 0;
    while (i < n) {
        const uchar lead = p[i];
        if (lead < 0x80) {
            put(char16_t(lead));
            ++i;
            continue;
        }
        int length = 0;
        const char32_t code = Utf8CodePointAt(p, i, n, &length);
        if (length == 0) {
            put(char16_t(0xDC00 + lead));
            ++i;
        } else if (code >= 0x10000) {
            put(QChar::highSurrogate(code));
            put(QChar::lowSurrogate(code));
            i += length;
        } else {
            put(char16_t(code));
            i += length;
        }
    }
}

bool IsAscii(const char* p, qsizetype n) {
    quint64 high = 0;
    qsizetype i = 0;
    for (; i + 8 <= n; i += 8) {
        quint64 word;
        std::memcpy(&word, p + i, 8);
        high |= word;
    }
    for (; i < n; ++i) {
        high |= static_cast<uchar>(p[i]);
    }
    return (high & 0x8080808080808080ULL) == 0;
}

char LoweredByte(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

// Eight bytes at once with A-Z lowered; bytes from 0x80 on stay as they are.
quint64 LowerAscii(quint64 x) {
    constexpr quint64 kOnes = 0x0101010101010101ULL;
    const quint64 low7 = x & (0x7F * kOnes);
    const quint64 fromA = low7 + (0x80 - 'A') * kOnes;
    const quint64 pastZ = low7 + (0x80 - 'Z' - 1) * kOnes;
    const quint64 upper = fromA & ~pastZ & ~x & (0x80 * kOnes);
    return x | (upper >> 2);
}

// A letter-case-free form: stored bytes, lowered on reading when `lower`.
struct View {
    const char* p = nullptr;
    qsizetype n = 0;
    bool lower = false;

    View From(qsizetype depth) const {
        return depth >= n ? View{p + n, 0, lower} : View{p + depth, n - depth, lower};
    }
};

View ViewOfForm(const QByteArray& form) {
    return {form.constData(), form.size(), false};
}

// Up to eight bytes of a form as a number that orders as the bytes do; missing bytes are 0.
quint64 ChunkOf(const char* p, qsizetype n, bool lower) {
    quint64 v = 0;
    if (n >= 8) {
        std::memcpy(&v, p, 8);
    } else {
        std::memcpy(&v, p, static_cast<size_t>(n));
    }
    if (lower) {
        v = LowerAscii(v);
    }
    return qFromBigEndian(v);
}

int Compare(View a, View b) {
    const qsizetype n = std::min(a.n, b.n);
    // Keys share long beginnings: equal bytes need no lowering when both are lowered alike.
    const bool alike = a.lower == b.lower;
    qsizetype i = 0;
    for (; i + 8 <= n; i += 8) {
        quint64 x;
        quint64 y;
        std::memcpy(&x, a.p + i, 8);
        std::memcpy(&y, b.p + i, 8);
        if (x == y && alike) {
            continue;
        }
        x = qFromBigEndian(a.lower ? LowerAscii(x) : x);
        y = qFromBigEndian(b.lower ? LowerAscii(y) : y);
        if (x != y) {
            return x < y ? -1 : 1;
        }
    }
    if (i < n) {
        const quint64 x = ChunkOf(a.p + i, n - i, a.lower);
        const quint64 y = ChunkOf(b.p + i, n - i, b.lower);
        if (x != y) {
            return x < y ? -1 : 1;
        }
    }
    return a.n < b.n ? -1 : (a.n > b.n ? 1 : 0);
}

// How many bytes from the start the two forms have alike, `limit` at most.
qsizetype CommonPrefix(View a, View b, qsizetype limit) {
    const qsizetype n = std::min({a.n, b.n, limit});
    for (qsizetype i = 0; i < n; i += 8) {
        const qsizetype k = std::min<qsizetype>(8, n - i);
        const quint64 differ = ChunkOf(a.p + i, k, a.lower) ^ ChunkOf(b.p + i, k, b.lower);
        if (differ != 0) {
            return i + qCountLeadingZeroBits(differ) / 8;
        }
    }
    return n;
}

bool StartsWith(View key, View prefix) {
    return key.n >= prefix.n && Compare(View{key.p, prefix.n, key.lower}, prefix) == 0;
}

bool LessForm(const QByteArray& a, const QByteArray& b) {
    return Compare(ViewOfForm(a), ViewOfForm(b)) < 0;
}

[[noreturn]] void FailToRead(const QString& path) {
    throw RunError(QStringLiteral("Не удалось прочитать файл %1: %2")
                       .arg(path, QString::fromLocal8Bit(std::strerror(errno))));
}

[[noreturn]] void FailToWrite(const QString& path) {
    throw RunError(QStringLiteral("Не удалось записать файл %1: %2")
                       .arg(path, QString::fromLocal8Bit(std::strerror(errno))));
}

// have.txt, open and locked against the other instances (see FileLock::OpenLocked). Without
// O_CREAT in `flags`, a missing file is left closed.
FileLock LockedHave(const QString& path, int flags, FileLock::Mode mode) {
    FileLock file;
    if (!file.OpenLocked(path, flags, mode) && (errno != ENOENT || (flags & O_CREAT) != 0)) {
        FailToRead(path);
    }
    return file;
}

struct stat StatOf(int fd, const QString& path) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        FailToRead(path);
    }
    return st;
}

// The file's bytes from `offset` to its end: read straight into a buffer of the size the file
// has now, then whatever was added meanwhile.
QByteArray ReadFrom(int fd, qint64 offset, const QString& path) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        FailToRead(path);
    }
    QByteArray bytes(std::max<qint64>(st.st_size - offset, 0), Qt::Uninitialized);
    qsizetype size = 0;
    char more[1 << 16];
    for (;;) {
        const bool inBuffer = size < bytes.size();
        char* into = inBuffer ? bytes.data() + size : more;
        const size_t room = inBuffer ? static_cast<size_t>(bytes.size() - size) : sizeof more;
        const ssize_t n = ::pread(fd, into, room, static_cast<off_t>(offset + size));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            FailToRead(path);
        }
        if (n == 0) {
            bytes.truncate(size);
            return bytes;
        }
        if (!inBuffer) {
            bytes.append(more, n);
        }
        size += n;
    }
}

qsizetype MarkSize(TextEncoding encoding) {
    return EncodeText(QString(), encoding).size();
}

// The offset just past the last line end in `bytes` at or after `from`; `from` when none.
qsizetype EndOfLastLine(const QByteArray& bytes, TextEncoding encoding, qsizetype from) {
    const bool wide = encoding == TextEncoding::Utf16LE || encoding == TextEncoding::Utf16BE;
    const qsizetype unit = wide ? 2 : 1;
    for (qsizetype i = from + ((bytes.size() - from) / unit - 1) * unit; i >= from; i -= unit) {
        const auto first = static_cast<uchar>(bytes[i]);
        char16_t c = first;
        if (wide) {
            const auto second = static_cast<uchar>(bytes[i + 1]);
            c = encoding == TextEncoding::Utf16LE ? char16_t(first | second << 8)
                                                  : char16_t(first << 8 | second);
        }
        if (c == u'\r' || c == u'\n') {
            return i + unit;
        }
    }
    return from;
}

// Text in the file's encoding, without a byte-order mark (for the middle of a file).
QString DecodeWithoutMark(const QByteArray& bytes, TextEncoding encoding) {
    return DecodeText(EncodeText(QString(), encoding) + bytes).text;
}

QByteArray EncodeWithoutMark(const QString& text, TextEncoding encoding) {
    return EncodeText(text, encoding).mid(MarkSize(encoding));
}

// Whether `raw`, read back in `encoding`, is `text` again.
bool GivesBack(const QByteArray& raw, const QString& text, TextEncoding encoding) {
    qsizetype i = 0;
    bool same = true;
    ForEachUnit(raw.constData(), raw.size(), encoding, [&](char16_t unit) {
        same = same && i < text.size() && text[i] == QChar(unit);
        ++i;
    });
    return same && i == text.size();
}

// Whether the form of a key with these bytes is the bytes with A-Z lowered.
bool LowersTo(const char* raw, qsizetype n, const QByteArray& form) {
    if (form.size() != n) {
        return false;
    }
    for (qsizetype i = 0; i < n; ++i) {
        if (form[i] != LoweredByte(raw[i])) {
            return false;
        }
    }
    return true;
}

// Recently added keys are folded into the rest once there are this many.
constexpr qsizetype kFoldAt = 4096;

// Ranges this short are sorted by whole comparisons.
constexpr qsizetype kShortRange = 24;

// One key in sorting: eight bytes of its form from the depth being sorted at, and how many of
// them are there (8: perhaps more follow).
struct SortItem {
    quint64 chunk = 0;
    quint32 key = 0;
    quint16 rest = 0;
    bool again = false;  // its form is the one before it: a key met before
};

}  // namespace

struct HaveStore::Impl {
    static View ViewOf(const Table& table, const Key& key) {
        if (key.fold == kLowered) {
            return {table.raw.constData() + key.at, key.size, true};
        }
        const Span& span = table.folds[key.fold];
        return {table.foldBytes.constData() + span.at, span.size, false};
    }

    static void SetForm(Table& table, Key& key, const QByteArray& form) {
        if (!IsWide(table.encoding) && LowersTo(table.raw.constData() + key.at, key.size, form)) {
            key.fold = kLowered;
            return;
        }
        key.fold = static_cast<quint32>(table.folds.size());
        table.folds.push_back(
            {static_cast<quint64>(table.foldBytes.size()), static_cast<quint32>(form.size())});
        table.foldBytes.append(form);
    }

    // A key for the bytes from..to of the table's buffer.
    static void AddKey(Table& table, qsizetype from, qsizetype to, QByteArray& form) {
        Key key{static_cast<quint64>(from), static_cast<quint32>(to - from), kLowered};
        const char* p = table.raw.constData() + from;
        if (IsWide(table.encoding) || !IsAscii(p, to - from)) {
            form.clear();
            ForEachUnit(p, to - from, table.encoding,
                        [&](char16_t unit) { PutFolded(unit, form); });
            SetForm(table, key, form);
        }
        table.keys.push_back(key);
    }

    // Appends a key in the table's encoding, with its form.
    static Key Put(Table& table, const QByteArray& raw, const QByteArray& form) {
        Key key{static_cast<quint64>(table.raw.size()), static_cast<quint32>(raw.size()), kLowered};
        table.raw.append(raw);
        SetForm(table, key, form);
        return key;
    }

    // Copies a key of another table with the same bytes' encoding.
    static Key Copy(Table& table, const Table& from, const Key& key) {
        Key copy{static_cast<quint64>(table.raw.size()), key.size, kLowered};
        table.raw.append(from.raw.constData() + key.at, key.size);
        if (key.fold != kLowered) {
            const Span& span = from.folds[key.fold];
            copy.fold = static_cast<quint32>(table.folds.size());
            table.folds.push_back({static_cast<quint64>(table.foldBytes.size()), span.size});
            table.foldBytes.append(from.foldBytes.constData() + span.at, span.size);
        }
        return copy;
    }

    // Splits the buffer after its mark into keys, in the file's order; `inForm` is told whether
    // every line end is CR LF, `keyLines` how many lines are not empty.
    static void ReadLines(Table& table, qsizetype mark, bool* inForm, qsizetype* keyLines,
                          const QString& path) {
        const char* p = table.raw.constData();
        const qsizetype n = table.raw.size();
        QByteArray form;
        *inForm = true;
        *keyLines = 0;
        const auto line = [&](qsizetype from, qsizetype to) {
            if (to - from > qsizetype(std::numeric_limits<quint32>::max())) {
                errno = EFBIG;  // no key is near that long; the file is not a store of keys
                FailToRead(path);
            }
            if (to > from) {
                ++*keyLines;
                AddKey(table, from, to, form);
            }
        };
        if (IsWide(table.encoding)) {
            const bool little = table.encoding == TextEncoding::Utf16LE;
            const auto unit = [&](qsizetype i) {
                const auto first = static_cast<uchar>(p[i]);
                const auto second = static_cast<uchar>(p[i + 1]);
                return little ? char16_t(first | second << 8) : char16_t(first << 8 | second);
            };
            const qsizetype end = mark + (n - mark) / 2 * 2;  // a last odd byte is no text
            qsizetype start = mark;
            for (qsizetype i = mark; i < end; i += 2) {
                const char16_t c = unit(i);
                if (c != u'\r' && c != u'\n') {
                    continue;
                }
                line(start, i);
                if (c == u'\r' && i + 2 < end && unit(i + 2) == u'\n') {
                    i += 2;
                } else {
                    *inForm = false;
                }
                start = i + 2;
            }
            line(start, end);
            return;
        }
        qsizetype start = mark;
        while (start < n) {
            const void* lf = std::memchr(p + start, '\n', static_cast<size_t>(n - start));
            const qsizetype lfAt = lf != nullptr ? static_cast<const char*>(lf) - p : n;
            const void* cr = std::memchr(p + start, '\r', static_cast<size_t>(lfAt - start));
            const qsizetype end = cr != nullptr ? static_cast<const char*>(cr) - p : lfAt;
            line(start, end);
            if (end == n) {
                break;
            }
            if (p[end] == '\r' && end + 1 < n && p[end + 1] == '\n') {
                start = end + 2;
            } else {
                // A bare CR, or an LF without the CR before it.
                *inForm = false;
                start = end + 1;
            }
        }
    }

    static void SortItems(const Table& table, SortItem* begin, SortItem* end, qsizetype depth) {
        const auto formOf = [&](const SortItem& item) {
            return ViewOf(table, table.keys[item.key]).From(depth);
        };
        // Most sorting moves only the items' chunks; a range whose forms share more bytes is
        // sorted again further on. The largest such range is sorted in this loop, the others
        // (each at most half of this one) in calls, so the calls nest at most log2(n) deep.
        for (;;) {
            const qsizetype n = end - begin;
            if (n < 2) {
                return;
            }
            // Equal forms keep the file's order, so the first spelling met wins.
            if (n <= kShortRange) {
                std::sort(begin, end, [&](const SortItem& a, const SortItem& b) {
                    const int order = Compare(formOf(a), formOf(b));
                    return order != 0 ? order < 0 : a.key < b.key;
                });
                for (SortItem* item = begin + 1; item != end; ++item) {
                    item->again = Compare(formOf(item[-1]), formOf(*item)) == 0;
                }
                return;
            }
            // What every form here has alike (the portal's address) is passed over in one go.
            const View first = formOf(*begin);
            qsizetype common = first.n;
            for (const SortItem* item = begin + 1; item != end && common > 0; ++item) {
                common = CommonPrefix(first, formOf(*item), common);
            }
            depth += common;
            for (SortItem* item = begin; item != end; ++item) {
                const View form = formOf(*item);
                item->chunk = ChunkOf(form.p, form.n, form.lower);
                item->rest = static_cast<quint16>(std::min<qsizetype>(form.n, 8));
            }
            std::sort(begin, end, [](const SortItem& a, const SortItem& b) {
                if (a.chunk != b.chunk) {
                    return a.chunk < b.chunk;
                }
                return a.rest != b.rest ? a.rest < b.rest : a.key < b.key;
            });
            SortItem* largest = nullptr;
            SortItem* largestEnd = nullptr;
            for (SortItem* group = begin; group != end;) {
                SortItem* next = group + 1;
                while (next != end && next->chunk == group->chunk && next->rest == group->rest) {
                    ++next;
                }
                if (group->rest < 8) {
                    // Forms that end here alike are one key.
                    for (SortItem* item = group + 1; item != next; ++item) {
                        item->again = true;
                    }
                } else if (next - group > 1) {
                    if (largest == nullptr) {
                        largest = group;
                        largestEnd = next;
                    } else if (next - group > largestEnd - largest) {
                        SortItems(table, largest, largestEnd, depth + 8);
                        largest = group;
                        largestEnd = next;
                    } else {
                        SortItems(table, group, next, depth + 8);
                    }
                }
                group = next;
            }
            if (largest == nullptr) {
                return;
            }
            begin = largest;
            end = largestEnd;
            depth += 8;
        }
    }

    // Sorts the keys by their forms and drops every key met before.
    static void SortKeys(Table& table) {
        std::vector<Key>& keys = table.keys;
        if (keys.empty()) {
            return;
        }
        // A file this store wrote whole is sorted: then one pass over it is all.
        size_t kept = 1;
        size_t i = 1;
        for (; i < keys.size(); ++i) {
            const int order = Compare(ViewOf(table, keys[kept - 1]), ViewOf(table, keys[i]));
            if (order > 0) {
                break;
            }
            if (order < 0) {
                keys[kept++] = keys[i];
            }
        }
        if (i < keys.size()) {
            keys.erase(keys.begin() + static_cast<qsizetype>(kept),
                       keys.begin() + static_cast<qsizetype>(i));
            std::vector<SortItem> items(keys.size());
            for (size_t k = 0; k < items.size(); ++k) {
                items[k].key = static_cast<quint32>(k);
            }
            SortItems(table, items.data(), items.data() + items.size(), 0);
            std::vector<Key> sorted;
            sorted.reserve(keys.size());
            for (const SortItem& item : items) {
                if (!item.again) {
                    sorted.push_back(keys[item.key]);
                }
            }
            keys = std::move(sorted);
        }
        keys.shrink_to_fit();
    }

    static qsizetype LowerBound(const Table& table, View form) {
        const auto it = std::lower_bound(
            table.keys.cbegin(), table.keys.cend(), form,
            [&](const Key& key, View f) { return Compare(ViewOf(table, key), f) < 0; });
        return it - table.keys.cbegin();
    }

    static qsizetype AddedLowerBound(const std::vector<Added>& added, const QByteArray& form) {
        const auto it = std::lower_bound(
            added.cbegin(), added.cend(), form,
            [](const Added& a, const QByteArray& f) { return LessForm(a.folded, f); });
        return it - added.cbegin();
    }

    static bool Has(const HaveStore& store, const QByteArray& form) {
        const Table& table = store.table_;
        const qsizetype at = LowerBound(table, ViewOfForm(form));
        if (at < qsizetype(table.keys.size()) &&
            Compare(ViewOf(table, table.keys[size_t(at)]), ViewOfForm(form)) == 0) {
            return true;
        }
        const qsizetype added = AddedLowerBound(store.added_, form);
        return added < qsizetype(store.added_.size()) && store.added_[size_t(added)].folded == form;
    }

    static QString TextOf(const Table& table, const Key& key) {
        const char* p = table.raw.constData() + key.at;
        if (!IsWide(table.encoding) && IsAscii(p, key.size)) {
            return QString::fromLatin1(p, key.size);
        }
        QString text;
        text.reserve(key.size);
        ForEachUnit(p, key.size, table.encoding, [&](char16_t unit) { text.append(QChar(unit)); });
        return text;
    }

    // The sorted union of two tables whose keys have the same bytes' encoding; on keys in both
    // `old`'s spelling wins. The result keeps `fresh`'s buffer, with what only `old` had added.
    static Table MergeTables(const Table& old, Table&& fresh) {
        Table merged;
        merged.raw = std::move(fresh.raw);
        merged.foldBytes = std::move(fresh.foldBytes);
        merged.folds = std::move(fresh.folds);
        merged.encoding = fresh.encoding;
        std::vector<Key>& keys = merged.keys;
        keys.reserve(old.keys.size() + fresh.keys.size());
        size_t i = 0;
        size_t j = 0;
        while (i < old.keys.size() && j < fresh.keys.size()) {
            const Key& a = old.keys[i];
            const Key& b = fresh.keys[j];
            const int order = Compare(ViewOf(old, a), ViewOf(merged, b));
            if (order > 0) {
                keys.push_back(b);
                ++j;
                continue;
            }
            if (order == 0) {
                ++j;
                if (a.size == b.size && std::memcmp(old.raw.constData() + a.at,
                                                    merged.raw.constData() + b.at, a.size) == 0) {
                    keys.push_back(b);
                    ++i;
                    continue;
                }
            }
            keys.push_back(Copy(merged, old, a));
            ++i;
        }
        for (; i < old.keys.size(); ++i) {
            keys.push_back(Copy(merged, old, old.keys[i]));
        }
        keys.insert(keys.end(), fresh.keys.begin() + static_cast<qsizetype>(j), fresh.keys.end());
        return merged;
    }

    // Takes out of the table every key that is also among `added` (sorted as the table).
    static void EraseIn(Table& table, const std::vector<Added>& added) {
        if (added.empty()) {
            return;
        }
        size_t kept = 0;
        size_t j = 0;
        for (const Key& key : table.keys) {
            const View form = ViewOf(table, key);
            int order = -1;
            for (; j < added.size(); ++j) {
                order = Compare(ViewOfForm(added[j].folded), form);
                if (order >= 0) {
                    break;
                }
            }
            if (order != 0) {
                table.keys[kept++] = key;
            }
        }
        table.keys.resize(kept);
    }

    // Puts keys (sorted, none already there) into the table's sorted keys.
    static void Insert(Table& table, const std::vector<Key>& fresh) {
        std::vector<Key>& keys = table.keys;
        std::vector<qsizetype> at(fresh.size());
        for (size_t j = 0; j < fresh.size(); ++j) {
            at[j] = LowerBound(table, ViewOf(table, fresh[j]));
        }
        // From the end, each run of old keys moves up by the number of new keys before it.
        qsizetype rest = static_cast<qsizetype>(keys.size());
        keys.resize(keys.size() + fresh.size());
        for (qsizetype j = static_cast<qsizetype>(fresh.size()) - 1; j >= 0; --j) {
            const qsizetype pos = at[size_t(j)];
            std::move_backward(keys.begin() + pos, keys.begin() + rest,
                               keys.begin() + rest + j + 1);
            keys[size_t(pos + j)] = fresh[size_t(j)];
            rest = pos;
        }
    }
};

void HaveStore::Load(const QString& path) {
    table_ = Table();
    added_.clear();
    staying_ = 0;
    KeysChanged();
    readTo_ = -1;
    rewriteDue_ = false;
    // Shared: an instance appending a line finishes it first.
    const FileLock file = LockedHave(path, O_RDONLY, FileLock::Mode::Shared);
    if (file.isOpen()) {
        bool inForm = true;
        ReadWhole(file.fd(), path, &inForm);
        rewriteDue_ = !inForm;
    }
}

void HaveStore::Refresh(const QString& path) {
    const FileLock file = LockedHave(path, O_RDONLY, FileLock::Mode::Shared);
    if (file.isOpen()) {
        TakeIn(file.fd(), path);
    }
}

void HaveStore::CheckWritable(const QString& path) {
    const QByteArray name = QFile::encodeName(path);
    // Opened for writing for real: permission bits alone say nothing of root or of a read-only
    // file system.
    const int fd = ::open(name.constData(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd >= 0) {
        ::close(fd);
        return;
    }
    if (errno != ENOENT) {
        FailToWrite(path);
    }
    const QByteArray dir = QFile::encodeName(QFileInfo(path).absolutePath());
    if (::access(dir.constData(), W_OK | X_OK) != 0) {
        FailToWrite(path);
    }
}

bool HaveStore::Contains(const QString& key) const {
    return !key.isEmpty() && Impl::Has(*this, FoldedForm(key));
}

bool HaveStore::ContainsPage(const QString& pageUrl) const {
    QByteArray form = FoldedForm(pageUrl);
    form.append('#');
    const qsizetype at = Impl::LowerBound(table_, ViewOfForm(form));
    if (at < qsizetype(table_.keys.size()) &&
        StartsWith(Impl::ViewOf(table_, table_.keys[size_t(at)]), ViewOfForm(form))) {
        return true;
    }
    const qsizetype added = Impl::AddedLowerBound(added_, form);
    return added < qsizetype(added_.size()) && added_[size_t(added)].folded.startsWith(form);
}

QStringList HaveStore::KeysOfPage(const QString& pageUrl) const {
    QByteArray form = FoldedForm(pageUrl);
    form.append('#');
    size_t i = size_t(Impl::LowerBound(table_, ViewOfForm(form)));
    size_t j = size_t(Impl::AddedLowerBound(added_, form));
    const auto inTable = [&] {
        return i < table_.keys.size() &&
               StartsWith(Impl::ViewOf(table_, table_.keys[i]), ViewOfForm(form));
    };
    const auto inAdded = [&] { return j < added_.size() && added_[j].folded.startsWith(form); };
    QStringList keys;
    while (inTable() || inAdded()) {
        if (inTable() && (!inAdded() || Compare(Impl::ViewOf(table_, table_.keys[i]),
                                                ViewOfForm(added_[j].folded)) < 0)) {
            keys.append(Impl::TextOf(table_, table_.keys[i++]));
        } else {
            keys.append(added_[j++].text);
        }
    }
    return keys;
}

void HaveStore::Add(const QString& key) {
    if (key.isEmpty()) {
        return;
    }
    QByteArray form = FoldedForm(key);
    if (Impl::Has(*this, form)) {
        return;
    }
    const qsizetype at = Impl::AddedLowerBound(added_, form);
    added_.insert(added_.begin() + at, Added{key, std::move(form)});
    KeysChanged();
    if (qsizetype(added_.size()) - staying_ >= kFoldAt) {
        Fold();
    }
}

void HaveStore::Forget(const QString& key) {
    const QByteArray form = FoldedForm(key);
    const qsizetype at = Impl::LowerBound(table_, ViewOfForm(form));
    if (at < qsizetype(table_.keys.size()) &&
        Compare(Impl::ViewOf(table_, table_.keys[size_t(at)]), ViewOfForm(form)) == 0) {
        table_.keys.erase(table_.keys.begin() + at);
    }
    const qsizetype added = Impl::AddedLowerBound(added_, form);
    if (added < qsizetype(added_.size()) && added_[size_t(added)].folded == form) {
        staying_ -= added_[size_t(added)].stays ? 1 : 0;
        added_.erase(added_.begin() + added);
    }
    KeysChanged();
}

qsizetype HaveStore::Size() const {
    return qsizetype(table_.keys.size() + added_.size());
}

const QStringList& HaveStore::Lines() const {
    if (!linesValid_) {
        lines_.clear();
        lines_.reserve(Size());
        size_t j = 0;
        for (const Key& key : table_.keys) {
            const View form = Impl::ViewOf(table_, key);
            for (; j < added_.size() && Compare(ViewOfForm(added_[j].folded), form) < 0; ++j) {
                lines_.append(added_[j].text);
            }
            lines_.append(Impl::TextOf(table_, key));
        }
        for (; j < added_.size(); ++j) {
            lines_.append(added_[j].text);
        }
        linesValid_ = true;
    }
    return lines_;
}

void HaveStore::Fold() {
    std::vector<Key> folded;
    std::vector<Added> staying;
    for (Added& added : added_) {
        if (!added.stays) {
            const QByteArray raw = EncodeWithoutMark(added.text, table_.encoding);
            if (GivesBack(raw, added.text, table_.encoding)) {
                folded.push_back(Impl::Put(table_, raw, added.folded));
                continue;
            }
            added.stays = true;
        }
        staying.push_back(std::move(added));
    }
    added_ = std::move(staying);
    staying_ = qsizetype(added_.size());
    Impl::Insert(table_, folded);
}

void HaveStore::ReadWhole(int fd, const QString& path, bool* inForm) {
    const struct stat st = StatOf(fd, path);
    Table fresh;
    fresh.raw = ReadFrom(fd, 0, path);
    const TextEncoding found = DecodeText(fresh.raw.left(3)).encoding;
    fresh.encoding = fresh.raw.isEmpty() ? table_.encoding : found;
    const qsizetype mark =
        std::min(found == TextEncoding::System ? 0 : MarkSize(found), fresh.raw.size());
    const qint64 readTo = EndOfLastLine(fresh.raw, fresh.encoding, mark);
    bool linesInForm = true;
    qsizetype keyLines = 0;
    Impl::ReadLines(fresh, mark, &linesInForm, &keyLines, path);
    Impl::SortKeys(fresh);
    if (inForm != nullptr) {
        *inForm = qsizetype(fresh.keys.size()) == keyLines && linesInForm;
    }

    // What the store held wins over the file's spelling of the same key.
    const TextEncoding held = table_.encoding;
    if (table_.keys.empty()) {
        table_ = std::move(fresh);
    } else if (SameBytes(held, fresh.encoding)) {
        table_ = Impl::MergeTables(table_, std::move(fresh));
    } else {
        // The keys held go over to the other encoding as text, as added ones.
        std::vector<Added> keys;
        keys.reserve(table_.keys.size() + added_.size());
        for (const Key& key : table_.keys) {
            QString text = Impl::TextOf(table_, key);
            QByteArray form = FoldedForm(text);
            keys.push_back({std::move(text), std::move(form)});
        }
        table_ = std::move(fresh);
        Impl::EraseIn(table_, keys);
        const auto middle = qsizetype(keys.size());
        std::move(added_.begin(), added_.end(), std::back_inserter(keys));
        std::inplace_merge(
            keys.begin(), keys.begin() + middle, keys.end(),
            [](const Added& a, const Added& b) { return LessForm(a.folded, b.folded); });
        added_ = std::move(keys);
    }
    Impl::EraseIn(table_, added_);
    if (!SameBytes(held, table_.encoding)) {
        // What the old encoding could not hold as it is, the new one may.
        for (Added& key : added_) {
            key.stays = false;
        }
        staying_ = 0;
        Fold();
    }
    KeysChanged();
    device_ = st.st_dev;
    inode_ = st.st_ino;
    readTo_ = readTo;
}

void HaveStore::TakeIn(int fd, const QString& path) {
    const struct stat st = StatOf(fd, path);
    if (readTo_ < 0 || quint64(st.st_dev) != device_ || quint64(st.st_ino) != inode_ ||
        st.st_size < readTo_) {
        ReadWhole(fd, path);
        return;
    }
    if (st.st_size == readTo_) {
        return;
    }
    const QByteArray bytes = ReadFrom(fd, readTo_, path);
    for (const QString& line : SplitLines(DecodeWithoutMark(bytes, table_.encoding))) {
        Add(line);
    }
    // A last line without its line end may still be in writing: it is read again next time.
    readTo_ += EndOfLastLine(bytes, table_.encoding, 0);
}

void HaveStore::Append(const QString& path, const QString& key) {
    if (key.isEmpty()) {
        return;
    }
    if (rewriteDue_ && !Contains(key)) {
        // Once, for a file edited by hand: later appends find it in form again.
        Add(key);
        try {
            MergeAndWrite(path);
        } catch (...) {
            Forget(key);  // not on disk: the next append of it tries again
            throw;
        }
        rewriteDue_ = false;
        return;
    }
    if (!QFileInfo::exists(path)) {
        FileStep("create", path);
    }
    const FileLock file = LockedHave(path, O_RDWR | O_APPEND | O_CREAT, FileLock::Mode::Exclusive);
    TakeIn(file.fd(), path);
    // Every key the store holds came from the file or went into it: one line per key.
    if (Contains(key)) {
        // Its line may be one a killed run wrote and never synced; what is done next counts on
        // it, as on a line of this run's own.
        FileStep("fsync", path);
        if (::fdatasync(file.fd()) != 0) {
            FailToWrite(path);
        }
        return;
    }

    const struct stat before = StatOf(file.fd(), path);
    QByteArray bytes;
    if (before.st_size == 0) {
        bytes = EncodeText(key + QLatin1String("\r\n"), table_.encoding);
    } else {
        // An unfinished last line (a writer killed midway, a file edited by hand) is ended
        // first, so the new key gets a line of its own.
        const QString lineEnd = readTo_ < before.st_size ? QStringLiteral("\r\n") : QString();
        bytes = EncodeWithoutMark(lineEnd + key + QLatin1String("\r\n"), table_.encoding);
    }
    // One write puts the line in whole unless the disk fills up; then what got in is taken
    // off again, so no unfinished line stays behind.
    FileStep("write", path, before.st_size, bytes.size());
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n =
            ::write(file.fd(), bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            const int error = errno;
            FileStep("truncate", path, before.st_size);
            if (::ftruncate(file.fd(), before.st_size) != 0) {
                // The next append ends the unfinished line first.
            }
            errno = error;
            FailToWrite(path);
        }
        done += n;
    }
    FileStep("fsync", path);
    if (::fdatasync(file.fd()) != 0) {
        FailToWrite(path);
    }
    // Known only once on disk, so a failed write is tried again by the next append of it.
    Add(key);
    const struct stat after = StatOf(file.fd(), path);
    // Past the new line only when nobody else wrote meanwhile; else that is read next time.
    if (after.st_size == before.st_size + bytes.size()) {
        readTo_ = after.st_size;
    }
}

void HaveStore::CutTornLine(const QString& path, const QStringList& keys) {
    if (keys.isEmpty() || !QFileInfo::exists(path)) {
        return;
    }
    const FileLock file = LockedHave(path, O_RDWR, FileLock::Mode::Exclusive);
    if (!file.isOpen()) {
        return;
    }
    TakeIn(file.fd(), path);
    const struct stat st = StatOf(file.fd(), path);
    if (readTo_ < 0 || st.st_size <= readTo_) {
        return;
    }
    // Appended lines are written whole under this lock, so an unfinished last line is never
    // one still in writing.
    const QByteArray tail = ReadFrom(file.fd(), readTo_, path);
    for (const QString& key : keys) {
        const QByteArray line = EncodeWithoutMark(key + QLatin1String("\r\n"), table_.encoding);
        if (key.isEmpty() || !line.startsWith(tail) || tail.size() == line.size()) {
            continue;
        }
        FileStep("truncate", path, readTo_);
        if (::ftruncate(file.fd(), readTo_) != 0) {
            FailToWrite(path);
        }
        FileStep("fsync", path);
        if (::fdatasync(file.fd()) != 0) {
            FailToWrite(path);
        }
        // The loaded store took the piece for a key; the key it begins follows with its export.
        // Only the piece goes: it may be the start of keys whose lines are whole above it.
        Forget(DecodeWithoutMark(tail, table_.encoding));
        return;
    }
}

void HaveStore::MergeAndWrite(const QString& path) {
    // Another process may have added lines since the last read; they are kept. The lock keeps
    // the instances that append from writing into the file this one is about to replace.
    const FileLock file = LockedHave(path, O_RDONLY | O_CREAT, FileLock::Mode::Exclusive);
    ReadWhole(file.fd(), path);
    // The file keeps the encoding it was read in; the old file stays whole if this fails.
    const TextEncoding encoding = table_.encoding;
    const QByteArray lineEnd = EncodeWithoutMark(QStringLiteral("\r\n"), encoding);
    std::vector<QByteArray> added;
    added.reserve(added_.size());
    qsizetype size = MarkSize(encoding) + Size() * lineEnd.size();
    for (const Added& key : added_) {
        added.push_back(EncodeWithoutMark(key.text, encoding));
        size += added.back().size();
    }
    for (const Key& key : table_.keys) {
        size += key.size;
    }
    QByteArray bytes = EncodeText(QString(), encoding);
    bytes.reserve(size);
    size_t j = 0;
    for (const Key& key : table_.keys) {
        const View form = Impl::ViewOf(table_, key);
        for (; j < added_.size() && Compare(ViewOfForm(added_[j].folded), form) < 0; ++j) {
            bytes += added[j];
            bytes += lineEnd;
        }
        bytes.append(table_.raw.constData() + key.at, key.size);
        bytes += lineEnd;
    }
    for (; j < added_.size(); ++j) {
        bytes += added[j];
        bytes += lineEnd;
    }
    QString error;
    if (!WriteFileAtomically(path, bytes, &error)) {
        throw RunError(error);
    }
    // The next append reads the new file whole, unless it is plainly the one just written.
    readTo_ = -1;
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) == 0 && st.st_size == bytes.size()) {
        device_ = st.st_dev;
        inode_ = st.st_ino;
        readTo_ = st.st_size;
    }
}
