#include "CardPages.h"

#include <QString>

namespace {

// One "section" line of the card's general block: a grey title and its value.
QString Section(const QString& title, const QString& value) {
    return QStringLiteral(
               "        <section class=\"blockInfo__section section\">\n"
               "          <span class=\"section__title\">%1</span>\n"
               "          <span class=\"section__info\">%2</span>\n"
               "        </section>\n")
        .arg(title, value);
}

}  // namespace

QByteArray RenderCardPage(const CardData& card) {
    const bool postal = !card.postalAddress.isEmpty();
    QString html;
    html += QStringLiteral(
                "<!DOCTYPE html>\n"
                "<html lang=\"ru\">\n"
                "<head>\n"
                "  <meta charset=\"utf-8\">\n"
                "  <title>Сведения о контракте (его изменении) № %1</title>\n"
                "  <link rel=\"stylesheet\" href=\"/epz/static/css/common.css\">\n"
                "</head>\n"
                "<body class=\"cardBody\">\n"
                "<div class=\"cardWrapper outerWrapper\">\n"
                "  <div class=\"cardHeaderBlock\">\n"
                "    <div class=\"sectionMainInfo__header\">\n"
                "      <span class=\"cardMainInfo__purchaseLink\">№ %1</span>\n"
                "      <span class=\"cardMainInfo__state\">Исполнение</span>\n"
                "    </div>\n"
                "    <div class=\"price-block\">\n"
                "      <span class=\"cardMainInfo__title\">Цена контракта</span>\n"
                "      <span class=\"cardMainInfo__content cost\">%2&nbsp;₽</span>\n"
                "    </div>\n"
                "  </div>\n"
                "  <div class=\"container\">\n"
                "    <div class=\"row blockInfo\">\n"
                "      <h2 class=\"blockInfo__title\">Общая информация</h2>\n")
                .arg(card.registryId, card.price);
    html += Section(QStringLiteral("Предмет контракта"), card.subject);
    html += Section(QStringLiteral("Цена контракта"),
                    QStringLiteral("<span class=\"cost\">%1&nbsp;₽").arg(card.price));
    html += QStringLiteral(
        "    </div>\n"
        "    <div class=\"row blockInfo\">\n"
        "      <h2 class=\"blockInfo__title\">Информация о заказчике</h2>\n");
    html += Section(QStringLiteral("Полное наименование заказчика"), card.customer);
    html += Section(
        QStringLiteral("Сокращенное наименование заказчика"),
        QStringLiteral("<a href=\"/epz/organization/view/info.html\">%1</a>").arg(card.customer));
    html += QStringLiteral(
        "    </div>\n"
        "    <div class=\"row blockInfo\" id=\"participantsInnerHtml\">\n"
        "      <h2 class=\"blockInfo__title\">Информация о поставщиках</h2>\n"
        "      <table class=\"blockInfo__table tableBlock\">\n"
        "        <thead class=\"tableBlock__head\">\n"
        "          <tr class=\"tableBlock__row\">\n"
        "            <th class=\"tableBlock__col tableBlock__col_header\">Наименование "
        "юридического лица (ф.и.о. физического лица)</th>\n"
        "            <th class=\"tableBlock__col tableBlock__col_header\">Страна, код "
        "государства</th>\n"
        "            <th class=\"tableBlock__col tableBlock__col_header\">Адрес места "
        "нахождения</th>\n");
    if (postal) {
        html += QStringLiteral(
            "            <th class=\"tableBlock__col tableBlock__col_header\">Почтовый "
            "адрес</th>\n");
    }
    html += QStringLiteral(
        "            <th class=\"tableBlock__col tableBlock__col_header\">Контактная "
        "информация</th>\n"
        "          </tr>\n"
        "        </thead>\n"
        "        <tbody class=\"tableBlock__body\">\n"
        "          <tr class=\"tableBlock__row\">\n");
    html +=
        QStringLiteral(
            "            <td class=\"tableBlock__col tableBlock__col_first\">%1\n"
            "              <section class=\"section\"><span class=\"grey-main-light\">ИНН:</span> "
            "<span>%2</span></section>\n"
            "            </td>\n"
            "            <td class=\"tableBlock__col\">Российская Федерация<br>643</td>\n"
            "            <td class=\"tableBlock__col\">%3</td>\n")
            .arg(card.supplier, card.supplierInn, card.supplierAddress);
    if (postal) {
        html += QStringLiteral("            <td class=\"tableBlock__col\">%1</td>\n")
                    .arg(card.postalAddress);
    }
    html +=
        QStringLiteral("            <td class=\"tableBlock__col\">%1</td>\n").arg(card.contactCell);
    html += QStringLiteral(
        "          </tr>\n"
        "        </tbody>\n"
        "      </table>\n"
        "    </div>\n"
        "    <div class=\"row blockInfo\">\n"
        "      <h2 class=\"blockInfo__title\">Объекты закупки</h2>\n"
        "      <table class=\"blockInfo__table tableBlock\">\n"
        "        <tbody class=\"tableBlock__body\">\n"
        "          <tr class=\"tableBlock__row\"><td class=\"tableBlock__col\">1</td></tr>\n"
        "        </tbody>\n"
        "      </table>\n"
        "    </div>\n"
        "  </div>\n"
        "</div>\n"
        "<footer class=\"footer\">Единая информационная система в сфере закупок</footer>\n"
        "</body>\n"
        "</html>\n");
    return html.toUtf8();
}
