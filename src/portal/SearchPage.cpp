#include "portal/SearchPage.h"

#include "portal/SearchQuery.h"
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

}  // namespace

qint32 SearchCount::Number() const {
    return ParseIntLenient(text);
}

SearchCount ReadSearchCount(const QString& page) {
    SearchCount count;
    if (page.contains(kNoResultsMarker)) {
        count.state = SearchCount::State::NoResults;
        return count;
    }
    const qsizetype marker = page.indexOf(kCountMarker);
    if (marker < 0) {
        return count;
    }
    const qsizetype countStart = marker + kCountMarker.size();
    const qsizetype countEnd = page.indexOf(kCountEnd, countStart);
    if (countEnd < 0) {
        return count;
    }
    count.state = SearchCount::State::Found;
    count.text = TrimControls(HtmlToText(page.mid(countStart, countEnd - countStart)));
    return count;
}

qsizetype CountSearchEntries(const QString& page) {
    return page.count(kEntryMarker);
}

QStringList CollectRefusalLinks(const QString& page, const QString& base, qsizetype* rest) {
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
