#pragma once

#include <QString>
#include <QStringList>

// A search-result page: its record count, its refusal links and its next page.

struct SearchCount {
    enum class State {
        NoResults,  // the page says the search found nothing
        NotFound,   // no count marker, or no end behind it
        Found,
    };
    State state = State::NotFound;
    // The count as the page writes it, tags and entities gone, trimmed.
    QString text;

    // The number in `text`; throws RunError when it is not one or does not fit.
    qint32 Number() const;
};

SearchCount ReadSearchCount(const QString& page);

// The refusal links of a page's result entries, in page order, with `base` put in front of the
// ones that begin with "/". `rest` receives where the part of the page behind the entries
// begins (0-based), the part the page bar is read from.
QStringList CollectRefusalLinks(const QString& page, const QString& base, qsizetype* rest);
// How many result entries the page holds, whether or not they carry a refusal link.
qsizetype CountSearchEntries(const QString& page);
// The URL of the page after `url` as the page bar from `rest` on names it; empty when the page
// has no next-page arrow or its page bar names no later page.
QString NextPageUrl(const QString& page, qsizetype rest, const QString& url);
