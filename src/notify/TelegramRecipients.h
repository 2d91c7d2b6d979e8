#pragma once

#include <QList>
#include <QString>

// One chat a notice goes to: a user id, a group id (negative) or an "@channel" name, and for a
// forum group the topic's thread id.
struct TelegramRecipient {
    QString chat;
    QString thread;  // empty: the chat itself

    // As written in settings.ini: "chat" or "chat/thread".
    QString Spelling() const;
    // Groups and channels take fewer messages a minute than a private chat.
    bool IsGroup() const;
};

// "TgUserId": recipients separated by commas, each "chat" or "chat/thread"; blanks around them
// and empty items are passed over, a recipient given twice counts once.
QList<TelegramRecipient> ParseTelegramRecipients(const QString& value);
