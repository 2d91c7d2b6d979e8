// A Telegram Bot API reply as the notice reads it.
#include "FuzzSupport.h"
#include "json/JsonReader.h"
#include "text/RunError.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    InitFuzzApp(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString reply =
        QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    try {
        const JsonReader json(reply);
        if (json.boolAt(QStringLiteral("ok"))) {
            JsonReader::textField(json.objectAt(QStringLiteral("result.chat")),
                                  QStringLiteral("username"));
            JsonReader::textField(json.objectAt(QStringLiteral("result.from")),
                                  QStringLiteral("username"));
            json.integerAt(QStringLiteral("result.message_id"));
        }
        // An error reply: how long to wait, and why it was refused.
        json.integerAt(QStringLiteral("parameters.retry_after"));
        json.textAt(QStringLiteral("description"));
        json.objectAt(QStringLiteral("a.b.c.d"));
        json.boolAt(QString());
    } catch (const RunError&) {
        // Not a JSON object: the notice logs it as a refused message.
    }
    return 0;
}
