#include "run/RunInputs.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUrl>

#include "fetch/FetchWorker.h"
#include "fetch/ProxyFile.h"
#include "store/IniFile.h"
#include "store/SettingsFile.h"
#include "text/ByteText.h"
#include "text/TextHelpers.h"

namespace {

// StartURL.txt: the whole file is one address, line breaks inside it included. Sets `problem`
// to the start of the line that says what is wrong; the caller ends it.
QString ReadStartUrl(const QString& path, QString* problem) {
    QFile file(path);
    if (!file.exists()) {
        *problem = QStringLiteral("Нет файла %1: создайте его и запишите в него ");
        return {};
    }
    if (!file.open(QIODevice::ReadOnly)) {
        *problem = QStringLiteral("Не удаётся прочитать файл %1: в нём должен быть ");
        return {};
    }
    const QString url =
        TrimControls(SplitLines(DecodeText(file.readAll()).text).join(QStringLiteral("\r\n")));
    // Its first line must be an address; a rest after a line break stays part of it.
    const QUrl first(url.section(QStringLiteral("\r\n"), 0, 0));
    if (url.isEmpty()) {
        *problem = QStringLiteral("Файл %1 пуст: запишите в него ");
    } else if (!first.isValid() || first.host().isEmpty() ||
               (first.scheme() != QStringLiteral("https") &&
                first.scheme() != QStringLiteral("http"))) {
        *problem = QStringLiteral("В файле %1 не адрес http(s): запишите в него ");
    }
    return url;
}

}  // namespace

TelegramSettings ReadTelegramSettings(const QString& programDir) {
    const IniFile ini(QDir(programDir).filePath(QStringLiteral("settings.ini")));
    const QString& section = settings_file::kSection;
    TelegramSettings telegram;
    telegram.botToken = ini.readString(section, QStringLiteral("BotToken"), QString());
    telegram.userId = ini.readString(section, QStringLiteral("TgUserId"), QString());
    telegram.proxy = ini.readString(section, QStringLiteral("TgProxy"), QString());
    telegram.apiUrl = ini.readString(section, QStringLiteral("TgApiUrl"),
                                     QStringLiteral("https://api.telegram.org"));
    const QString caFile = ini.readString(section, QStringLiteral("TgCaFile"), QString());
    telegram.caFile = caFile.isEmpty() ? QString() : QDir(programDir).absoluteFilePath(caFile);
    return telegram;
}

RunInputs RunInputs::Read(const RunOptions& options) {
    RunInputs inputs;
    ProxyFile proxyFile = LoadProxyFile(options.ProgramPath(QStringLiteral("proxy.txt")));
    inputs.proxies = std::move(proxyFile.proxies);
    inputs.malformedProxyLines = std::move(proxyFile.malformedLines);
    inputs.telegram = ReadTelegramSettings(options.programDir);

    const QString path =
        QFileInfo(options.WorkPath(QStringLiteral("StartURL.txt"))).absoluteFilePath();
    QString problem;
    const QString url = ReadStartUrl(path, &problem);
    if (!problem.isEmpty()) {
        // Without a start address there is nothing to fetch: the run ends at once, and no
        // worker retries a request that cannot succeed.
        inputs.startProblem = problem.arg(path) +
                              QStringLiteral(
                                  "один адрес поиска контрактов на портале закупок, скопированный "
                                  "из адресной строки браузера (начинается с https://)");
        return inputs;
    }
    inputs.startUrl = url;
    inputs.portalBase = FetchWorker::BaseAddressOf(url);
    return inputs;
}
