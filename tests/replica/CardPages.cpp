#include "CardPages.h"

QByteArray RenderCardPage(const CardData& card) {
    return QStringLiteral("<html><body>%1</body></html>").arg(card.registryId).toUtf8();
}
