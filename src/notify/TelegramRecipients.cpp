#include "notify/TelegramRecipients.h"

#include <QStringList>

QString TelegramRecipient::Spelling() const {
    return thread.isEmpty() ? chat : chat + QLatin1Char('/') + thread;
}

bool TelegramRecipient::IsGroup() const {
    return chat.startsWith(QLatin1Char('-')) || chat.startsWith(QLatin1Char('@'));
}

QList<TelegramRecipient> ParseTelegramRecipients(const QString& value) {
    QList<TelegramRecipient> recipients;
    QStringList seen;
    for (const QString& item : value.split(QLatin1Char(','))) {
        const QString spelling = item.trimmed();
        if (spelling.isEmpty() || seen.contains(spelling)) {
            continue;
        }
        seen.append(spelling);
        TelegramRecipient recipient;
        const qsizetype slash = spelling.lastIndexOf(QLatin1Char('/'));
        bool numeric = false;
        if (slash > 0) {
            spelling.mid(slash + 1).toLongLong(&numeric);
        }
        // Only a number after the slash is a topic; anything else is left to the API to judge.
        recipient.chat = numeric ? spelling.left(slash).trimmed() : spelling;
        recipient.thread = numeric ? spelling.mid(slash + 1) : QString();
        recipients.append(recipient);
    }
    return recipients;
}
