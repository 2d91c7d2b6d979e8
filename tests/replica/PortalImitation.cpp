#include "PortalImitation.h"

#include <QMap>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>

namespace replica {

namespace {

const QString kDateLayout = QStringLiteral("dd.MM.yyyy");

// The query's parameters, percent-decoded; the first occurrence of a name counts.
QMap<QString, QString> ParseQuery(const QByteArray& query) {
    QMap<QString, QString> params;
    for (const QByteArray& pair : query.split('&')) {
        const qsizetype eq = pair.indexOf('=');
        const QString name = QString::fromUtf8(eq < 0 ? pair : pair.left(eq));
        if (name.isEmpty() || params.contains(name)) {
            continue;
        }
        const QByteArray value = eq < 0 ? QByteArray() : pair.mid(eq + 1);
        params.insert(name, QString::fromUtf8(QByteArray::fromPercentEncoding(
                                QByteArray(value).replace('+', ' '))));
    }
    return params;
}

QString Escape(const QString& text) {
    return text.toHtmlEscaped();
}

// "1 234 567": digit groups of three, as the portal shows counts and prices.
QString Grouped(qint64 value) {
    QString digits = QString::number(value);
    for (qsizetype i = digits.size() - 3; i > 0; i -= 3) {
        digits.insert(i, QLatin1Char(' '));
    }
    return digits;
}

// "запись", "записи" or "записей" after a count.
QString RecordsWord(qint64 count) {
    const qint64 lastTwo = count % 100;
    const qint64 last = count % 10;
    if (lastTwo >= 11 && lastTwo <= 14) {
        return QStringLiteral("записей");
    }
    if (last == 1) {
        return QStringLiteral("запись");
    }
    if (last >= 2 && last <= 4) {
        return QStringLiteral("записи");
    }
    return QStringLiteral("записей");
}

QString PageHead(const QString& title) {
    return QStringLiteral(
               "<!DOCTYPE html>\n"
               "<html lang=\"ru\">\n"
               "<head>\n"
               "  <meta charset=\"UTF-8\">\n"
               "  <meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
               "  <title>%1</title>\n"
               "  <link rel=\"stylesheet\" href=\"/epz/static/css/bootstrap.min.css\">\n"
               "  <link rel=\"stylesheet\" href=\"/epz/static/css/common.css?v=20260112\">\n"
               "  <script src=\"/epz/static/js/jquery.min.js\"></script>\n"
               "  <script>\n"
               "    function goToPage(n) {\n"
               "      var form = document.getElementById('quickSearchForm_header');\n"
               "      form.pageNumber.value = n;\n"
               "      form.submit();\n"
               "    }\n"
               "    window.dataLayer = window.dataLayer || [];\n"
               "  </script>\n"
               "</head>\n"
               "<body class=\"page-body\">\n"
               "<header class=\"header\">\n"
               "  <nav class=\"navbar\">\n"
               "    <a class=\"navbar-brand\" href=\"/epz/main/public/home.html\">"
               "<img src=\"/epz/static/img/icons/logo.svg\" alt=\"ЕИС\"></a>\n"
               "    <ul class=\"navbar-nav\">\n"
               "      <li class=\"nav-item\"><a href=\"/epz/order/extendedsearch/search.html\">"
               "Закупки</a></li>\n"
               "      <li class=\"nav-item\"><a href=\"/epz/contract/search/search.html\">"
               "Контракты и договоры</a></li>\n"
               "      <li class=\"nav-item\"><a href=\"/epz/rdik/search/search.html\">"
               "Реестр решений</a></li>\n"
               "    </ul>\n"
               "  </nav>\n"
               "</header>\n")
        .arg(title);
}

QString PageFoot() {
    return QStringLiteral(
        "<footer class=\"footer\">\n"
        "  <div class=\"footer__copyright\">Официальный сайт Единой информационной системы в "
        "сфере закупок</div>\n"
        "  <a href=\"/epz/main/public/document/view.html\">Документы</a>\n"
        "</footer>\n"
        "<script src=\"/epz/static/js/common.js?v=20260112\"></script>\n"
        "</body>\n"
        "</html>\n");
}

// A text input of the search form, its value written before its name, as the portal does.
QString FormInput(const QString& name, const QString& value, const QString& placeholder) {
    return QStringLiteral(
               "          <input type=\"text\" class=\"form-control\" value=\"%1\" name=\"%2\" "
               "placeholder=\"%3\" autocomplete=\"off\">\n")
        .arg(Escape(value), name, placeholder);
}

QString Entry(const ContractRecord& contract) {
    QString entry = QStringLiteral(
                        "<div class=\"search-registry-entry-block box-shadow-search-input\">\n"
                        "  <div class=\"row no-gutters registry-entry__form mr-0\">\n"
                        "    <div class=\"col-8 pr-0 mr-21px\">\n"
                        "      <div class=\"registry-entry__header\">\n"
                        "        <div class=\"registry-entry__header-top__title\">44-ФЗ</div>\n"
                        "        <div class=\"registry-entry__header-mid__number\">\n"
                        "          <a href=\"%1?reestrNumber=%2\" target=\"_blank\">№ %2</a>\n"
                        "        </div>\n"
                        "      </div>\n"
                        "      <div class=\"registry-entry__body\">\n"
                        "        <div class=\"registry-entry__body-title\">Заказчик</div>\n"
                        "        <div class=\"registry-entry__body-href\">%3</div>\n"
                        "        <div class=\"registry-entry__body-title\">Объект закупки</div>\n"
                        "        <div class=\"registry-entry__body-value\">%4</div>\n"
                        "      </div>\n"
                        "    </div>\n"
                        "    <div class=\"col d-flex flex-column registry-entry__right-block\">\n"
                        "      <div class=\"price-block\">\n"
                        "        <div class=\"price-block__title\">Цена контракта</div>\n"
                        "        <div class=\"price-block__value\">%5,00&nbsp;₽</div>\n"
                        "      </div>\n"
                        "      <div class=\"data-block mt-auto\">\n"
                        "        <div class=\"data-block__title\">Заключен</div>\n"
                        "        <div class=\"data-block__value\">%6</div>\n"
                        "      </div>\n")
                        .arg(QString::fromLatin1(PortalImitation::kCardPath), contract.registryId,
                             contract.card.customer, contract.card.subject, Grouped(contract.price),
                             contract.concluded.toString(kDateLayout));
    if (!contract.rejectQuery.isEmpty()) {
        entry += QStringLiteral(
                     "      <div class=\"href d-flex\">\n"
                     "        <a href=\"%1?%2\" target=\"_blank\">Информация об одностороннем "
                     "отказе от исполнения контракта</a>\n"
                     "      </div>\n")
                     .arg(QString::fromLatin1(PortalImitation::kRejectPath), contract.rejectQuery);
    }
    entry += QStringLiteral(
        "    </div>\n"
        "  </div>\n"
        "</div>\n");
    return entry;
}

QString PageLink(int number, bool active) {
    return QStringLiteral(
               "      <li class=\"page\"><a class=\"page__link%1\" data-pagenumber=\"%2\" "
               "href=\"javascript:goToPage(%2)\"><span class=\"link-text\">%2</span></a></li>\n")
        .arg(active ? QStringLiteral(" page__link_active") : QString())
        .arg(number);
}

// The page bar: the first and last pages, two either side of the current one, and arrows.
QString PageBar(int page, int pages) {
    if (pages <= 1) {
        return {};
    }
    QString bar = QStringLiteral("<div class=\"paginator-block\">\n  <div class=\"paginator\">\n");
    if (page > 1) {
        bar += QStringLiteral(
                   "    <a class=\"paginator-button paginator-button-prev\" "
                   "href=\"javascript:goToPage(%1)\"><img "
                   "src=\"/epz/static/img/icons/arrow-prime-left.svg\" alt=\"Назад\"></a>\n")
                   .arg(page - 1);
    }
    bar += QStringLiteral("    <ul class=\"pages\">\n");
    int shown = 0;
    for (int n = 1; n <= pages; ++n) {
        if (n == 1 || n == pages || std::abs(n - page) <= 2) {
            if (shown != 0 && n - shown > 1) {
                bar += QStringLiteral(
                    "      <li class=\"page page__ellipsis\"><span>...</span></li>\n");
            }
            bar += PageLink(n, n == page);
            shown = n;
        }
    }
    bar += QStringLiteral("    </ul>\n");
    if (page < pages) {
        bar += QStringLiteral(
                   "    <a class=\"paginator-button paginator-button-next\" "
                   "href=\"javascript:goToPage(%1)\"><img "
                   "src=\"/epz/static/img/icons/arrow-prime.svg\" alt=\"\"></a>\n")
                   .arg(page + 1);
    }
    bar += QStringLiteral("  </div>\n</div>\n");
    return bar;
}

QString Document(const RefusalDocument& document, int index) {
    return QStringLiteral(
               "    <div class=\"attachment__item\">\n"
               "      <section class=\"littleBlack pb-3\">\n"
               "        <span class=\"section__value\">%1</span>\n"
               "      </section>\n"
               "      <section class=\"blockInfo__section\">\n"
               "        <a href=\"/44fz/filestore/public/1.0/download/rdik/file.html?uid=%2\" "
               "class=\"attachment__link\">Решение_%3.pdf</a>\n"
               "      </section>\n"
               "      <section class=\"blockInfo__section\">\n"
               "        <span class=\"section__title\">Подписано\n"
               "        </span>\n"
               "      </section>\n"
               "      <section class=\"section__info\">%4</section>\n"
               "    </div>\n")
        .arg(Escape(document.title))
        .arg(0xA000 + index, 0, 16)
        .arg(index)
        .arg(Escape(document.signedAt));
}

QString RenderSearch(const QList<const ContractRecord*>& matches,
                     const QMap<QString, QString>& params) {
    int perPage = 10;
    QString perPageText = params.value(QStringLiteral("recordsPerPage"));
    perPageText.remove(QLatin1Char('_'));
    if (perPageText.toInt() > 0) {
        perPage = perPageText.toInt();
    }
    const int page = std::max(1, params.value(QStringLiteral("pageNumber")).toInt());
    const int total = static_cast<int>(matches.size());
    const int pages = (total + perPage - 1) / perPage;

    QString html = PageHead(QStringLiteral("Реестр контрактов и договоров"));
    html += QStringLiteral(
        "<main class=\"main\">\n"
        "  <form id=\"quickSearchForm_header\" action=\"/epz/contract/search/results.html\">\n"
        "    <div class=\"search-filter\">\n"
        "      <div class=\"row\">\n"
        "        <div class=\"col\">\n"
        "          <span class=\"search-filter__title\">Дата заключения контракта</span>\n");
    html += FormInput(QStringLiteral("contractDateFrom"),
                      params.value(QStringLiteral("contractDateFrom")), QStringLiteral("с"));
    html += FormInput(QStringLiteral("contractDateTo"),
                      params.value(QStringLiteral("contractDateTo")), QStringLiteral("по"));
    html += QStringLiteral(
        "        </div>\n"
        "        <div class=\"col\">\n"
        "          <span class=\"search-filter__title\">Цена контракта</span>\n");
    html += FormInput(QStringLiteral("contractPriceFrom"),
                      params.value(QStringLiteral("contractPriceFrom")), QStringLiteral("от"));
    html += FormInput(QStringLiteral("contractPriceTo"),
                      params.value(QStringLiteral("contractPriceTo")), QStringLiteral("до"));
    html += QStringLiteral(
        "        </div>\n"
        "      </div>\n"
        "      <input type=\"hidden\" name=\"pageNumber\" value=\"1\">\n"
        "    </div>\n"
        "  </form>\n");

    if (total == 0) {
        html += QStringLiteral(
            "  <div class=\"search-results\">\n"
            "    <div class=\"no-data\"><p class=\"no-data__text\">Поиск не дал результатов</p>"
            "</div>\n"
            "  </div>\n");
    } else {
        html += QStringLiteral(
                    "  <div class=\"search-results\">\n"
                    "    <div class=\"search-results__header\">\n"
                    "      <div class=\"search-results__total\">%1 %2</div>\n"
                    "    </div>\n")
                    .arg(Grouped(total), RecordsWord(total));
        const int first = (page - 1) * perPage;
        for (int i = first; i < std::min(total, first + perPage); ++i) {
            html += Entry(*matches[i]);
        }
        html += PageBar(page, pages);
        html += QStringLiteral("  </div>\n");
    }
    html += QStringLiteral("</main>\n");
    html += PageFoot();
    return html;
}

QString RenderReject(const QList<const ContractRecord*>& contracts) {
    const ContractRecord& contract = *contracts.first();
    QString html =
        PageHead(QStringLiteral("Информация об одностороннем отказе от исполнения "
                                "контракта"));
    html += QStringLiteral(
                "<div class=\"cardWrapper outerWrapper\">\n"
                "  <div class=\"cardHeaderBlock\">\n"
                "    <span class=\"cardMainInfo__title\">Информация об одностороннем отказе от "
                "исполнения контракта</span>\n"
                "  </div>\n"
                "  <div class=\"wrapper\">\n"
                "    <section class=\"blockInfo__section section\">\n"
                "      <span class=\"section__title\">Реестровый номер контракта</span>\n"
                "      <span class=\"section__info\">%1</span>\n"
                "    </section>\n"
                "    <section class=\"blockInfo__section section\">\n"
                "      <span class=\"section__title\">Заказчик</span>\n"
                "      <span class=\"section__info\">%2</span>\n"
                "    </section>\n"
                "  </div>\n")
                .arg(contract.contractLink.isEmpty()
                         ? contract.registryId
                         : QStringLiteral("<a href=\"%1\" target=\"_blank\">%2</a>")
                               .arg(contract.contractLink, contract.registryId),
                     contract.card.customer);
    html += QStringLiteral(
        "  <section class=\"attachment\">\n"
        "    <h2 class=\"blockInfo__title\">Документы</h2>\n");
    int index = 0;
    for (const ContractRecord* shared : contracts) {
        for (const RefusalDocument& document : shared->documents) {
            html += Document(document, ++index);
        }
    }
    html += QStringLiteral(
        "  </section>\n"
        "</div>\n");
    html += PageFoot();
    return html;
}

// Whether `value` lies within the bound texts; an empty or unreadable bound does not limit.
bool InDateWindow(const QDate& value, const QString& from, const QString& to) {
    const QDate lo = QDate::fromString(from, kDateLayout);
    const QDate hi = QDate::fromString(to, kDateLayout);
    return (!lo.isValid() || value >= lo) && (!hi.isValid() || value <= hi);
}

bool InPriceBand(qint64 value, const QString& from, const QString& to) {
    bool loOk = false;
    bool hiOk = false;
    const qint64 lo = from.toLongLong(&loOk);
    const qint64 hi = to.toLongLong(&hiOk);
    return (!loOk || value >= lo) && (!hiOk || value <= hi);
}

const QStringList kSubjects = {
    QStringLiteral("Поставка медицинских изделий"),
    QStringLiteral("Выполнение работ по ремонту кровли здания школы"),
    QStringLiteral("Оказание услуг по уборке помещений"),
    QStringLiteral("Поставка продуктов питания &quot;молочная продукция&quot;"),
    QStringLiteral("Капитальный ремонт автомобильной дороги"),
};
const QStringList kCustomers = {
    QStringLiteral("ГОСУДАРСТВЕННОЕ БЮДЖЕТНОЕ УЧРЕЖДЕНИЕ ЗДРАВООХРАНЕНИЯ &quot;ГОРОДСКАЯ "
                   "БОЛЬНИЦА № 4&quot;"),
    QStringLiteral("МУНИЦИПАЛЬНОЕ БЮДЖЕТНОЕ ОБЩЕОБРАЗОВАТЕЛЬНОЕ УЧРЕЖДЕНИЕ &quot;СРЕДНЯЯ "
                   "ШКОЛА № 12&quot;"),
    QStringLiteral("АДМИНИСТРАЦИЯ СЕЛЬСКОГО ПОСЕЛЕНИЯ"),
    // As the portal has written customers' quotes since autumn 2026.
    QStringLiteral(
        "ГОСУДАРСТВЕННОЕ БЮДЖЕТНОЕ УЧРЕЖДЕНИЕ ЗДРАВООХРАНЕНИЯ ГОРОДА МОСКВЫ &#034;ДЕТСКАЯ "
        "ГОРОДСКАЯ ПОЛИКЛИНИКА № 28 ДЕПАРТАМЕНТА ЗДРАВООХРАНЕНИЯ ГОРОДА МОСКВЫ&#034;"),
};
const QStringList kSuppliers = {
    QStringLiteral("ОБЩЕСТВО С ОГРАНИЧЕННОЙ ОТВЕТСТВЕННОСТЬЮ &quot;ВЕКТОР&quot;"),
    QStringLiteral("ИНДИВИДУАЛЬНЫЙ ПРЕДПРИНИМАТЕЛЬ ИВАНОВ ИВАН ИВАНОВИЧ"),
    QStringLiteral("АКЦИОНЕРНОЕ ОБЩЕСТВО &quot;СТРОЙМОНТАЖ&quot;"),
};

}  // namespace

ContractRecord MakeContract(const QString& registryId, const QDate& concluded, qint64 price) {
    ContractRecord contract;
    contract.registryId = registryId;
    contract.concluded = concluded;
    contract.price = price;
    contract.contractLink = QString::fromLatin1(PortalImitation::kCardPath) +
                            QStringLiteral("?reestrNumber=") + registryId;
    const int pick = static_cast<int>(registryId.right(4).toInt());
    contract.card.registryId = registryId;
    contract.card.subject = kSubjects[pick % kSubjects.size()];
    contract.card.customer = kCustomers[pick % kCustomers.size()];
    contract.card.supplier = kSuppliers[pick % kSuppliers.size()];
    contract.card.supplierInn = QStringLiteral("77%1").arg(pick, 8, 10, QLatin1Char('0'));
    contract.card.supplierAddress = QStringLiteral(
                                        "Российская Федерация, 123456, г. Москва, "
                                        "ул. Ленина, д. %1")
                                        .arg(pick % 200 + 1);
    contract.card.price =
        Grouped(price).replace(QLatin1Char(' '), QChar(0x00A0)) + QStringLiteral(",00");
    contract.card.contactCell =
        QStringLiteral("+7 900 %1-00-00<br>info%2@example.ru").arg(pick % 900 + 100).arg(pick);
    return contract;
}

RefusalDocument CustomerRefusal(const QString& signedAt) {
    return {QStringLiteral("Решение заказчика об одностороннем отказе от исполнения контракта"),
            signedAt};
}

RefusalDocument SupplierRefusal(const QString& signedAt) {
    return {QStringLiteral("Решение поставщика (подрядчика, исполнителя) об одностороннем "
                           "отказе от исполнения контракта"),
            signedAt};
}

RefusalDocument RefusalCancellation(const QString& signedAt) {
    return {QStringLiteral("Решение об отмене не вступившего в силу решения об одностороннем "
                           "отказе от исполнения контракта"),
            signedAt};
}

void AddRefusal(ContractRecord& contract, const QList<RefusalDocument>& documents) {
    contract.rejectQuery = QStringLiteral("contractReestrNumber=") + contract.registryId;
    contract.documents = documents;
}

PortalDataSet ThreeRefusals() {
    PortalDataSet data;
    ContractRecord twice =
        MakeContract(QStringLiteral("2770100000126000011"), QDate(2026, 1, 4), 150000);
    AddRefusal(twice, {CustomerRefusal(QStringLiteral("12.01.2026 14:35")),
                       SupplierRefusal(QStringLiteral("20.01.2026 09:10"))});
    ContractRecord postal =
        MakeContract(QStringLiteral("2770100000126000022"), QDate(2026, 1, 6), 2500000);
    postal.card.postalAddress = QStringLiteral("123456, г. Москва, а/я 7");
    AddRefusal(postal, {CustomerRefusal(QStringLiteral("14.01.2026 10:00"))});
    data.contracts << twice << postal
                   << MakeContract(QStringLiteral("2770100000126000033"), QDate(2026, 1, 8), 999);
    return data;
}

PortalDataSet MakePortalDataSet(int count, const QDate& from, const QDate& to, quint32 seed,
                                int refusalPercent) {
    std::mt19937 rng(seed);
    auto below = [&rng](qint64 n) {
        return n <= 0 ? qint64(0) : static_cast<qint64>(rng() % static_cast<quint64>(n));
    };
    const qint64 days = std::max<qint64>(0, from.daysTo(to));
    PortalDataSet data;
    data.contracts.reserve(count);
    for (int i = 0; i < count; ++i) {
        const QString id = QStringLiteral("3%1%2")
                               .arg(below(1000000000000LL) + 1000000000000LL)
                               .arg(i, 5, 10, QLatin1Char('0'));
        const QDate concluded = from.addDays(below(days + 1));
        // Prices spread over several orders of magnitude, as the register's do.
        const qint64 price = (below(9000) + 1000) * static_cast<qint64>(std::pow(10, below(5)));
        ContractRecord contract = MakeContract(id, concluded, price);
        if (below(100) < refusalPercent) {
            auto signedAt = [&] {
                // Signed after the conclusion, but never after the data set's last day.
                const QDate day = std::min(concluded.addDays(below(90) + 1), to);
                return day.toString(kDateLayout) + QStringLiteral(" %1:%2")
                                                       .arg(below(24), 2, 10, QLatin1Char('0'))
                                                       .arg(below(60), 2, 10, QLatin1Char('0'));
            };
            const qint64 kind = below(10);
            if (kind < 7) {
                AddRefusal(contract, {CustomerRefusal(signedAt())});
            } else if (kind < 9) {
                AddRefusal(contract, {CustomerRefusal(signedAt()), SupplierRefusal(signedAt())});
            } else {
                AddRefusal(contract,
                           {CustomerRefusal(signedAt()), RefusalCancellation(signedAt())});
            }
        }
        data.contracts.append(contract);
    }
    return data;
}

PortalImitation::PortalImitation(PortalDataSet data) : data_(std::move(data)) {}

void PortalImitation::setData(PortalDataSet data) {
    std::lock_guard lock(mutex_);
    data_ = std::move(data);
}

PortalDataSet PortalImitation::data() const {
    std::lock_guard lock(mutex_);
    return data_;
}

QByteArray PortalImitation::searchPage(const QByteArray& query) const {
    const QMap<QString, QString> params = ParseQuery(query);
    std::lock_guard lock(mutex_);
    QList<const ContractRecord*> matches;
    for (const ContractRecord& contract : data_.contracts) {
        if (InDateWindow(contract.concluded, params.value(QStringLiteral("contractDateFrom")),
                         params.value(QStringLiteral("contractDateTo"))) &&
            InPriceBand(contract.price, params.value(QStringLiteral("contractPriceFrom")),
                        params.value(QStringLiteral("contractPriceTo")))) {
            matches.append(&contract);
        }
    }
    // The latest contracts first; equal days in registry order, so pages never overlap.
    std::stable_sort(matches.begin(), matches.end(),
                     [](const ContractRecord* a, const ContractRecord* b) {
                         if (a->concluded != b->concluded) {
                             return a->concluded > b->concluded;
                         }
                         return a->registryId < b->registryId;
                     });
    return RenderSearch(matches, params).toUtf8();
}

QByteArray PortalImitation::rejectPage(const QByteArray& query) const {
    const QString wanted = QString::fromUtf8(query);
    std::lock_guard lock(mutex_);
    QList<const ContractRecord*> contracts;
    for (const ContractRecord& contract : data_.contracts) {
        if (!contract.rejectQuery.isEmpty() && contract.rejectQuery == wanted) {
            contracts.append(&contract);
        }
    }
    return contracts.isEmpty() ? QByteArray() : RenderReject(contracts).toUtf8();
}

void PortalImitation::setMode(Mode mode) {
    std::lock_guard lock(mutex_);
    mode_ = mode;
}

Response PortalImitation::handle(const Request& request) {
    Mode mode;
    {
        std::lock_guard lock(mutex_);
        mode = mode_;
    }
    const QByteArray path = request.path();
    const QByteArray bare =
        "<!DOCTYPE html><html><head><title>ЕИС</title></head><body>"
        "<p>Страница</p></body></html>";
    switch (mode) {
        case Mode::Normal:
            break;
        case Mode::ForbidAll:
            return Response::Status(403, "Forbidden", "<html><body>403 Forbidden</body></html>");
        case Mode::BlockPage:
            return Response::Ok(
                "<html><body><h1>Доступ ограничен</h1><form class=\"captcha\">"
                "<img src=\"/captcha.png\"></form></body></html>");
        case Mode::ChangedMarkup:
        case Mode::UnknownEntries:
            if (path == kSearchPath) {
                Response response = normal(request);
                if (mode == Mode::ChangedMarkup) {
                    response.body.replace("search-results__total", "search-results__summary");
                } else {
                    response.body.replace("search-registry-entry-block", "registry-record-card");
                }
                return response;
            }
            break;
        case Mode::EmptyRefusals:
            if (path == kRejectPath) {
                return Response::Ok(bare);
            }
            break;
        case Mode::EmptyCards:
            if (path == kCardPath) {
                return Response::Ok(bare);
            }
            break;
    }
    return normal(request);
}

Response PortalImitation::normal(const Request& request) {
    const QByteArray path = request.path();
    if (path == kSearchPath) {
        return Response::Ok(searchPage(request.query()));
    }
    if (path == kRejectPath) {
        const QByteArray page = rejectPage(request.query());
        return page.isEmpty() ? NotFound(request) : Response::Ok(page);
    }
    if (path == kCardPath) {
        const QString id = ParseQuery(request.query()).value(QStringLiteral("reestrNumber"));
        std::lock_guard lock(mutex_);
        for (const ContractRecord& contract : data_.contracts) {
            if (contract.registryId == id) {
                return Response::Ok(RenderCardPage(contract.card));
            }
        }
    }
    return NotFound(request);
}

QString PortalImitation::StartUrl(const QString& base) {
    return base + QString::fromLatin1(kSearchPath) +
           QStringLiteral(
               "?morphology=on&search-filter=%D0%94%D0%B0%D1%82%D0%B5+%D1%80%D0%B0%D0%B7%D0%BC"
               "%D0%B5%D1%89%D0%B5%D0%BD%D0%B8%D1%8F&fz44=on&contractStageList_0=on"
               "&contractStageList_1=on&contractStageList=0%2C1&budgetLevelsIdNameHidden=%7B%7D"
               "&contractDateFrom=01.06.2025&contractDateTo=30.06.2025&sortBy=UPDATE_DATE"
               "&pageNumber=1&sortDirection=false&recordsPerPage=_10&showLotsInfoHidden=false");
}

}  // namespace replica
