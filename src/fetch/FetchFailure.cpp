#include "fetch/FetchFailure.h"

namespace {

// The received bytes of a UTF-8 text, one character each, as a page's text holds them.
QString AsReceived(const char* utf8) {
    return QString::fromLatin1(QByteArray(utf8));
}

}  // namespace

QString FetchFailure::Describe() const {
    switch (kind) {
        case Kind::Status:
            return QStringLiteral("портал отвечает на каждый запрос кодом %1").arg(status);
        case Kind::BlockPage:
            return QStringLiteral("портал отвечает страницей блокировки или капчей");
        case Kind::Tls:
            return QStringLiteral("сертификат портала не прошёл проверку");
        case Kind::Connection:
            return QStringLiteral("нет соединения с порталом");
        case Kind::Proxy:
            return QStringLiteral("прокси из файла proxy.txt не работают");
        case Kind::None:
        case Kind::Other:
            break;
    }
    return QStringLiteral("ни одна страница портала не загрузилась");
}

bool IsBlockPage(const QString& html) {
    // The portal's own pages run to hundreds of kilobytes and may name a captcha in a script of
    // theirs; a block or captcha page is a small page of its own.
    constexpr qsizetype kLargestBlockPage = 32 * 1024;
    if (html.size() > kLargestBlockPage) {
        return false;
    }
    static const QString kMarkers[] = {
        QStringLiteral("captcha"),
        AsReceived("Доступ ограничен"),
        AsReceived("доступ ограничен"),
        QStringLiteral("Access denied"),
    };
    for (const QString& marker : kMarkers) {
        if (html.contains(marker, Qt::CaseInsensitive)) {
            return true;
        }
    }
    return false;
}
