#include "store/HaveStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "text/FileLock.h"
#include "text/RunError.h"

namespace {

char32_t Folded(char16_t c) {
    if (c < 128) {
        return (c >= u'A' && c <= u'Z') ? c + 32 : c;
    }
    return QChar::toCaseFolded(char32_t(c));
}

// Compares without regard to letter case. Keys share long common beginnings (the portal's
// address), so equal code units are passed over before any folding.
int CompareNoCase(const QString& a, const QString& b) {
    const qsizetype n = std::min(a.size(), b.size());
    const char16_t* x = reinterpret_cast<const char16_t*>(a.constData());
    const char16_t* y = reinterpret_cast<const char16_t*>(b.constData());
    for (qsizetype i = 0; i < n; ++i) {
        if (x[i] == y[i]) {
            continue;
        }
        const char32_t fx = Folded(x[i]);
        const char32_t fy = Folded(y[i]);
        if (fx != fy) {
            return fx < fy ? -1 : 1;
        }
    }
    return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

bool LessNoCase(const QString& a, const QString& b) {
    return CompareNoCase(a, b) < 0;
}

bool SameNoCase(const QString& a, const QString& b) {
    return CompareNoCase(a, b) == 0;
}

// Whether the lines are ended as this store ends them: by CR LF, never by a bare CR or LF. A last
// line without its end is no fault of form: the next append ends it.
bool LineEndsInForm(const QString& text) {
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == u'\r' && (i + 1 == text.size() || text[i + 1] != u'\n')) {
            return false;
        }
        if (text[i] == u'\n' && (i == 0 || text[i - 1] != u'\r')) {
            return false;
        }
    }
    return true;
}

// The lines sorted without regard to letter case, each key once (the first spelling met wins).
// Empty lines carry no key and are dropped.
QStringList SortedUnique(QStringList lines) {
    lines.removeAll(QString());
    // A file this store wrote whole is sorted; the lines appended since follow in the order
    // they came, so only those need sorting before they are merged in.
    const auto sortedEnd = std::is_sorted_until(lines.begin(), lines.end(), LessNoCase);
    if (sortedEnd != lines.end()) {
        std::stable_sort(sortedEnd, lines.end(), LessNoCase);
        std::inplace_merge(lines.begin(), sortedEnd, lines.end(), LessNoCase);
    }
    lines.erase(std::unique(lines.begin(), lines.end(), SameNoCase), lines.end());
    return lines;
}

// The sorted union of two sorted, duplicate-free lists; `a`'s spelling wins on equal keys.
QStringList MergeSorted(const QStringList& a, const QStringList& b) {
    QStringList merged;
    merged.reserve(a.size() + b.size());
    qsizetype i = 0;
    qsizetype j = 0;
    while (i < a.size() && j < b.size()) {
        const int order = CompareNoCase(a[i], b[j]);
        if (order < 0) {
            merged.append(a[i++]);
        } else if (order > 0) {
            merged.append(b[j++]);
        } else {
            merged.append(a[i++]);
            ++j;
        }
    }
    for (; i < a.size(); ++i) {
        merged.append(a[i]);
    }
    for (; j < b.size(); ++j) {
        merged.append(b[j]);
    }
    return merged;
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

}  // namespace

void HaveStore::Load(const QString& path) {
    lines_.clear();
    added_.clear();
    encoding_ = TextEncoding::System;
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

namespace {

bool SortedHas(const QStringList& lines, const QString& key) {
    const auto it = std::lower_bound(lines.cbegin(), lines.cend(), key, LessNoCase);
    return it != lines.cend() && SameNoCase(*it, key);
}

// Recently added keys are folded into the rest once there are this many.
constexpr qsizetype kFoldAt = 4096;

}  // namespace

bool HaveStore::Contains(const QString& key) const {
    return SortedHas(lines_, key) || SortedHas(added_, key);
}

namespace {

// Whether a key of `keys` begins with `prefix`, letter case aside: those keys follow the prefix
// at once in the sorted list.
bool SortedHasPrefix(const QStringList& keys, const QString& prefix) {
    const auto it = std::lower_bound(keys.begin(), keys.end(), prefix, LessNoCase);
    return it != keys.end() && it->size() >= prefix.size() &&
           CompareNoCase(it->left(prefix.size()), prefix) == 0;
}

}  // namespace

bool HaveStore::ContainsPage(const QString& pageUrl) const {
    const QString prefix = pageUrl + QLatin1Char('#');
    return SortedHasPrefix(lines_, prefix) || SortedHasPrefix(added_, prefix);
}

void HaveStore::Add(const QString& key) {
    if (key.isEmpty() || Contains(key)) {
        return;
    }
    added_.insert(std::lower_bound(added_.begin(), added_.end(), key, LessNoCase), key);
    if (added_.size() >= kFoldAt) {
        Fold();
    }
}

void HaveStore::Forget(const QString& key) {
    for (QStringList* list : {&lines_, &added_}) {
        const auto it = std::lower_bound(list->begin(), list->end(), key, LessNoCase);
        if (it != list->end() && SameNoCase(*it, key)) {
            list->erase(it);
        }
    }
}

const QStringList& HaveStore::Lines() const {
    Fold();
    return lines_;
}

void HaveStore::Fold() const {
    if (!added_.isEmpty()) {
        lines_ = MergeSorted(lines_, added_);
        added_.clear();
    }
}

QStringList HaveStore::ReadWhole(int fd, const QString& path, bool* inForm) {
    const struct stat st = StatOf(fd, path);
    const QByteArray bytes = ReadFrom(fd, 0, path);
    const DecodedText decoded = DecodeText(bytes);
    if (!bytes.isEmpty()) {
        encoding_ = decoded.encoding;
    }
    QStringList lines = SplitLines(decoded.text);
    const qsizetype keyLines = lines.size() - lines.count(QString());
    lines = SortedUnique(std::move(lines));
    if (inForm != nullptr) {
        *inForm = lines.size() == keyLines && LineEndsInForm(decoded.text);
    }
    Fold();
    lines_ = lines_.isEmpty() ? lines : MergeSorted(lines_, lines);
    device_ = st.st_dev;
    inode_ = st.st_ino;
    const qsizetype mark = decoded.encoding == TextEncoding::System ? 0 : MarkSize(encoding_);
    readTo_ = EndOfLastLine(bytes, encoding_, std::min(mark, bytes.size()));
    return lines;
}

QStringList HaveStore::TakeIn(int fd, const QString& path) {
    const struct stat st = StatOf(fd, path);
    if (readTo_ < 0 || quint64(st.st_dev) != device_ || quint64(st.st_ino) != inode_ ||
        st.st_size < readTo_) {
        return ReadWhole(fd, path);
    }
    if (st.st_size == readTo_) {
        return {};
    }
    const QByteArray bytes = ReadFrom(fd, readTo_, path);
    const QStringList lines = SplitLines(DecodeWithoutMark(bytes, encoding_));
    for (const QString& line : lines) {
        Add(line);
    }
    // A last line without its line end may still be in writing: it is read again next time.
    readTo_ += EndOfLastLine(bytes, encoding_, 0);
    return lines;
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
    const FileLock file = LockedHave(path, O_RDWR | O_APPEND | O_CREAT, FileLock::Mode::Exclusive);
    TakeIn(file.fd(), path);
    // Every key the store holds came from the file or went into it: one line per key.
    if (Contains(key)) {
        return;
    }

    const struct stat before = StatOf(file.fd(), path);
    QByteArray bytes;
    if (before.st_size == 0) {
        bytes = EncodeText(key + QLatin1String("\r\n"), encoding_);
    } else {
        // An unfinished last line (a writer killed midway, a file edited by hand) is ended
        // first, so the new key gets a line of its own.
        const QString lineEnd = readTo_ < before.st_size ? QStringLiteral("\r\n") : QString();
        bytes = EncodeWithoutMark(lineEnd + key + QLatin1String("\r\n"), encoding_);
    }
    // One write puts the line in whole unless the disk fills up; then what got in is taken
    // off again, so no unfinished line stays behind.
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n =
            ::write(file.fd(), bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            const int error = errno;
            if (::ftruncate(file.fd(), before.st_size) != 0) {
                // The next append ends the unfinished line first.
            }
            errno = error;
            FailToWrite(path);
        }
        done += n;
    }
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

void HaveStore::MergeAndWrite(const QString& path) {
    // Another process may have added lines since the last read; they are kept. The lock keeps
    // the instances that append from writing into the file this one is about to replace.
    const FileLock file = LockedHave(path, O_RDONLY | O_CREAT, FileLock::Mode::Exclusive);
    ReadWhole(file.fd(), path);
    QString text;
    qsizetype size = 0;
    for (const QString& line : lines_) {
        size += line.size() + 2;
    }
    text.reserve(size);
    for (const QString& line : lines_) {
        text += line;
        text += QLatin1String("\r\n");
    }
    // The file keeps the encoding it was read in; the old file stays whole if this fails.
    const QByteArray bytes = EncodeText(text, encoding_);
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
