// A contract card page to its CSV row and its notice's details. The input is the card's address,
// the refusal's signing date and the page, separated by NUL bytes (an input without them is a page
// alone); all three come from the portal.
#include <algorithm>

#include "FuzzSupport.h"
#include "portal/ContractCard.h"
#include "run/CardRow.h"
#include "run/NoticeDetails.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    InitFuzzApp(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QList<QByteArray> fields = SplitFields(data, size, 3);
    QString url = QStringLiteral(
        "https://zakupki.example/epz/contract/contractCard/common-info.html?reestrNumber="
        "2770100000126000011");
    QString date = QStringLiteral("12.01.2026 14:35");
    if (fields.size() == 3) {
        url = PageText(fields[0]);
        date = PageText(fields[1]);
    }
    const QString row = CardRow(PageText(fields.last()), url, date);
    // Eleven quoted fields whatever the page holds: no value may break the row's quoting.
    Require(row.count(QLatin1Char('"')) == 22, "a value broke the row's quoting");
    const QStringList cells = row.mid(1, row.size() - 2).split(QStringLiteral("\";\""));
    Require(cells.size() == 11, "the row has other than 11 fields");
    // No cell of the page's text may start like a spreadsheet formula.
    for (int column : {1, 4, 5, 6, 7, 8, 9, 10}) {
        const QString& cell = cells[column];
        // A price or a phone may start with a sign when it holds nothing but a number's.
        const bool numberOnly =
            (column == 8 || column == 9) && std::all_of(cell.cbegin(), cell.cend(), [](QChar c) {
                return c.isDigit() || QStringLiteral(" +-(),.").contains(c);
            });
        Require(cell.isEmpty() || numberOnly || !QStringLiteral("=+-@\t\r").contains(cell.front()),
                "a cell of the page starts like a formula");
    }
    RegistryIdOf(url);
    // The notice's details leave room in a message (4096 characters) for its first line.
    Require(CardNoticeDetails(PageText(fields.last())).size() <= 1600,
            "the card's details would not fit a message");
    return 0;
}
