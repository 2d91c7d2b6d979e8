#include "scraper/HaveStore.h"

#include <QFile>
#include <algorithm>

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

// The lines sorted without regard to letter case, each key once (the first spelling met wins).
// Empty lines carry no key and are dropped.
QStringList SortedUnique(QStringList lines) {
    lines.removeAll(QString());
    // The file is normally already in order, as this store wrote it.
    if (!std::is_sorted(lines.cbegin(), lines.cend(), LessNoCase)) {
        std::stable_sort(lines.begin(), lines.end(), LessNoCase);
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

// Reads the file into `decoded`; false when it does not exist. Throws when it cannot be read.
bool ReadStoreFile(const QString& path, DecodedText* decoded) {
    QFile file(path);
    if (!file.exists()) {
        return false;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        throw RunError(
            QStringLiteral("Не удалось прочитать файл %1: %2").arg(path, file.errorString()));
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        throw RunError(
            QStringLiteral("Не удалось прочитать файл %1: %2").arg(path, file.errorString()));
    }
    *decoded = DecodeText(bytes);
    return true;
}

}  // namespace

void HaveStore::Load(const QString& path) {
    lines_.clear();
    encoding_ = TextEncoding::System;
    DecodedText decoded;
    if (!ReadStoreFile(path, &decoded)) {
        return;
    }
    encoding_ = decoded.encoding;
    lines_ = SortedUnique(SplitLines(decoded.text));
}

bool HaveStore::Contains(const QString& key) const {
    const auto it = std::lower_bound(lines_.cbegin(), lines_.cend(), key, LessNoCase);
    return it != lines_.cend() && SameNoCase(*it, key);
}

void HaveStore::Add(const QString& key) {
    if (key.isEmpty()) {
        return;
    }
    const auto it = std::lower_bound(lines_.begin(), lines_.end(), key, LessNoCase);
    if (it != lines_.end() && SameNoCase(*it, key)) {
        return;
    }
    lines_.insert(it, key);
}

void HaveStore::MergeAndWrite(const QString& path) {
    // Another process may have added lines since the last read; they are kept.
    DecodedText decoded;
    if (ReadStoreFile(path, &decoded)) {
        lines_ = MergeSorted(lines_, SortedUnique(SplitLines(decoded.text)));
    }
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
    QString error;
    if (!WriteFileAtomically(path, EncodeText(text, encoding_), &error)) {
        throw RunError(error);
    }
}
