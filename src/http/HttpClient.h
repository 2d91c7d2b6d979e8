#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <functional>

// A synchronous HTTP(S) client over one libcurl easy handle; one object per worker or notice.
// It sends exactly the header lines it is given, in the order given (libcurl puts Host right
// after the request line), decodes gzip, deflate and br bodies, follows up to 5 redirects, uses
// IPv4, stores no cookies and tunnels HTTPS through an HTTP proxy with CONNECT.
class HttpClient {
public:
    enum class TlsRange {
        Tls12Only,   // minimum and maximum TLS 1.2 (the portal profile)
        AnyVersion,  // the lowest version the TLS library allows up to the highest it offers
    };

    struct Proxy {
        QString host;  // empty: direct connection
        QString port;  // empty: libcurl's default proxy port (1080)
        QString user;  // empty: no authentication
        QString password;
    };

    HttpClient();
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    // Header lines ("Name: value"), in the order they are to go out.
    void setHeaders(const QStringList& lines) { headers_ = lines; }
    // Decode gzip, deflate and br bodies. The Accept-Encoding line itself is one of the headers.
    void setDecodeBodies(bool on) { decodeBodies_ = on; }
    void setTlsRange(TlsRange range) { tlsRange_ = range; }
    // A request with no traffic for this long is abandoned (0: no limit).
    void setIdleTimeoutSec(int seconds) { idleTimeoutSec_ = seconds; }
    // A request that has not completed within this is abandoned (0: no limit).
    void setTotalTimeoutSec(int seconds) { totalTimeoutSec_ = seconds; }
    // Send the request line as HTTP/1.0 instead of HTTP/1.1.
    void setHttp10(bool on) { http10_ = on; }
    // Asked while a request runs; returning true abandons it within about a tenth of a second.
    void setAbortCheck(std::function<bool()> check) { abortCheck_ = std::move(check); }
    // A transfer slower than `bytesPerSecond` on average over `seconds` is abandoned
    // (0 seconds: no such limit). Without a call the idle timeout sets it at 1 byte a second.
    void setLowSpeedLimit(int bytesPerSecond, int seconds) {
        lowSpeedBytes_ = bytesPerSecond;
        lowSpeedSec_ = seconds;
    }
    // Verify the server's certificate chain and host name against the system's CA store and
    // the certificates of the PEM file `extraCaFile` (none when empty). Off by default: the
    // portal's chain ends in a root that common stores lack.
    void setVerifyPeer(bool on, const QString& extraCaFile = {}) {
        verifyPeer_ = on;
        extraCaFile_ = extraCaFile;
    }

    void setProxy(const Proxy& proxy) { proxy_ = proxy; }
    const Proxy& proxy() const { return proxy_; }
    void clearProxy() { proxy_ = Proxy{}; }

    // Performs the request and returns the body. Throws RunError on a network or TLS failure
    // (libcurl's description), on a body over the size limit (counted after decoding), on an
    // unreadable extra CA file, and on a final status of 400 or
    // above other than 401 and 407 (the reason phrase, or the status code when it has none).
    QByteArray get(const QString& url);
    QByteArray post(const QString& url, const QByteArray& body);

    // How the last request failed, for telling a portal that refuses everything from one bad
    // page.
    enum class Failure {
        None,
        Status,      // an answer of 400 or above (lastStatusCode())
        Tls,         // the TLS handshake or the certificate check
        Connection,  // no connection, a time-out, a connection cut before the answer
        Proxy,       // the proxy could not be reached or refused the tunnel
        Other,
    };
    Failure lastFailure() const { return failure_; }

    // The status code of the last response (0 when none was received).
    int lastStatusCode() const { return statusCode_; }
    QString lastReasonPhrase() const { return reason_; }
    // The body of the last response, also of one whose status failed the request.
    QByteArray lastBody() const { return body_; }

    // Bodies above this size, decoded, fail the request instead of exhausting memory.
    static constexpr qint64 kMaxBodyBytes = 64ll * 1024 * 1024;

private:
    QByteArray perform(const QString& url, const QByteArray* postBody);
    int run(bool* abandoned);  // returns a CURLcode

    void* curl_ = nullptr;   // the easy handle
    void* multi_ = nullptr;  // drives it in short slices and keeps its open connections
    QStringList headers_;
    bool decodeBodies_ = false;
    TlsRange tlsRange_ = TlsRange::Tls12Only;
    int idleTimeoutSec_ = 30;
    int totalTimeoutSec_ = 0;
    int lowSpeedBytes_ = -1;  // -1: 1 byte a second over the idle timeout
    int lowSpeedSec_ = 0;
    bool verifyPeer_ = false;
    QString extraCaFile_;
    bool http10_ = false;
    std::function<bool()> abortCheck_;
    Proxy proxy_;
    int statusCode_ = 0;
    QString reason_;
    QByteArray body_;
    Failure failure_ = Failure::None;
};
