// settings.ini as people edit it by hand: the run's keys read as the driver reads them, and the
// window's three settings written as closing the window writes them.
#include <QFile>

#include "FuzzSupport.h"
#include "store/IniFile.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    InitFuzzApp(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString path = ScratchDir() + QStringLiteral("/settings.ini");
    {
        QFile file(path);
        Require(file.open(QIODevice::WriteOnly | QIODevice::Truncate), "cannot write the file");
        file.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size));
    }
    const QString section = QStringLiteral("Settings");
    IniFile ini(path);
    const QString token = ini.readString(section, QStringLiteral("BotToken"), QString());
    const QString user = ini.readString(section, QStringLiteral("TgUserId"), QString());
    ini.readString(section, QStringLiteral("TgProxy"), QString());
    ini.readString(section, QStringLiteral("TgApiUrl"), QStringLiteral("https://api.telegram.org"));
    const int limit = ini.readInteger(section, QStringLiteral("Limit"), 30);
    ini.readBool(section, QStringLiteral("Restart"), false);

    // Closing the window saves its settings; what the run reads must survive that.
    Require(ini.writeBool(section, QStringLiteral("Restart"), true), "Restart was not written");
    Require(ini.writeInteger(section, QStringLiteral("Limit"), limit + 1 > 0 ? limit + 1 : 1),
            "Limit was not written");
    Require(ini.readBool(section, QStringLiteral("Restart"), false), "Restart did not stick");
    Require(ini.readInteger(section, QStringLiteral("Limit"), 0) == (limit + 1 > 0 ? limit + 1 : 1),
            "Limit did not stick");
    Require(ini.readString(section, QStringLiteral("BotToken"), QString()) == token,
            "saving the window's settings changed the bot token");
    Require(ini.readString(section, QStringLiteral("TgUserId"), QString()) == user,
            "saving the window's settings changed the user id");
    return 0;
}
