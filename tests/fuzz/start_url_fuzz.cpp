// StartURL.txt: read as the driver reads it, rewritten with the run's dates, then taken apart
// the way paging and splitting take a search apart.
#include <QDate>

#include "FuzzSupport.h"
#include "fetch/FetchWorker.h"
#include "portal/SearchQuery.h"
#include "text/ByteText.h"
#include "text/TextHelpers.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    InitFuzzApp(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    QString url = TrimControls(SplitLines(DecodeText(bytes).text).join(QStringLiteral("\r\n")));
    FetchWorker::BaseAddressOf(url);
    FetchWorker::IsDetailUrl(url);
    url = StartSearchUrl(url, QDate(2026, 1, 1), QDate(2026, 1, 31));
    Require(url.endsWith(QStringLiteral(
                "contractDateFrom=01.01.2026&contractDateTo=31.01.2026&recordsPerPage=_500")),
            "the run's dates and page size do not end the search");
    IntervalKey(url);
    try {
        const QStringList pieces = SplitSearch(url, 5000, QDate(2026, 2, 1));
        for (const QString& piece : pieces) {
            Require(piece != url, "a split gave the search itself back");
        }
    } catch (const std::exception&) {
        // Dates that cannot be read: the search is walked as it stands.
    }
    return 0;
}
