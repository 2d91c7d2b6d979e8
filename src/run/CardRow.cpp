#include "run/CardRow.h"

#include <QFile>
#include <QStringList>

#include "portal/ContractCard.h"
#include "text/TextHelpers.h"

namespace {

const QByteArray kLineEnd = "\r\n";

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

QString CardRow(const QString& page, const QString& url, const QString& signedAt) {
    const ContractCard card = ReadContractCard(page);
    // Every field goes through CsvSafeText, so no value can break the row's quoting.
    return QuotedRow({
        CsvSafeText(signedAt.left(10)),
        CsvSafeText(card.subject),
        CsvSafeText(QLatin1Char('\'') + RegistryIdOf(url)),
        CsvSafeText(url),
        CsvSafeText(card.customer),
        CsvSafeText(card.supplier),
        CsvSafeText(card.supplierAddress),
        CsvSafeText(card.supplierInn),
        CsvSafeText(card.price),
        CsvSafeText(card.phone),
        CsvSafeText(card.email),
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
