// proxy.txt: its lines read as the driver loads them and applied as a worker applies them.
#include <atomic>

#include "FuzzSupport.h"
#include "fetch/ProxyRotation.h"
#include "http/HttpClient.h"
#include "text/ByteText.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    InitFuzzApp(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static HttpClient* client = new HttpClient;
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QStringList list = SplitLines(DecodeText(bytes).text);
    std::atomic<qint32> cursor{-1};
    for (qsizetype i = 0; i <= list.size(); ++i) {
        const QString line = NextProxy(list, cursor);
        Require(list.isEmpty() ? line.isEmpty() : list.contains(line), "a line not in the list");
        ApplyProxy(*client, line);
        const HttpClient::Proxy& proxy = client->proxy();
        // Whatever the line, a proxy is one host: no line break can reach libcurl's options.
        Require(!proxy.host.contains(u'\n') && !proxy.host.contains(u'\r'),
                "a proxy host kept a line break");
    }
    client->clearProxy();
    return 0;
}
