#include "portal/RefusalPage.h"

#include "text/TextHelpers.h"

namespace {

const QString kAttachmentStart = QStringLiteral("<section class=\"attachment\">");
const QString kAttachmentEnd = QStringLiteral("<footer");
const QString kDocumentMarker = QStringLiteral("<section class=\"littleBlack pb-3\">");
const QString kSectionEnd = QStringLiteral("</section>");
const QString kSigned = QStringLiteral("Подписано\n");
const QString kCancellation = QStringLiteral("об отмене");
const QString kRegistryNumber = QStringLiteral("Реестровый номер контракта</span>");

// A document title as one line: tags and entities gone by `toText`, runs of spaces made single.
QString CleanTitle(const QString& html, QString (*toText)(const QString&)) {
    QString title = TrimControls(toText(html));
    const QString doubleSpace = QStringLiteral("  ");
    while (title.contains(doubleSpace)) {
        title = ReplaceAll(title, doubleSpace, QStringLiteral(" "));
    }
    return title;
}

// The signing date-time: the section after the one that holds "Подписано", searched in the
// region from `from` on.
QString SigningTime(const QString& region, qsizetype from) {
    const qsizetype label = region.indexOf(kSigned, from);
    QString signedAt;
    if (label >= 0) {
        const qsizetype close = region.indexOf(kSectionEnd, label + kSigned.size());
        const qsizetype valueStart = close < 0 ? -1 : close + kSectionEnd.size();
        const qsizetype valueEnd = close < 0 ? -1 : region.indexOf(kSectionEnd, valueStart);
        if (valueEnd >= 0) {
            signedAt = region.mid(valueStart, valueEnd - valueStart);
        }
    }
    return TrimControls(HtmlToText(signedAt));
}

}  // namespace

RefusalDocuments::RefusalDocuments(const QString& page)
    : region_(ExtractBetween(page, kAttachmentStart, QString(), kAttachmentEnd)) {}

bool RefusalDocuments::Next(RefusalDocument* document) {
    const qsizetype start = region_.indexOf(kDocumentMarker, from_);
    if (start < 0) {
        return false;
    }
    const qsizetype end = region_.indexOf(kSectionEnd, start);
    const QString section = end < 0 ? QString() : region_.mid(start, end - start);
    // Inside the current marker: the next search finds the next document.
    from_ = start + 2;
    *document = RefusalDocument();
    document->title = CleanTitle(section, HtmlToText);
    document->cancels = document->title.contains(kCancellation);
    if (!document->cancels) {
        document->readableTitle = CleanTitle(section, HtmlToReadableText);
        document->signedAt = SigningTime(region_, from_);
    }
    return true;
}

QString ContractCardLink(const QString& page, const QString& base) {
    const QString cell =
        ExtractBetween(page, kRegistryNumber, QString(), QStringLiteral("</span>"));
    QString link = ExtractBetween(cell, QStringLiteral("href=\""), QString(), QStringLiteral("\""));
    if (link.startsWith(QLatin1Char('/'))) {
        link.prepend(base);
    }
    return link;
}
