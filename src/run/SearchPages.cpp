#include "run/SearchPages.h"

#include <QCryptographicHash>
#include <algorithm>

#include "run/IntervalSplit.h"
#include "run/RunDriver.h"
#include "text/TextHelpers.h"

namespace {

const QString kCountMarker = QStringLiteral("search-results__total\">");
const QString kNoResultsMarker = QStringLiteral(">Поиск не дал результатов<");
const QString kCountEnd = QStringLiteral(" запис");
const QString kEntryMarker = QStringLiteral("<div class=\"search-registry-entry-block");
const QString kRejectLinkMarker = QStringLiteral("href=\"/epz/rdik/card/reject-info.html?");
const QString kNextArrow = QStringLiteral("arrow-prime.svg\" alt=\"\">");
const QString kActivePage = QStringLiteral("page__link_active");
const QString kPageEntry = QStringLiteral("<li class=\"page\">");
const QString kFirstPage = QStringLiteral("pageNumber=1&");
const QString kCrLf = QStringLiteral("\r\n");

// Where the parameter `name` begins: its "?" or "&", or -1.
qsizetype ParamStart(const QString& url, const QString& name) {
    const qsizetype first = url.indexOf(QLatin1Char('?') + name + QLatin1Char('='));
    return first >= 0 ? first : url.indexOf(QLatin1Char('&') + name + QLatin1Char('='));
}

QString DateParam(const QDate& date) {
    return date.isValid() ? date.toString(QStringLiteral("dd.MM.yyyy")) : QString();
}

// Adds the digest to the sorted list; false when it was there already.
bool InsertDigest(QStringList& digests, const QString& digest) {
    const auto it = std::lower_bound(digests.begin(), digests.end(), digest);
    if (it != digests.end() && *it == digest) {
        return false;
    }
    digests.insert(it, digest);
    return true;
}

}  // namespace

QString RemoveUrlParam(const QString& url, const QString& name) {
    const qsizetype start = ParamStart(url, name);
    if (start < 0) {
        return url;
    }
    const qsizetype next = url.indexOf(QLatin1Char('&'), start + 1);
    QString result = url;
    if (url.at(start) == QLatin1Char('?')) {
        // The query keeps its "?": the parameter goes with the "&" of the one that follows.
        result.remove(start + 1, next < 0 ? url.size() - start - 1 : next - start);
    } else {
        result.remove(start, next < 0 ? url.size() - start : next - start);
    }
    return result;
}

QString UrlParamValue(const QString& url, const QString& name) {
    const qsizetype start = ParamStart(url, name);
    if (start < 0) {
        return {};
    }
    const qsizetype from = start + name.size() + 2;
    const qsizetype next = url.indexOf(QLatin1Char('&'), from);
    return url.mid(from, next < 0 ? -1 : next - from);
}

QString IntervalKey(const QString& url) {
    const QString start =
        ExtractBetween(url, QStringLiteral("contractDateFrom="), QString(), QStringLiteral("&"));
    QString end = ExtractBetween(url, QStringLiteral("contractDateTo="), QString(), QString());
    const qsizetype amp = end.indexOf(QLatin1Char('&'));
    if (amp >= 0) {
        end.truncate(amp);
    }
    return QStringLiteral("contractDateFrom=") + start + QStringLiteral("&contractDateTo=") + end;
}

void RewriteStartUrl(RunDriver& run, QString& url) {
    for (const char* name : {"contractDateFrom", "contractDateTo", "publishDateFrom",
                             "publishDateTo", "updateDateFrom", "updateDateTo"}) {
        url = RemoveUrlParam(url, QString::fromLatin1(name));
    }
    QString from = DateParam(run.PublishDateFrom);
    QString to = DateParam(run.PublishDateTo);
    run.ReadTestExportFlag();
    if (run.CheckBox1Checked) {
        from = QStringLiteral("01.01.2026");
        to = QStringLiteral("01.02.2026");
    }
    url += QStringLiteral("&contractDateFrom=") + from + QStringLiteral("&contractDateTo=") + to;
    url = ReplaceAll(url, QStringLiteral("%2C"), QStringLiteral(","));
    url = ReplaceAll(url, QStringLiteral("%7B"), QStringLiteral("{"));
    url = ReplaceAll(url, QStringLiteral("%7D"), QStringLiteral("}"));
    url = RemoveUrlParam(url, QStringLiteral("recordsPerPage")) +
          QStringLiteral("&recordsPerPage=_500");
}

QStringList CollectRejectLinks(const QString& page, const QString& base, qsizetype* rest) {
    // The page is consumed with a moving position, so a page of 500 entries is read in time
    // linear in its length.
    QStringList links;
    qsizetype from = 0;
    for (;;) {
        const qsizetype start = page.indexOf(kEntryMarker, from);
        if (start < 0) {
            break;
        }
        qsizetype next = page.indexOf(kEntryMarker, start + 1);
        if (next < 0) {
            next = page.size();
        }
        // Just inside the current marker: the next search finds the next entry.
        from = start + 11;
        const qsizetype inBlock =
            QStringView(page).mid(start, next - start).indexOf(kRejectLinkMarker);
        if (inBlock < 0) {
            continue;
        }
        const qsizetype linkStart = start + inBlock + 6;  // the "/" after href="
        const qsizetype quote = page.indexOf(QLatin1Char('"'), linkStart);
        if (quote < 0) {
            continue;
        }
        QString link = page.mid(linkStart, quote - linkStart);
        if (link.startsWith(QLatin1Char('/'))) {
            link.prepend(base);
        }
        links.append(link);
    }
    if (rest != nullptr) {
        *rest = from;
    }
    return links;
}

QString NextPageUrl(const QString& page, qsizetype rest, const QString& url) {
    if (page.indexOf(kNextArrow, rest) < 0) {
        return {};
    }
    // The page-bar entry that follows the current page's.
    const qsizetype active = page.indexOf(kActivePage, rest);
    if (active < 0) {
        return {};
    }
    const qsizetype entry = page.indexOf(kPageEntry, active + kActivePage.size());
    if (entry < 0) {
        return {};
    }
    const qsizetype entryStart = entry + kPageEntry.size();
    const qsizetype entryEnd = page.indexOf(QStringLiteral("</li>"), entryStart);
    if (entryEnd < 0) {
        return {};
    }
    const QString number =
        ExtractBetween(page.mid(entryStart, entryEnd - entryStart), QStringLiteral("goToPage("),
                       QString(), QStringLiteral(")"));
    // Only a later page is followed, so a malformed page bar cannot walk a search in circles.
    bool ok = false;
    const int next = number.toInt(&ok);
    const int current = UrlParamValue(url, QStringLiteral("pageNumber")).toInt();
    if (!ok || next <= current) {
        return {};
    }
    return RemoveUrlParam(url, QStringLiteral("pageNumber")) + QStringLiteral("&pageNumber=") +
           number;
}

void HandleSearchPage(RunDriver& run, QString page, const QString& url) {
    qint32 records = 0;
    qsizetype rest = 0;
    const bool noResults = page.contains(kNoResultsMarker);
    const qsizetype marker = noResults ? -1 : page.indexOf(kCountMarker);
    const QString notFound = QStringLiteral("Не найдено количество записей: ") + url + kCrLf;
    const qsizetype countStart = marker + kCountMarker.size();
    const qsizetype countEnd = marker < 0 ? -1 : page.indexOf(kCountEnd, countStart);
    if (marker < 0) {
        if (!noResults) {
            run.AddLogLine(notFound);
        }
    } else if (countEnd < 0) {
        run.AddLogLine(notFound);
    } else {
        const QString countText =
            TrimControls(HtmlToText(page.mid(countStart, countEnd - countStart)));
        if (url.contains(kFirstPage)) {
            run.AddLogLine(IntervalKey(url) + kCrLf + QStringLiteral("Нашлось ") + countText +
                           QStringLiteral(" записей"));
            const qint32 count = ParseIntLenient(countText);
            records = count;
            if (run.ProgressBarMax == 0) {
                run.ProgressBarMax = count;
            }
            if (count >= kSplitThreshold && SplitInterval(run, url, count)) {
                // The narrower searches stand in for this one: nothing is taken from it.
                page.clear();
                records = 0;
            }
        }
        const QStringList links = CollectRejectLinks(page, run.PortalBase, &rest);
        for (const QString& link : links) {
            const QString digest = QString::fromLatin1(
                QCryptographicHash::hash(link.toUtf8(), QCryptographicHash::Md5).toHex());
            if (!InsertDigest(run.SeenRejectDigests, digest)) {
                continue;
            }
            run.AddLogLine(QStringLiteral("Найден отказ ") + link);
            run.RejectQueue.append(link);
        }
        run.TendersCounter += records;
        run.ShowCounters();
        run.ProgressBarPosition = run.TendersCounter;
        run.ShowProgress();
    }
    const QString next = NextPageUrl(page, rest, url);
    if (!next.isEmpty()) {
        run.SearchQueue.append(next);
    }
}
