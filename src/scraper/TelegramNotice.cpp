#include "scraper/TelegramNotice.h"

#include "scraper/RunView.h"

QString TelegramNoticeText(const QString& protocolDate, const QString& protocolUrl,
                           const QDateTime& utcNow) {
    const QDateTime moscow = utcNow.toUTC().addSecs(180 * 60);
    return QStringLiteral("Найден отказ от ") + protocolDate +
           QStringLiteral(", время обнаружения ") +
           moscow.toString(QStringLiteral("dd.MM.yyyy HH:mm")) + QStringLiteral(" (МСК), ссылка ") +
           protocolUrl;
}

void SendTelegramNotice(RunView& /*view*/, const TelegramSettings& /*settings*/,
                        const QString& /*protocolDate*/, const QString& /*protocolUrl*/,
                        const std::function<bool()>& /*abandon*/) {}
