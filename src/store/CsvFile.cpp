#include "store/CsvFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <QDir>
#include <QFileInfo>
#include <cerrno>
#include <cstring>

#include "text/ByteText.h"
#include "text/FileSteps.h"
#include "text/RunError.h"

namespace {

const QByteArray kLineEnd = "\r\n";
// Runs that start in one second share a name stem; far more than this is a folder gone wrong.
constexpr int kMaxCopies = 1000;

}  // namespace

CsvFile::CsvFile(QString folder, QString stem)
    : folder_(std::move(folder)), stem_(std::move(stem)) {}

void CsvFile::Create(const QString& header) {
    const QByteArray bytes = "\xEF\xBB\xBF" + header.toUtf8() + kLineEnd;
    if (!CreateWithHeader(bytes)) {
        CreateThenWriteHeader(bytes);
    }
    // The new name itself must survive a power cut, like the rows it is to hold.
    SyncDirectory(QFileInfo(path_).absolutePath());
}

QString CsvFile::Candidate(int copy) const {
    return QDir(folder_).filePath((copy == 1 ? stem_ : stem_ + QStringLiteral(" (%1)").arg(copy)) +
                                  QStringLiteral(".csv"));
}

bool CsvFile::CreateWithHeader(const QByteArray& header) {
    // The header goes into a file without a name, which then gets the first free name: a kill
    // at any moment leaves no file without its header. Two runs that start in the same second
    // (a window and a service on one folder) each get a file of their own.
    if (!QFileInfo::exists(QStringLiteral("/proc/self/fd"))) {
        return false;
    }
    const QByteArray dir = QFile::encodeName(QFileInfo(Candidate(1)).absolutePath());
    const int fd = ::open(dir.constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (fd < 0) {
        if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) {
            return false;  // a file system without nameless files
        }
        throw RunError(QString::fromLocal8Bit(std::strerror(errno)));
    }
    // Unbuffered: every line goes to the system in one write, so nothing waits in a buffer.
    if (!file_.open(fd, QIODevice::WriteOnly | QIODevice::Unbuffered,
                    QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        throw RunError(file_.errorString());
    }
    WriteLine(header);
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(fd);
    for (int copy = 1;; ++copy) {
        path_ = Candidate(copy);
        const QByteArray name = QFile::encodeName(path_);
        FileStep("link", path_);
        if (::linkat(AT_FDCWD, self.constData(), AT_FDCWD, name.constData(), AT_SYMLINK_FOLLOW) ==
            0) {
            return true;
        }
        // Only a name another file holds is passed over; a broken link there is an error.
        if (errno != EEXIST || !QFileInfo::exists(path_) || copy >= kMaxCopies) {
            const QString error = QString::fromLocal8Bit(std::strerror(errno));
            file_.close();
            throw RunError(error);
        }
    }
}

void CsvFile::CreateThenWriteHeader(const QByteArray& header) {
    for (int copy = 1;; ++copy) {
        path_ = Candidate(copy);
        file_.setFileName(path_);
        FileStep("create", path_);
        if (file_.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered)) {
            break;
        }
        if (!file_.exists() || copy >= kMaxCopies) {
            throw RunError(file_.errorString());
        }
    }
    try {
        WriteLine(header);
    } catch (...) {
        // A file without its header is no export: nothing of it is left behind.
        file_.close();
        FileStep("unlink", path_);
        file_.remove();
        throw;
    }
}

CsvFile::~CsvFile() {
    if (file_.isOpen()) {
        file_.close();
    }
}

void CsvFile::Append(const QString& line) {
    WriteLine(line.toUtf8() + kLineEnd);
}

void CsvFile::WriteLine(const QByteArray& line) {
    // The whole line in one write; should the system take only part of it (a full disk), the
    // file is cut back to its last whole line before the error is reported.
    const qint64 before = file_.size();
    // A header goes into the file before it has a name.
    const QString named = path_.isEmpty() ? QFileInfo(Candidate(1)).absolutePath() : path_;
    FileStep("write", named, before, line.size());
    const qint64 written = file_.write(line);
    // On disk before the export journal lets go of the refusal.
    bool synced = false;
    if (written == line.size() && file_.flush()) {
        FileStep("fsync", named);
        synced = ::fdatasync(file_.handle()) == 0;
    }
    if (!synced) {
        const QString error = file_.errorString();
        FileStep("truncate", named, before);
        file_.resize(before);
        throw RunError(error);
    }
}

void CsvFile::Close(bool keep) {
    if (closed_) {
        return;
    }
    closed_ = true;
    if (file_.isOpen()) {
        file_.flush();
        file_.close();
        if (!keep) {
            FileStep("unlink", path_);
            QFile::remove(path_);
        }
    }
}

QString CsvFile::FileName() const {
    return path_.mid(path_.lastIndexOf(QLatin1Char('/')) + 1);
}

bool CsvFile::CutTornLastLine(const QString& path, qint64 offset) {
    QFile file(path);
    if (offset < 0 || !file.open(QIODevice::ReadWrite) || file.size() <= offset ||
        !file.seek(offset)) {
        return false;
    }
    // Rows have no line break inside: bytes without one up to the end are what is left of a
    // row a crash cut short, never a row of its own.
    if (file.read(file.size() - offset).contains('\n')) {
        return false;
    }
    FileStep("truncate", path, offset);
    if (!file.resize(offset)) {
        return false;
    }
    FileStep("fsync", path);
    return ::fdatasync(file.handle()) == 0;
}
