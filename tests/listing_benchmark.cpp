// How long the listing phase's heavy steps take: reading one search page of 500 entries, loading
// and updating have.txt stores of 100 000 and 1 000 000 keys; and how much processor time a run
// that mostly waits on the request spacing uses. Not a test; run it by hand:
//   cmake --build <build dir> --target listing_benchmark && <build dir>/tests/listing_benchmark
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QUuid>
#include <cstdio>

#include <sys/resource.h>

#include "PortalImitation.h"
#include "portal/SearchPage.h"
#include "run/RecordedRunReport.h"
#include "run/RunDriver.h"
#include "run/SearchPages.h"
#include "store/HaveStore.h"
#include "support/ListingParts.h"
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
        links = CollectRefusalLinks(page, QStringLiteral("https://p.test"), &rest).size();
        NextPageUrl(page, rest, url);
    });
    std::printf("search page: %lld KB, %lld refusal links; reading links and next page: %.2f ms\n",
                static_cast<long long>(page.size() / 1024), static_cast<long long>(links), parseMs);

    // The whole handling, with the count line, 500 log lines and the counters.
    RecordedRunReport view;
    QTemporaryDir dir;
    const double handleMs = AverageMs(10, [&](int) {
        ListingParts run(view, RunOptionsIn(dir.path()), QStringLiteral("https://p.test"));
        run.listing.ApplySearchPage(
            ReadSearchResults(page, url, run.inputs.portalBase, QDate::currentDate()));
    });
    std::printf("whole handling of the page (500 log lines to the view): %.2f ms\n", handleMs);
}

void HaveUpdate(int keys) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("have.txt"));
    QByteArray text;
    text.reserve(static_cast<qsizetype>(keys) * 100);
    for (int i = 0; i < keys; ++i) {
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
        const QString key = QStringLiteral(
                                "https://zakupki.example/epz/rdik/card/reject-info.html?new=%1#"
                                "01.02.2026 10:00")
                                .arg(i);
        store.Append(path, key);
    });
    std::printf("have.txt with %lld keys (%lld KB): load %.1f ms, one update %.1f ms\n",
                static_cast<long long>(store.Lines().size()),
                static_cast<long long>(text.size() / 1024), loadMs, updateMs);
}

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A whole run with the product's timing against the portal imitation in this process: a few
// refusals, so the run spends nearly all its time waiting out the 2 s spacing.
void WaitingRun() {
    replica::PortalImitation portal(
        replica::MakePortalDataSet(30, QDate(2026, 1, 1), QDate(2026, 1, 31), 7, 15));
    replica::PortalReplica server;
    server.setHandler(portal.handler());
    QTemporaryDir dir;
    WriteFile(dir.filePath(QStringLiteral("StartURL.txt")),
              replica::PortalImitation::StartUrl(server.url()).toUtf8());
    RecordedRunReport view;
    RunOptions options = RunOptionsIn(dir.path());
    options.threadLimit = 1;
    options.contractFrom = QDate(2026, 1, 1);
    options.contractTo = QDate(2026, 1, 31);
    RunDriver run(&view, options);

    QElapsedTimer timer;
    timer.start();
    const double cpuBefore = CpuSeconds();
    run.start();
    run.wait();
    const double cpu = CpuSeconds() - cpuBefore;
    const double wall = static_cast<double>(timer.nsecsElapsed()) / 1e9;
    std::printf(
        "a run that mostly waits (%d requests in %.1f s): process CPU %.2f s, %.2f %% of one "
        "core\n",
        server.requestCount(), wall, cpu, 100.0 * cpu / wall);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    SearchPage();
    HaveUpdate(100000);
    HaveUpdate(1000000);
    WaitingRun();
    return 0;
}
