// How long the listing phase's heavy steps take: reading one search page of 500 entries, loading
// have.txt stores of 100 000 and 1 000 000 keys, appending to them and looking keys and refusal
// pages up in them, and the peak memory of a process that only loads one; and how much
// processor time a run that mostly waits on the request spacing uses. Not a test; run it by hand
// (`have` for the have.txt steps alone):
//   cmake --build <build dir> --target listing_benchmark && <build dir>/tests/listing_benchmark
//   <build dir>/tests/listing_benchmark have
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QUuid>
#include <cstdio>
#include <numeric>
#include <random>

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

// A key as the portal gives them: the refusal page's address, then the signing date-time.
QString HaveKey(int i) {
    return QStringLiteral(
               "https://zakupki.example/epz/rdik/card/reject-info.html?contractReestrNumber=%1#"
               "%2.01.2026 10:00")
        .arg(3770000000000000000LL + static_cast<qint64>(i) * 7)
        .arg(i % 28 + 1, 2, 10, QLatin1Char('0'));
}

QString PageOf(const QString& key) {
    return key.left(key.indexOf(u'#'));
}

// A have.txt of `keys` keys: sorted, as a rewrite leaves it, or in the order the refusals came
// in, as appends leave it.
QByteArray HaveText(int keys, bool sorted) {
    QList<int> order(keys);
    std::iota(order.begin(), order.end(), 0);
    if (!sorted) {
        std::shuffle(order.begin(), order.end(), std::mt19937(7));
    }
    QByteArray text;
    text.reserve(static_cast<qsizetype>(keys) * 100);
    for (int i : order) {
        text += HaveKey(i).toUtf8();
        text += "\r\n";
    }
    return text;
}

void HaveUpdate(int keys, bool sorted) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("have.txt"));
    const QByteArray text = HaveText(keys, sorted);
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

    // Half the keys and pages asked for are there, half are not.
    std::mt19937 random(11);
    QStringList asked;
    QStringList pages;
    for (int i = 0; i < 1000; ++i) {
        const int n = static_cast<int>(random() % static_cast<unsigned>(keys));
        const QString key = i % 2 == 0 ? HaveKey(n) : HaveKey(n) + QLatin1Char('0');
        asked.append(key);
        pages.append(i % 2 == 0 ? PageOf(key) : PageOf(key) + QLatin1Char('1'));
    }
    constexpr int kRounds = 200;
    qsizetype found = 0;
    const double lookupUs = 1000.0 * AverageMs(kRounds * 1000, [&](int i) {
                                found += store.Contains(asked[i % 1000]) ? 1 : 0;
                            });
    const double pageUs = 1000.0 * AverageMs(kRounds * 1000, [&](int i) {
                              found += store.ContainsPage(pages[i % 1000]) ? 1 : 0;
                          });
    std::printf(
        "have.txt with %lld keys (%lld KB, %s): load %.1f ms, one update %.2f ms, one lookup "
        "%.2f us, one page lookup %.2f us (%lld found)\n",
        static_cast<long long>(store.Size()), static_cast<long long>(text.size() / 1024),
        sorted ? "sorted" : "in arrival order", loadMs, updateMs, lookupUs, pageUs,
        static_cast<long long>(found));
}

// The peak resident size of this process's memory since it started, in KB. Not ru_maxrss: that
// one carries over the parent's peak across fork and exec.
long PeakRssKb() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly)) {
        return -1;
    }
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:")) {
            return line.mid(6).trimmed().split(' ').value(0).toLong();
        }
    }
    return -1;
}

// The child's part of HavePeak: only the load, so the process's peak is the load's own.
int HaveLoadOnly(const QString& path) {
    const long before = PeakRssKb();
    HaveStore store;
    store.Load(path);
    std::printf("%lld %ld %ld\n", static_cast<long long>(store.Size()), before, PeakRssKb());
    return 0;
}

// The peak resident memory of a process that loads have.txt and does nothing else, as a
// multiple of the file's size.
void HavePeak(int keys, bool sorted) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("have.txt"));
    const QByteArray text = HaveText(keys, sorted);
    WriteFile(path, text);
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--load-only"), path});
    if (!child.waitForFinished(120000) || child.exitCode() != 0) {
        std::printf("have.txt peak: the loading process failed\n");
        return;
    }
    const QList<QByteArray> figures = child.readAllStandardOutput().trimmed().split(' ');
    const double fileMb = static_cast<double>(text.size()) / (1024.0 * 1024.0);
    const double startMb = figures.value(1).toDouble() / 1024.0;
    const double peakMb = figures.value(2).toDouble() / 1024.0;
    std::printf(
        "have.txt with %s keys (%.1f MB, %s), a process that only loads it: peak RSS %.1f MB = "
        "%.2f x the file (%.1f MB before the load)\n",
        figures.value(0).constData(), fileMb, sorted ? "sorted" : "in arrival order", peakMb,
        peakMb / fileMb, startMb);
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
    const QStringList args = app.arguments();
    if (args.size() == 3 && args[1] == QLatin1String("--load-only")) {
        return HaveLoadOnly(args[2]);
    }
    const bool haveOnly = args.size() == 2 && args[1] == QLatin1String("have");
    if (!haveOnly) {
        SearchPage();
    }
    HaveUpdate(100000, true);
    HaveUpdate(1000000, true);
    HaveUpdate(1000000, false);
    HavePeak(1000000, true);
    HavePeak(1000000, false);
    if (!haveOnly) {
        WaitingRun();
    }
    return 0;
}
