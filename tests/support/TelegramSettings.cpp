#include "support/TelegramSettings.h"

#include <QDir>

#include "PortalReplica.h"
#include "support/TestSupport.h"

void WriteTelegramSettings(const QString& dir, const QString& apiUrl, const QString& token,
                           const QByteArray& moreLines) {
    const QDir folder(dir);
    WriteFile(folder.filePath(QStringLiteral("telegram-ca.pem")),
              replica::TestIdentity().certificate.toPem());
    WriteFile(folder.filePath(QStringLiteral("settings.ini")),
              "[Settings]\r\nBotToken=" + token.toUtf8() + "\r\nTgUserId=42\r\nTgApiUrl=" +
                  apiUrl.toUtf8() + "\r\nTgCaFile=telegram-ca.pem\r\n" + moreLines);
}
