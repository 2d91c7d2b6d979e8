#include "run/NoticeDetails.h"

#include <QStringList>

#include "portal/ContractCard.h"

namespace {

// A message may hold 4096 characters; a long subject must not cost the notice itself.
constexpr qsizetype kValueChars = 300;

QString Capped(const QString& value) {
    return value.size() <= kValueChars ? value : value.left(kValueChars) + QStringLiteral("…");
}

}  // namespace

QString CardNoticeDetails(const QString& page) {
    if (page.isEmpty()) {
        return {};
    }
    const ContractCard card = ReadContractCard(page);
    QStringList lines;
    if (!card.customer.isEmpty()) {
        lines << QStringLiteral("Заказчик: ") + Capped(card.customer);
    }
    QString supplier = Capped(card.supplier);
    if (!card.supplierInn.isEmpty()) {
        supplier += (supplier.isEmpty() ? QString() : QStringLiteral(", ")) +
                    QStringLiteral("ИНН ") + Capped(card.supplierInn);
    }
    if (!supplier.isEmpty()) {
        lines << QStringLiteral("Поставщик: ") + supplier;
    }
    if (!card.price.isEmpty()) {
        lines << QStringLiteral("Цена: ") + Capped(card.price) + QStringLiteral(" ₽");
    }
    if (!card.subject.isEmpty()) {
        lines << QStringLiteral("Предмет: ") + Capped(card.subject);
    }
    return lines.join(QLatin1Char('\n'));
}
