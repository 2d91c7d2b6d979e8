#include "notify/BotTokenMask.h"

QString MaskedBotToken(const QString& token) {
    const qsizetype colon = token.indexOf(QLatin1Char(':'));
    return colon < 0 ? QStringLiteral("***") : token.left(colon) + QStringLiteral(":***");
}

QString MaskBotToken(const QString& text, const QString& token) {
    if (token.isEmpty()) {
        return text;
    }
    QString masked = text;
    masked.replace(token, MaskedBotToken(token));
    // The secret part alone too, should a text carry it apart from the id (an encoded URL).
    const qsizetype colon = token.indexOf(QLatin1Char(':'));
    const QString secret = colon < 0 ? QString() : token.mid(colon + 1);
    if (!secret.isEmpty()) {
        masked.replace(secret, QStringLiteral("***"));
    }
    return masked;
}
