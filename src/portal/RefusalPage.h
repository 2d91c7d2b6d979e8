#pragma once

#include <QString>

// A refusal page: its refusal documents and the contract they belong to.

struct RefusalDocument {
    // Tags and entities gone as HtmlToText takes them, runs of spaces made single: the title
    // the cancellation check has always read.
    QString title;
    // A cancellation of an earlier refusal rather than a refusal: "об отмене" in `title`.
    // Nothing more of it is read.
    bool cancels = false;
    // The title with every character reference decoded, as a reader sees it.
    QString readableTitle;
    // The signing date-time as the page writes it, tags gone, trimmed; empty when not found.
    QString signedAt;
};

// The documents of a page's attachment region, one at a time in page order. Only the one in
// hand is held: a malformed page whose sections never close would otherwise keep a copy of
// most of the page per document.
class RefusalDocuments {
public:
    explicit RefusalDocuments(const QString& page);

    // The next document; false when the page holds no more.
    bool Next(RefusalDocument* document);

private:
    QString region_;
    // Where what is left of the region begins.
    qsizetype from_ = 0;
};

// The link of the contract's registry number, with `base` put in front of a link beginning
// with "/"; empty when the page has none.
QString ContractCardLink(const QString& page, const QString& base);
