#include "run/CardRow.h"

#include <QFile>
#include <QStringList>
#include <algorithm>

#include "portal/ContractCard.h"
#include "text/TextHelpers.h"

namespace {

const QByteArray kLineEnd = "\r\n";

QString QuotedRow(const QStringList& fields) {
    return QLatin1Char('"') + fields.join(QStringLiteral("\";\"")) + QLatin1Char('"');
}

// A cell of text that someone wrote on the portal. A spreadsheet runs a cell that begins like a
// formula as one, quoted or not; an apostrophe in front keeps it text.
QString PageTextCell(const QString& text) {
    static const QString kFormulaStarts = QStringLiteral("=+-@\t\r");
    const QString cell = CsvSafeText(text);
    if (!cell.isEmpty() && kFormulaStarts.contains(cell.front())) {
        return QLatin1Char('\'') + cell;
    }
    return cell;
}

// A cell of digits, spaces and the signs of a number or a phone ("+7 (495) 000-00-00",
// "-1234,50") can hold no formula that reaches a cell, a function or another program, so a
// price or a phone stays as the portal shows it.
QString NumberCell(const QString& text) {
    static const QString kNumberSigns = QStringLiteral(" +-(),.");
    const bool plain = std::all_of(text.cbegin(), text.cend(), [](QChar c) {
        return (c >= u'0' && c <= u'9') || kNumberSigns.contains(c);
    });
    return plain ? CsvSafeText(text) : PageTextCell(text);
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

QString CardRow(const QString& page, const QString& url, const QString& signedAt) {
    const ContractCard card = ReadContractCard(page);
    // Every field goes through CsvSafeText, so no value can break the row's quoting; the date,
    // the registry number and the address are the program's own.
    return QuotedRow({
        CsvSafeText(signedAt.left(10)),
        PageTextCell(card.subject),
        CsvSafeText(QLatin1Char('\'') + RegistryIdOf(url)),
        CsvSafeText(url),
        PageTextCell(card.customer),
        PageTextCell(card.supplier),
        PageTextCell(card.supplierAddress),
        PageTextCell(card.supplierInn),
        NumberCell(card.price),
        NumberCell(card.phone),
        PageTextCell(card.email),
    });
}

bool CsvRowWrittenAt(const QString& path, qint64 offset, const QString& url,
                     const QString& signedAt) {
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
    return fields.size() == 11 && fields[0] == QLatin1Char('"') + CsvSafeText(signedAt.left(10)) &&
           fields[3] == CsvSafeText(url);
}
