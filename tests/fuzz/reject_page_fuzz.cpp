// A refusal page as read (its documents and its card link) and as the run driver handles it
// (the have.txt store, the refusal date filter, the card address of an accepted refusal). The first
// byte picks the filter; the rest is the page as received.
#include <QFile>

#include "FuzzSupport.h"
#include "portal/RefusalPage.h"
#include "text/ByteText.h"
#include "text/TextHelpers.h"

namespace {

const QString kUrl = QStringLiteral(
    "https://zakupki.example/epz/rdik/card/reject-info.html?rejectId=1234567&reestrNumber="
    "2770100000126000011");

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    InitFuzzApp(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    QDate from;
    QDate to;
    switch (data[0] % 3) {
        case 1:
            from = QDate(2026, 1, 10);
            to = QDate(2026, 1, 20);
            break;
        case 2:
            to = QDate(2025, 12, 31);
            break;
        default:
            break;
    }
    const std::unique_ptr<ListingParts> run = FuzzListing(from, to);
    const QString havePath = run->options.WorkPath(QStringLiteral("have.txt"));
    const QString page = PageText(
        QByteArray(reinterpret_cast<const char*>(data + 1), static_cast<qsizetype>(size - 1)));

    // Titles are trimmed and keep no run of spaces; a cancellation is only flagged.
    RefusalDocuments documents(page);
    RefusalDocument document;
    while (documents.Next(&document)) {
        for (const QString& title : {document.title, document.readableTitle}) {
            Require(!title.contains(QStringLiteral("  ")), "a title keeps a run of spaces");
            Require(TrimControls(title) == title, "a title is not trimmed");
        }
        Require(document.cancels == document.title.contains(QStringLiteral("об отмене")),
                "a cancellation flagged by anything but its title");
        Require(
            !document.cancels || (document.readableTitle.isEmpty() && document.signedAt.isEmpty()),
            "a cancellation was read further");
    }
    const QString card = ContractCardLink(page, run->inputs.portalBase);
    Require(!card.startsWith(QLatin1Char('/')), "a card link without the portal's address");

    try {
        run->listing.ApplyRefusalPage(page, kUrl);
    } catch (const std::exception&) {
        // A failed page is logged by the driver and the run goes on.
    }
    // Each accepted refusal is new, and is in have.txt.
    if (!run->listing.Cards().isEmpty()) {
        Require(run->exporter.NewRefusalSeen(), "a refusal was accepted without being new");
        QFile file(havePath);
        Require(file.open(QIODevice::ReadOnly), "have.txt was not written");
        const QStringList lines = SplitLines(DecodeText(file.readAll()).text);
        Require(!lines.isEmpty(), "have.txt is empty after a new refusal");
        for (const QString& line : lines) {
            Require(line.startsWith(kUrl + QLatin1Char('#')), "have.txt holds a foreign line");
        }
    }
    return 0;
}
