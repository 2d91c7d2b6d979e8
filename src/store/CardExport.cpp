#include "store/CardExport.h"

#include <fcntl.h>
#include <unistd.h>

#include <QDateTime>
#include <QFileInfo>
#include <QStringList>
#include <cerrno>
#include <cstring>

#include "run/RunView.h"
#include "run/RunDriver.h"
#include "text/StampedLine.h"
#include "text/ByteText.h"
#include "text/CharacterReferences.h"
#include "text/RunError.h"
#include "text/TextHelpers.h"

namespace {

const QString kCellMarker = QStringLiteral("\"tableBlock__col\"");
const QString kBreak = QStringLiteral("<br>");
const QByteArray kLineEnd = "\r\n";
// Runs that start in one second share a name stem; far more than this is a folder gone wrong.
constexpr int kMaxCopies = 1000;

// A value taken from page markup as plain text: tags gone, references decoded, trimmed.
QString PlainText(const QString& html) {
    return TrimControls(HtmlToReadableText(html));
}

// A value cut from between tags whose markup, such as a second "<br>", stays as it is.
QString CellText(const QString& text) {
    return TrimControls(DecodeCharacterReferences(text));
}

// Moves the participants cursor past the next plain cell's marker (by its first two
// characters, so the same marker is not found again); without one, by a single character.
void CutBlock(QString& block) {
    const qsizetype at = block.indexOf(kCellMarker);
    block.remove(0, at < 0 ? 1 : at + 2);
}

QString TextBefore(const QString& text, const QString& marker) {
    const qsizetype at = text.indexOf(marker);
    return at < 0 ? QString() : text.left(at);
}

QString TextAfter(const QString& text, const QString& marker) {
    const qsizetype at = text.indexOf(marker);
    return at < 0 ? QString() : text.mid(at + marker.size());
}

QString QuotedRow(const QStringList& fields) {
    return QLatin1Char('"') + fields.join(QStringLiteral("\";\"")) + QLatin1Char('"');
}

}  // namespace

QString CardHeaderLine() {
    return QuotedRow({
        QStringLiteral("Дата уведомления"),
        QStringLiteral("Предмет контракта"),
        QStringLiteral("№ контракта"),
        QStringLiteral("Ссылка"),
        QStringLiteral("Заказчик"),
        QStringLiteral("Поставщик"),
        QStringLiteral("Адрес поставщика"),
        QStringLiteral("ИНН поставщика"),
        QStringLiteral("Цена контракта"),
        QStringLiteral("Рабочий телефон"),
        QStringLiteral("Рабочий e-mail"),
    });
}

QString RegistryIdOf(const QString& cardUrl) {
    const qsizetype eq = cardUrl.indexOf(QLatin1Char('='));
    return eq < 0 ? QString() : cardUrl.mid(eq + 1);
}

QString CardRow(const QString& page, const QString& url, const QString& protocolDate) {
    // Every field goes through CsvSafeText, so no value can break the row's quoting.
    const QString registryId = RegistryIdOf(url);
    const QString subject = PlainText(ExtractBetween(
        page, QStringLiteral("Предмет контракта</span>"), {}, QStringLiteral("</span>")));
    const QString customer =
        PlainText(ExtractBetween(page, QStringLiteral("Полное наименование заказчика</span>"), {},
                                 QStringLiteral("</span>")));

    // The participants table's body, read cell by cell with a cursor.
    QString block = ExtractBetween(page, QStringLiteral("participantsInnerHtml"),
                                   QStringLiteral("<tbody"), QStringLiteral("</tbody>"));
    const QString supplier =
        PlainText(ExtractBetween(block, QStringLiteral("tableBlock__col_first"),
                                 QStringLiteral(">"), QStringLiteral("<section")));
    const QString inn = PlainText(
        ExtractBetween(block, QStringLiteral("ИНН:</span>"), {}, QStringLiteral("</span>")));
    CutBlock(block);  // past the first plain cell of the row
    const QString address =
        PlainText(ExtractBetween(block, kCellMarker, QStringLiteral(">"), QStringLiteral("<")));

    const QString priceBlock = ExtractBetween(page, QStringLiteral("Цена контракта</span>"), {},
                                              QStringLiteral("</span>"));
    QString price = CellText(ExtractBetween(priceBlock, QStringLiteral("cost"), QStringLiteral(">"),
                                            QStringLiteral("&nbsp;")));
    price.remove(QChar(0x00A0));

    CutBlock(block);  // past the address cell
    if (page.contains(QStringLiteral("Почтовый адрес</th>"))) {
        CutBlock(block);  // past the postal-address cell
    }
    const QString contacts =
        ExtractBetween(block, kCellMarker, QStringLiteral(">"), QStringLiteral("</"));
    const QString phone = CellText(TextBefore(contacts, kBreak));
    const QString email = CellText(TextAfter(contacts, kBreak));

    return QuotedRow({
        CsvSafeText(protocolDate.left(10)),
        CsvSafeText(subject),
        CsvSafeText(QLatin1Char('\'') + registryId),
        CsvSafeText(url),
        CsvSafeText(customer),
        CsvSafeText(supplier),
        CsvSafeText(address),
        CsvSafeText(inn),
        CsvSafeText(price),
        CsvSafeText(phone),
        CsvSafeText(email),
    });
}

bool CsvRowWrittenAt(const QString& path, qint64 offset, const QString& url,
                     const QString& protocolDate) {
    QFile file(path);
    if (offset < 0 || !file.open(QIODevice::ReadOnly) || !file.seek(offset)) {
        return false;
    }
    const QByteArray line = file.readLine(1 << 20);
    if (!line.endsWith(kLineEnd)) {
        return false;  // no row there, or not a whole one
    }
    const QStringList fields =
        QString::fromUtf8(line.chopped(kLineEnd.size())).split(QStringLiteral("\";\""));
    return fields.size() == 11 &&
           fields[0] == QLatin1Char('"') + CsvSafeText(protocolDate.left(10)) &&
           fields[3] == CsvSafeText(url);
}

CardExport::CardExport(RunDriver& run) : run_(run) {
    const QString stem = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd HH-mm-ss"));
    const QByteArray header = "\xEF\xBB\xBF" + CardHeaderLine().toUtf8() + kLineEnd;
    RunView& view = run_.View();
    const auto announce = [&] {
        const QString line =
            Stamp() + QStringLiteral(": Данные будут записываться в файл ") + path_;
        CallOnView(view, [&] { view.AppendRawLine(line); });
    };
    try {
        if (!CreateWithHeader(stem, header)) {
            CreateThenWriteHeader(stem, header);
        }
    } catch (...) {
        announce();
        throw;
    }
    announce();
    // The new name itself must survive a power cut, like the rows it is to hold.
    SyncDirectory(QFileInfo(path_).absolutePath());
}

QString CardExport::Candidate(const QString& stem, int copy) const {
    return run_.ProgramPath((copy == 1 ? stem : stem + QStringLiteral(" (%1)").arg(copy)) +
                            QStringLiteral(".csv"));
}

bool CardExport::CreateWithHeader(const QString& stem, const QByteArray& header) {
    // The header goes into a file without a name, which then gets the first free name: a kill
    // at any moment leaves no file without its header. Two runs that start in the same second
    // (a window and a service on one folder) each get a file of their own.
    if (!QFileInfo::exists(QStringLiteral("/proc/self/fd"))) {
        return false;
    }
    const QByteArray dir = QFile::encodeName(QFileInfo(Candidate(stem, 1)).absolutePath());
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
        path_ = Candidate(stem, copy);
        const QByteArray name = QFile::encodeName(path_);
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

void CardExport::CreateThenWriteHeader(const QString& stem, const QByteArray& header) {
    for (int copy = 1;; ++copy) {
        path_ = Candidate(stem, copy);
        file_.setFileName(path_);
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
        file_.remove();
        throw;
    }
}

CardExport::~CardExport() {
    if (file_.isOpen()) {
        file_.close();
    }
}

void CardExport::WriteRow(const QString& page, const QString& url, const QString& protocolDate) {
    WriteLine(CardRow(page, url, protocolDate).toUtf8() + kLineEnd);
}

void CardExport::WriteLine(const QByteArray& line) {
    // The whole line in one write; should the system take only part of it (a full disk), the
    // file is cut back to its last whole line before the error is reported.
    const qint64 before = file_.size();
    const qint64 written = file_.write(line);
    // On disk before the export journal lets go of the refusal.
    if (written != line.size() || !file_.flush() || ::fdatasync(file_.handle()) != 0) {
        const QString error = file_.errorString();
        file_.resize(before);
        throw RunError(error);
    }
}

void CardExport::Close() {
    if (closed_) {
        return;
    }
    closed_ = true;
    const bool wasOpen = file_.isOpen();
    if (wasOpen) {
        file_.flush();
        file_.close();
    }
    if (run_.NewRejectSeen) {
        run_.AddLogLine(QStringLiteral("Найденные отказы сохранены в файл ") + FileName());
    } else if (wasOpen) {
        QFile::remove(path_);
    }
}

QString CardExport::FileName() const {
    return path_.mid(path_.lastIndexOf(QLatin1Char('/')) + 1);
}
