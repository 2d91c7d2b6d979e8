#include "portal/ContractCard.h"

#include "text/CharacterReferences.h"
#include "text/TextHelpers.h"

namespace {

const QString kCellMarker = QStringLiteral("\"tableBlock__col\"");
const QString kBreak = QStringLiteral("<br>");

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

}  // namespace

QString RegistryIdOf(const QString& cardUrl) {
    const qsizetype eq = cardUrl.indexOf(QLatin1Char('='));
    return eq < 0 ? QString() : cardUrl.mid(eq + 1);
}

ContractCard ReadContractCard(const QString& page) {
    ContractCard card;
    card.subject = PlainText(ExtractBetween(page, QStringLiteral("Предмет контракта</span>"), {},
                                            QStringLiteral("</span>")));
    card.customer =
        PlainText(ExtractBetween(page, QStringLiteral("Полное наименование заказчика</span>"), {},
                                 QStringLiteral("</span>")));

    // The participants table's body, read cell by cell with a cursor.
    QString block = ExtractBetween(page, QStringLiteral("participantsInnerHtml"),
                                   QStringLiteral("<tbody"), QStringLiteral("</tbody>"));
    card.supplier = PlainText(ExtractBetween(block, QStringLiteral("tableBlock__col_first"),
                                             QStringLiteral(">"), QStringLiteral("<section")));
    card.supplierInn = PlainText(
        ExtractBetween(block, QStringLiteral("ИНН:</span>"), {}, QStringLiteral("</span>")));
    CutBlock(block);  // past the first plain cell of the row
    card.supplierAddress =
        PlainText(ExtractBetween(block, kCellMarker, QStringLiteral(">"), QStringLiteral("<")));

    const QString priceBlock = ExtractBetween(page, QStringLiteral("Цена контракта</span>"), {},
                                              QStringLiteral("</span>"));
    card.price = CellText(ExtractBetween(priceBlock, QStringLiteral("cost"), QStringLiteral(">"),
                                         QStringLiteral("&nbsp;")));
    card.price.remove(QChar(0x00A0));

    CutBlock(block);  // past the address cell
    if (page.contains(QStringLiteral("Почтовый адрес</th>"))) {
        CutBlock(block);  // past the postal-address cell
    }
    const QString contacts =
        ExtractBetween(block, kCellMarker, QStringLiteral(">"), QStringLiteral("</"));
    card.phone = CellText(TextBefore(contacts, kBreak));
    card.email = CellText(TextAfter(contacts, kBreak));
    return card;
}
