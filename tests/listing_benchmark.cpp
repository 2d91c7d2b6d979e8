// How long the listing phase's two heavy steps take: reading one search page of 500 entries, and
// one update of a have.txt store of 100 000 keys. Not a test; run it by hand:
//   cmake --build <build dir> --target listing_benchmark && <build dir>/tests/listing_benchmark
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <cstdio>

#include "PortalImitation.h"
#include "scraper/HaveStore.h"
#include "scraper/HeadlessRunView.h"
#include "scraper/Scraper.h"
#include "scraper/SearchPages.h"
#include "support/TestSupport.h"

namespace {

template <typename F>
double AverageMs(int rounds, F&& step) {
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < rounds; ++i) {
        step(i);
    }
    return static_cast<double>(timer.nsecsElapsed()) / 1e6 / rounds;
}

void SearchPage() {
    const replica::PortalImitation portal(
        replica::MakePortalDataSet(1001, QDate(2026, 1, 1), QDate(2026, 1, 31), 1, 100));
    // The second page of a search: 500 entries, each with a refusal link, and a next page.
    const QString url = QStringLiteral(
        "https://p.test/epz/contract/search/results.html?morphology=on&"
        "contractDateFrom=01.01.2026&contractDateTo=31.01.2026&recordsPerPage=_500&pageNumber=2");
    const QString page =
        QString::fromUtf8(portal.searchPage(url.mid(url.indexOf('?') + 1).toUtf8()));

    qsizetype links = 0;
    const double parseMs = AverageMs(200, [&](int) {
        qsizetype rest = 0;
        links = CollectRejectLinks(page, QStringLiteral("https://p.test"), &rest).size();
        NextPageUrl(page, rest, url);
    });
    std::printf("search page: %lld KB, %lld refusal links; reading links and next page: %.2f ms\n",
                static_cast<long long>(page.size() / 1024), static_cast<long long>(links), parseMs);

    // The whole handling, with the count line, 500 log lines and the counters.
    HeadlessRunView view;
    const double handleMs = AverageMs(10, [&](int) {
        TScraper run(&view);
        run.PortalBase = QStringLiteral("https://p.test");
        HandleSearchPage(run, page, url);
    });
    std::printf("whole handling of the page (500 log lines to the view): %.2f ms\n", handleMs);
}

void HaveUpdate() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("have.txt"));
    QByteArray text;
    for (int i = 0; i < 100000; ++i) {
        text += QStringLiteral(
                    "https://zakupki.example/epz/rdik/card/reject-info.html?"
                    "contractReestrNumber=%1#%2.01.2026 10:00\r\n")
                    .arg(3770000000000000000LL + i * 7)
                    .arg(i % 28 + 1, 2, 10, QLatin1Char('0'))
                    .toUtf8();
    }
    WriteFile(path, text);
    HaveStore store;
    QElapsedTimer timer;
    timer.start();
    store.Load(path);
    const double loadMs = static_cast<double>(timer.nsecsElapsed()) / 1e6;
    const double updateMs = AverageMs(10, [&](int i) {
        store.Add(QStringLiteral("https://zakupki.example/epz/rdik/card/reject-info.html?new=%1#"
                                 "01.02.2026 10:00")
                      .arg(i));
        store.MergeAndWrite(path);
    });
    std::printf(
        "have.txt with %lld keys (%lld KB): load %.1f ms, one update (add, re-read, "
        "merge, write) %.1f ms\n",
        static_cast<long long>(store.Lines().size()), static_cast<long long>(text.size() / 1024),
        loadMs, updateMs);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    SearchPage();
    HaveUpdate();
    return 0;
}
