// A search-result page as read (the record count, the refusal links, the next page) and as the
// run driver handles it (the split of a large search, the queues). The first byte picks which
// search the page answers; the rest is the page as received.
#include <QStringList>

#include "FuzzSupport.h"
#include "portal/SearchPage.h"
#include "portal/SearchQuery.h"
#include "run/SearchPages.h"

namespace {

const QStringList kSearches = {
    // The first page of a month: a large count splits it into date windows.
    QStringLiteral("https://zakupki.example/epz/contract/search/results.html?morphology=on&"
                   "pageNumber=1&sortBy=UPDATE_DATE&contractDateFrom=01.01.2026&"
                   "contractDateTo=31.01.2026&recordsPerPage=_500"),
    // A later page of the same search: no count, links and the page bar only.
    QStringLiteral("https://zakupki.example/epz/contract/search/results.html?morphology=on&"
                   "sortBy=UPDATE_DATE&contractDateFrom=01.01.2026&contractDateTo=31.01.2026&"
                   "recordsPerPage=_500&pageNumber=3"),
    // The first page of one day: a large count splits it into price bands.
    QStringLiteral("https://zakupki.example/epz/contract/search/results.html?morphology=on&"
                   "pageNumber=1&contractDateFrom=15.01.2026&contractDateTo=15.01.2026&"
                   "recordsPerPage=_500"),
    // The first page of one day and a narrow price band.
    QStringLiteral("https://zakupki.example/epz/contract/search/results.html?morphology=on&"
                   "pageNumber=1&contractDateFrom=15.01.2026&contractDateTo=15.01.2026&"
                   "contractPriceFrom=1000&contractPriceTo=1003&recordsPerPage=_500"),
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    InitFuzzApp(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::unique_ptr<ListingParts> run = FuzzListing();
    const QString& base = run->inputs.portalBase;
    const QString& url = kSearches[data[0] % kSearches.size()];
    const QString page = PageText(
        QByteArray(reinterpret_cast<const char*>(data + 1), static_cast<qsizetype>(size - 1)));

    const SearchCount count = ReadSearchCount(page);
    if (count.state == SearchCount::State::Found) {
        try {
            count.Number();
        } catch (const std::exception&) {
            // A count that is no number fails the page, as the driver logs it.
        }
    }
    qsizetype rest = -1;
    const QStringList links = CollectRefusalLinks(page, base, &rest);
    Require(rest >= 0 && rest <= page.size(), "the page bar is read from outside the page");
    for (const QString& link : links) {
        Require(link.startsWith(base + QStringLiteral("/epz/rdik/card/reject-info.html?")),
                "a refusal link that is not the portal's");
    }
    const QString next = NextPageUrl(page, rest, url);
    if (!next.isEmpty()) {
        Require(UrlParamValue(next, QStringLiteral("pageNumber")).toInt() >
                    UrlParamValue(url, QStringLiteral("pageNumber")).toInt(),
                "the next page is not a later page");
    }

    try {
        run->listing.ApplySearchPage(ReadSearchResults(page, url, base, QDate::currentDate()));
    } catch (const std::exception&) {
        // A failed page is logged by the driver and the run goes on.
    }
    // Whatever the page says, every queued search is narrower or later than this one, so a
    // page cannot make the run walk in circles.
    for (const QString& queued : run->listing.SearchQueue()) {
        Require(queued != url, "a search page queued its own search again");
    }
    for (const QString& link : run->listing.RefusalQueue()) {
        Require(!link.isEmpty(), "an empty refusal link was queued");
    }
    return 0;
}
