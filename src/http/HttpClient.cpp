#include "http/HttpClient.h"

#include <curl/curl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <QFile>

#include <memory>

#include "http/CurlGlobal.h"
#include "text/RunError.h"

namespace {

// What the callbacks of one transfer share with perform(). libcurl hands the body to WriteBody
// after decoding, so the size limit counts decoded bytes and a small coded bomb is cut off too.
struct Transfer {
    QByteArray body;
    QString reason;
    bool bodyTooLarge = false;
    const std::function<bool()>* abortCheck = nullptr;
    QString extraCaFile;
    QString caFileError;
};

size_t WriteBody(char* data, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const size_t bytes = size * count;
    if (transfer->body.size() + static_cast<qint64>(bytes) > HttpClient::kMaxBodyBytes) {
        transfer->bodyTooLarge = true;
        return 0;  // makes libcurl stop the transfer with a write error
    }
    transfer->body.append(data, static_cast<qsizetype>(bytes));
    return bytes;
}

// Every status line (the proxy's CONNECT answer, each redirect, the final answer) starts a new
// response, so the reason phrase and any body collected so far belong to the one before.
size_t ReadHeader(char* data, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const size_t bytes = size * count;
    const QByteArray line = QByteArray(data, static_cast<qsizetype>(bytes)).trimmed();
    if (line.startsWith("HTTP/")) {
        transfer->body.clear();
        // "HTTP/x.y NNN phrase": the phrase is everything after the second space.
        const qsizetype first = line.indexOf(' ');
        const qsizetype second = first < 0 ? -1 : line.indexOf(' ', first + 1);
        transfer->reason =
            second < 0 ? QString() : QString::fromLatin1(line.mid(second + 1)).trimmed();
    }
    return bytes;
}

// Adds the extra trusted certificates to the store libcurl has filled from the system's CA
// bundle, so both are trusted.
CURLcode AddExtraCertificates(CURL*, void* sslContext, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(sslContext));
    const QByteArray path = QFile::encodeName(transfer->extraCaFile);
    if (store == nullptr || X509_STORE_load_file(store, path.constData()) != 1) {
        ERR_clear_error();
        transfer->caFileError =
            QStringLiteral("Cannot load trusted certificates from ") + transfer->extraCaFile;
        return CURLE_SSL_CACERT_BADFILE;
    }
    return CURLE_OK;
}

int CheckAbort(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto* transfer = static_cast<Transfer*>(user);
    return (*transfer->abortCheck && (*transfer->abortCheck)()) ? 1 : 0;
}

struct SlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

// Which way a transfer that libcurl ended with `code` failed.
HttpClient::Failure FailureOf(CURLcode code, bool viaProxy, CURL* curl) {
    switch (code) {
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
            return HttpClient::Failure::Tls;
        case CURLE_COULDNT_RESOLVE_PROXY:
        case CURLE_PROXY:
            return HttpClient::Failure::Proxy;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_CONNECT:
        case CURLE_OPERATION_TIMEDOUT:
        case CURLE_GOT_NOTHING:
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
        case CURLE_PARTIAL_FILE: {
            if (!viaProxy) {
                return HttpClient::Failure::Connection;
            }
            // Through a proxy, a tunnel that never opened is the proxy's failure.
            long connectCode = 0;
            curl_easy_getinfo(curl, CURLINFO_HTTP_CONNECTCODE, &connectCode);
            return connectCode == 200 ? HttpClient::Failure::Connection
                                      : HttpClient::Failure::Proxy;
        }
        default:
            return HttpClient::Failure::Other;
    }
}

}  // namespace

HttpClient::HttpClient() {
    EnsureCurlGlobalInit();
    curl_ = curl_easy_init();
    multi_ = curl_multi_init();
    if (curl_ == nullptr || multi_ == nullptr) {
        curl_multi_cleanup(static_cast<CURLM*>(multi_));
        curl_easy_cleanup(static_cast<CURL*>(curl_));
        throw RunError(QStringLiteral("libcurl could not create a transfer handle"));
    }
}

HttpClient::~HttpClient() {
    curl_easy_cleanup(static_cast<CURL*>(curl_));
    curl_multi_cleanup(static_cast<CURLM*>(multi_));
}

// Drives the transfer like curl_easy_perform would, but wakes at least every 100 ms to ask the
// abort check, which libcurl's own progress callback may not reach for a second on a quiet
// connection.
int HttpClient::run(bool* abandoned) {
    CURL* curl = static_cast<CURL*>(curl_);
    CURLM* multi = static_cast<CURLM*>(multi_);
    CURLMcode added = curl_multi_add_handle(multi, curl);
    if (added != CURLM_OK) {
        throw RunError(QString::fromUtf8(curl_multi_strerror(added)));
    }
    struct Detach {
        CURLM* multi;
        CURL* curl;
        ~Detach() { curl_multi_remove_handle(multi, curl); }
    } detach{multi, curl};

    for (;;) {
        int running = 0;
        const CURLMcode step = curl_multi_perform(multi, &running);
        if (step != CURLM_OK) {
            throw RunError(QString::fromUtf8(curl_multi_strerror(step)));
        }
        if (running == 0) {
            break;
        }
        if (abortCheck_ && abortCheck_()) {
            *abandoned = true;
            return CURLE_ABORTED_BY_CALLBACK;
        }
        curl_multi_poll(multi, nullptr, 0, 100, nullptr);
    }
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
        if (message->msg == CURLMSG_DONE && message->easy_handle == curl) {
            return message->data.result;
        }
    }
    return CURLE_OK;
}

QByteArray HttpClient::get(const QString& url) {
    return perform(url, nullptr);
}

QByteArray HttpClient::post(const QString& url, const QByteArray& body) {
    return perform(url, &body);
}

QByteArray HttpClient::perform(const QString& url, const QByteArray* postBody) {
    CURL* curl = static_cast<CURL*>(curl_);
    // Every attempt starts from libcurl's defaults; open connections and TLS sessions are kept.
    curl_easy_reset(curl);
    statusCode_ = 0;
    reason_.clear();
    body_.clear();
    failure_ = Failure::Other;

    Transfer transfer;
    transfer.abortCheck = &abortCheck_;
    char errorText[CURL_ERROR_SIZE] = {};

    std::unique_ptr<curl_slist, SlistDeleter> headerList;
    for (const QString& line : headers_) {
        curl_slist* grown = curl_slist_append(headerList.get(), line.toUtf8().constData());
        if (grown == nullptr) {
            throw RunError(QStringLiteral("Out of memory"));
        }
        headerList.release();
        headerList.reset(grown);
    }

    const QByteArray urlBytes = url.toUtf8();
    const QByteArray proxyHost = proxy_.host.toUtf8();
    const QByteArray proxyUser = proxy_.user.toUtf8();
    const QByteArray proxyPassword = proxy_.password.toUtf8();

    curl_easy_setopt(curl, CURLOPT_URL, urlBytes.constData());
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headerList.get());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, WriteBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, ReadHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kMaxBodyBytes));
    if (abortCheck_) {
        curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, CheckAbort);
        curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);
        curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    }

    if (decodeBodies_) {
        // "" lets libcurl decode every coding it supports; it sends no Accept-Encoding line of
        // its own while ours is among the headers.
        curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, "");
    }
    // The version constants are separate enums in curl.h; the option takes their sum as long.
    const long tls12Only =
        static_cast<long>(CURL_SSLVERSION_TLSv1_2) | static_cast<long>(CURL_SSLVERSION_MAX_TLSv1_2);
    const long anyVersion =
        static_cast<long>(CURL_SSLVERSION_TLSv1) | static_cast<long>(CURL_SSLVERSION_MAX_DEFAULT);
    curl_easy_setopt(curl, CURLOPT_SSLVERSION,
                     tlsRange_ == TlsRange::Tls12Only ? tls12Only : anyVersion);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, verifyPeer_ ? 1L : 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, verifyPeer_ ? 2L : 0L);
    if (verifyPeer_ && !extraCaFile_.isEmpty()) {
        transfer.extraCaFile = extraCaFile_;
        // A cached store would be shared beyond this request; each one builds its own.
        curl_easy_setopt(curl, CURLOPT_CA_CACHE_TIMEOUT, 0L);
        curl_easy_setopt(curl, CURLOPT_SSL_CTX_FUNCTION, AddExtraCertificates);
        curl_easy_setopt(curl, CURLOPT_SSL_CTX_DATA, &transfer);
    }
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(curl, CURLOPT_IPRESOLVE, CURL_IPRESOLVE_V4);
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION,
                     http10_ ? CURL_HTTP_VERSION_1_0 : CURL_HTTP_VERSION_1_1);
    if (idleTimeoutSec_ > 0) {
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, static_cast<long>(idleTimeoutSec_));
    }
    const int lowSpeedBytes = lowSpeedBytes_ < 0 ? 1 : lowSpeedBytes_;
    const int lowSpeedSec = lowSpeedBytes_ < 0 ? idleTimeoutSec_ : lowSpeedSec_;
    if (lowSpeedSec > 0 && lowSpeedBytes > 0) {
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, static_cast<long>(lowSpeedBytes));
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, static_cast<long>(lowSpeedSec));
    }
    if (totalTimeoutSec_ > 0) {
        curl_easy_setopt(curl, CURLOPT_TIMEOUT, static_cast<long>(totalTimeoutSec_));
    }

    // An empty proxy string also keeps libcurl from taking a proxy from the environment.
    curl_easy_setopt(curl, CURLOPT_PROXY, proxyHost.constData());
    if (!proxy_.host.isEmpty()) {
        curl_easy_setopt(curl, CURLOPT_PROXYTYPE, static_cast<long>(CURLPROXY_HTTP));
        curl_easy_setopt(curl, CURLOPT_HTTPPROXYTUNNEL, 1L);
        if (!proxy_.port.isEmpty()) {
            bool ok = false;
            const uint port = proxy_.port.toUInt(&ok);
            if (!ok || port > 65535) {
                throw RunError(QStringLiteral("Invalid proxy port: ") + proxy_.port);
            }
            curl_easy_setopt(curl, CURLOPT_PROXYPORT, static_cast<long>(port));
        }
        if (!proxy_.user.isEmpty()) {
            curl_easy_setopt(curl, CURLOPT_PROXYUSERNAME, proxyUser.constData());
            curl_easy_setopt(curl, CURLOPT_PROXYPASSWORD, proxyPassword.constData());
            curl_easy_setopt(curl, CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_BASIC));
        }
    }

    if (postBody != nullptr) {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(postBody->size()));
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, postBody->constData());
    } else {
        curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    }

    bool abandoned = false;
    const auto code = static_cast<CURLcode>(run(&abandoned));

    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    statusCode_ = static_cast<int>(status);
    reason_ = transfer.reason;
    // The handle keeps pointers to this frame's buffers; drop them before they go away.
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
    curl_easy_setopt(curl, CURLOPT_SSL_CTX_DATA, nullptr);

    if (abandoned || code == CURLE_ABORTED_BY_CALLBACK) {
        throw RunError(QStringLiteral("Request abandoned"));
    }
    if (!transfer.caFileError.isEmpty()) {
        throw RunError(transfer.caFileError);
    }
    if (transfer.bodyTooLarge || code == CURLE_FILESIZE_EXCEEDED) {
        throw RunError(QStringLiteral("Response body is larger than %1 bytes").arg(kMaxBodyBytes));
    }
    if (code != CURLE_OK) {
        failure_ = FailureOf(code, !proxy_.host.isEmpty(), curl);
        throw RunError(errorText[0] != '\0' ? QString::fromUtf8(errorText).trimmed()
                                            : QString::fromUtf8(curl_easy_strerror(code)));
    }
    if (statusCode_ >= 400 && statusCode_ != 401 && statusCode_ != 407) {
        // An API's error body says why; the caller may read it.
        body_ = transfer.body;
        failure_ = Failure::Status;
        throw RunError(reason_.isEmpty() ? QString::number(statusCode_) : reason_);
    }
    failure_ = Failure::None;
    return transfer.body;
}
