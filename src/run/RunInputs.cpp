#include "run/RunInputs.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUrl>

#include "fetch/FetchWorker.h"
#include "fetch/ProxyFile.h"
#include "fetch/RunTiming.h"
#include "store/IniFile.h"
#include "store/SettingsFile.h"
#include "text/ByteText.h"
#include "text/TextHelpers.h"

namespace {

const QString kWhatItHolds = QStringLiteral(
    "один адрес поиска контрактов на портале закупок, скопированный из адресной строки "
    "браузера (начинается с https://)");

// Whether the text is an address a search can start from.
bool IsSearchAddress(const QString& text) {
    const QUrl url(text);
    return url.isValid() && !url.host().isEmpty() &&
           (url.scheme() == QStringLiteral("https") || url.scheme() == QStringLiteral("http"));
}

// StartURL.txt: one search address a line; blank lines and lines beginning with "#" are passed
// over. A file of one address says what it always said when that address is unusable.
void ReadStartUrls(const QString& path, RunInputs& inputs) {
    QFile file(path);
    QString problem;
    if (!file.exists()) {
        problem = QStringLiteral("Нет файла %1: создайте его и запишите в него ");
    } else if (!file.open(QIODevice::ReadOnly)) {
        problem = QStringLiteral("Не удаётся прочитать файл %1: в нём должен быть ");
    } else {
        const QStringList lines = SplitLines(DecodeText(file.readAll()).text);
        QList<std::pair<int, QString>> searches;
        for (int i = 0; i < lines.size(); ++i) {
            const QString line = TrimControls(lines[i]);
            if (!line.isEmpty() && !line.startsWith(QLatin1Char('#'))) {
                searches.append({i + 1, line});
            }
        }
        if (searches.isEmpty()) {
            problem = QStringLiteral("Файл %1 пуст: запишите в него ");
        } else if (searches.size() == 1 && !IsSearchAddress(searches.first().second)) {
            problem = QStringLiteral("В файле %1 не адрес http(s): запишите в него ");
        } else {
            for (const auto& [number, line] : searches) {
                if (IsSearchAddress(line)) {
                    inputs.startUrls.append(line);
                } else {
                    // The other searches still run; nothing is fetched for this line.
                    inputs.startLineProblems.append(
                        QStringLiteral("В файле %1 строка %2 не адрес http(s): запишите в неё ")
                            .arg(path)
                            .arg(number) +
                        kWhatItHolds);
                }
            }
            if (inputs.startUrls.isEmpty()) {
                problem =
                    QStringLiteral("В файле %1 нет ни одного адреса http(s): запишите в него ");
            }
        }
    }
    if (!problem.isEmpty()) {
        // Without a start address there is nothing to fetch: the run ends at once, and no
        // worker retries a request that cannot succeed.
        inputs.startUrls.clear();
        inputs.startProblem = problem.arg(path) + kWhatItHolds;
    }
}

TelegramSettings ReadTelegramSettings(const IniFile& ini, const QString& programDir) {
    const QString& section = settings_file::kSection;
    TelegramSettings telegram;
    telegram.botToken = ini.readString(section, QStringLiteral("BotToken"), QString());
    telegram.userId = ini.readString(section, QStringLiteral("TgUserId"), QString());
    telegram.proxy = ini.readString(section, QStringLiteral("TgProxy"), QString());
    telegram.apiUrl = ini.readString(section, QStringLiteral("TgApiUrl"),
                                     QStringLiteral("https://api.telegram.org"));
    const QString caFile = ini.readString(section, QStringLiteral("TgCaFile"), QString());
    telegram.withDetails =
        ini.readString(section, QStringLiteral("TgDetails"), QString()).trimmed() !=
        QLatin1String("0");
    telegram.caFile = caFile.isEmpty() ? QString() : QDir(programDir).absoluteFilePath(caFile);
    return telegram;
}

}  // namespace

RunInputs RunInputs::Read(const RunOptions& options) {
    RunInputs inputs;
    ProxyFile proxyFile = LoadProxyFile(options.ProgramPath(QStringLiteral("proxy.txt")));
    inputs.proxies = std::move(proxyFile.proxies);
    inputs.malformedProxyLines = std::move(proxyFile.malformedLines);
    // settings.ini is read once for all its keys.
    const IniFile ini(options.ProgramPath(QStringLiteral("settings.ini")));
    inputs.telegram = ReadTelegramSettings(ini, options.programDir);
    const QString portalCa =
        ini.readString(settings_file::kSection, QStringLiteral("PortalCaFile"), QString());
    inputs.portalCaFile =
        portalCa.isEmpty() ? QString() : QDir(options.programDir).absoluteFilePath(portalCa);

    const QString shareText =
        ini.readString(settings_file::kSection, QStringLiteral("RecheckSeconds"), QString());
    bool shareGiven = false;
    const qint64 shareSec = shareText.trimmed().toLongLong(&shareGiven);
    inputs.recheckShareMs = shareGiven && shareSec >= 0 ? shareSec * 1000 : Timing().recheckShareMs;

    ReadStartUrls(QFileInfo(options.WorkPath(QStringLiteral("StartURL.txt"))).absoluteFilePath(),
                  inputs);
    if (!inputs.startUrls.isEmpty()) {
        inputs.portalBase = FetchWorker::BaseAddressOf(inputs.startUrls.first());
    }
    return inputs;
}
