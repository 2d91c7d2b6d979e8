#include "run/NoticeDetails.h"

#include <QStringList>

#include "portal/ContractCard.h"

QString CardNoticeDetails(const QString& page) {
    if (page.isEmpty()) {
        return {};
    }
    const ContractCard card = ReadContractCard(page);
    QStringList lines;
    if (!card.customer.isEmpty()) {
        lines << QStringLiteral("Заказчик: ") + card.customer;
    }
    QString supplier = card.supplier;
    if (!card.supplierInn.isEmpty()) {
        supplier += (supplier.isEmpty() ? QString() : QStringLiteral(", ")) +
                    QStringLiteral("ИНН ") + card.supplierInn;
    }
    if (!supplier.isEmpty()) {
        lines << QStringLiteral("Поставщик: ") + supplier;
    }
    if (!card.price.isEmpty()) {
        lines << QStringLiteral("Цена: ") + card.price + QStringLiteral(" ₽");
    }
    if (!card.subject.isEmpty()) {
        lines << QStringLiteral("Предмет: ") + card.subject;
    }
    return lines.join(QLatin1Char('\n'));
}
