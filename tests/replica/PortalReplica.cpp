#include "PortalReplica.h"

#include <brotli/encode.h>
#include <openssl/crypto.h>
#include <zlib.h>

#include <QFile>
#include <QProcess>
#include <QSslConfiguration>
#include <QSslServer>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <chrono>
#include <future>
#include <stdexcept>

namespace replica {

namespace {

constexpr qsizetype kMaxHeadBytes = 64 * 1024;
constexpr qint64 kStreamPiece = 256 * 1024;
constexpr qint64 kStreamBacklog = 1024 * 1024;

qint64 SteadyMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Serves one accepted connection: parses requests one after another, records them and writes
// the handler's answers. Lives on the server's thread as a child of its socket.
class Connection : public QObject {
public:
    Connection(QSslSocket* socket, PortalReplica* owner)
        : QObject(socket), socket_(socket), owner_(owner) {
        QObject::connect(socket_, &QIODevice::readyRead, this, [this] { onReadyRead(); });
        QObject::connect(socket_, &QIODevice::bytesWritten, this, [this] { pump(); });
        QObject::connect(socket_, &QAbstractSocket::disconnected, this, [this] {
            streamLeft_ = 0;
            socket_->deleteLater();
        });
        onReadyRead();
    }

private:
    void onReadyRead() {
        if (buffer_.isEmpty() && socket_->bytesAvailable() > 0) {
            startMs_ = SteadyMs();
        }
        buffer_ += socket_->readAll();
        processNext();
    }

    // Takes one complete request off the buffer, if there is one, and answers it.
    void processNext() {
        if (busy_) {
            return;
        }
        const qsizetype headEnd = buffer_.indexOf("\r\n\r\n");
        if (headEnd < 0) {
            if (buffer_.size() > kMaxHeadBytes) {
                socket_->abort();
            }
            return;
        }
        Request request;
        request.arrivalMs = startMs_;
        const QList<QByteArray> lines = buffer_.left(headEnd).split('\n');
        for (qsizetype i = 0; i < lines.size(); ++i) {
            QByteArray line = lines[i];
            if (line.endsWith('\r')) {
                line.chop(1);
            }
            if (i == 0) {
                request.requestLine = line;
            } else if (!line.isEmpty()) {
                request.headerLines.append(line);
            }
        }
        const QList<QByteArray> parts = request.requestLine.split(' ');
        request.method = parts.value(0);
        request.target = parts.value(1);
        request.version = parts.value(2);
        bool lengthOk = true;
        const QByteArray lengthText = request.header("Content-Length");
        const qint64 length = lengthText.isEmpty() ? 0 : lengthText.toLongLong(&lengthOk);
        if (!lengthOk || length < 0) {
            socket_->abort();
            return;
        }
        const qint64 total = headEnd + 4 + length;
        if (buffer_.size() < total) {
            return;
        }
        request.body = buffer_.mid(headEnd + 4, length);
        buffer_.remove(0, total);
        startMs_ = SteadyMs();
        request.tlsProtocol = socket_->sessionProtocol();

        owner_->record(request);
        busy_ = true;
        closeAfter_ =
            request.version != "HTTP/1.1" || request.header("Connection").toLower() == "close";

        Response response;
        try {
            response = owner_->currentHandler()(request);
        } catch (const std::exception& e) {
            response = Response::Status(500, "Replica Handler Failed", e.what());
        }
        if (response.silent) {
            return;  // stays busy: nothing more is answered on this connection
        }
        if (response.delayMs > 0) {
            QTimer::singleShot(response.delayMs, this, [this, response] { respond(response); });
        } else {
            respond(response);
        }
    }

    void respond(Response response) {
        if (response.closeDelimited) {
            closeAfter_ = true;
        }
        QByteArray body;
        if (response.streamBytes > 0) {
            streamLeft_ = response.streamBytes;
        } else {
            body = response.gzip ? GzipCompress(response.body) : response.body;
            if (response.gzip) {
                response.headers.prepend({"Content-Encoding", "gzip"});
            }
        }
        QByteArray head =
            "HTTP/1.1 " + QByteArray::number(response.status) + ' ' + response.reason + "\r\n";
        if (!response.closeDelimited) {
            const qint64 length = response.streamBytes > 0 ? response.streamBytes : body.size();
            head += "Content-Length: " + QByteArray::number(length) + "\r\n";
        }
        if (closeAfter_) {
            head += "Connection: close\r\n";
        }
        for (const auto& [name, value] : response.headers) {
            head += name + ": " + value + "\r\n";
        }
        head += "\r\n";
        if (response.cutAfterBytes >= 0) {
            socket_->write(head + body.left(response.cutAfterBytes));
            socket_->disconnectFromHost();
            return;
        }
        if (response.trickleMs > 0) {
            socket_->write(head);
            trickle_ = body;
            auto* timer = new QTimer(this);
            QObject::connect(timer, &QTimer::timeout, this, [this, timer] {
                if (trickle_.isEmpty()) {
                    timer->deleteLater();
                    finish();
                    return;
                }
                socket_->write(trickle_.left(1));
                trickle_.remove(0, 1);
            });
            timer->start(response.trickleMs);
            return;
        }
        socket_->write(head + body);
        if (streamLeft_ > 0) {
            pump();
        } else {
            finish();
        }
    }

    // Feeds a streamed body while keeping only a bounded amount queued in the socket.
    void pump() {
        if (streamLeft_ <= 0) {
            return;
        }
        static const QByteArray piece = [] {
            QByteArray bytes(kStreamPiece, Qt::Uninitialized);
            for (qint64 i = 0; i < kStreamPiece; ++i) {
                bytes[i] = static_cast<char>('a' + i % 26);
            }
            return bytes;
        }();
        while (streamLeft_ > 0 && socket_->bytesToWrite() < kStreamBacklog) {
            const qint64 n = std::min(streamLeft_, kStreamPiece);
            socket_->write(piece.constData(), n);
            streamLeft_ -= n;
        }
        if (streamLeft_ == 0) {
            finish();
        }
    }

    void finish() {
        if (closeAfter_) {
            socket_->disconnectFromHost();
            return;
        }
        busy_ = false;
        if (!buffer_.isEmpty()) {
            processNext();
        }
    }

    QSslSocket* socket_;
    PortalReplica* owner_;
    QByteArray buffer_;
    qint64 startMs_ = 0;
    bool busy_ = false;
    bool closeAfter_ = false;
    qint64 streamLeft_ = 0;
    QByteArray trickle_;
};

}  // namespace

// Owns the listening socket and its connections; everything network-side runs here.
class ServerThread : public QThread {
public:
    ServerThread(PortalReplica* owner, const PortalReplica::Options& options)
        : owner_(owner), options_(options) {}

    std::future<quint16> listening() { return listening_.get_future(); }

protected:
    void run() override {
        serve();
        // OpenSSL keeps per-thread state that it frees only when the OS thread exits, which
        // happens after QThread::wait() has returned; free it here so the replica leaves
        // nothing behind once it is destroyed.
        OPENSSL_thread_stop();
    }

    void serve() {
        QSslServer server;
        QSslConfiguration config = QSslConfiguration::defaultConfiguration();
        config.setLocalCertificate(TestIdentity().certificate);
        config.setPrivateKey(TestIdentity().key);
        config.setProtocol(options_.protocol);
        config.setPeerVerifyMode(QSslSocket::VerifyNone);
        server.setSslConfiguration(config);
        QObject::connect(&server, &QTcpServer::pendingConnectionAvailable, &server, [&] {
            while (server.hasPendingConnections()) {
                auto* socket = qobject_cast<QSslSocket*>(server.nextPendingConnection());
                if (socket != nullptr) {
                    new Connection(socket, owner_);
                }
            }
        });
        if (!server.listen(QHostAddress::LocalHost, options_.port)) {
            listening_.set_value(0);
            return;
        }
        listening_.set_value(server.serverPort());
        exec();
    }

private:
    PortalReplica* owner_;
    PortalReplica::Options options_;
    std::promise<quint16> listening_;
};

QByteArray Request::header(const QByteArray& name) const {
    for (const QByteArray& line : headerLines) {
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().compare(name, Qt::CaseInsensitive) == 0) {
            return line.mid(colon + 1).trimmed();
        }
    }
    return {};
}

QByteArray Request::path() const {
    const qsizetype mark = target.indexOf('?');
    return mark < 0 ? target : target.left(mark);
}

QByteArray Request::query() const {
    const qsizetype mark = target.indexOf('?');
    return mark < 0 ? QByteArray() : target.mid(mark + 1);
}

Response Response::Ok(const QByteArray& body, const QByteArray& contentType) {
    Response response;
    response.body = body;
    response.headers.append({"Content-Type", contentType});
    return response;
}

Response Response::Status(int status, const QByteArray& reason, const QByteArray& body) {
    Response response;
    response.status = status;
    response.reason = reason;
    response.body = body;
    return response;
}

Response Response::Redirect(int status, const QByteArray& location) {
    Response response = Status(status, status == 301 ? "Moved Permanently" : "Found");
    response.headers.append({"Location", location});
    return response;
}

Response NotFound(const Request&) {
    return Response::Status(404, "Not Found", "Not Found");
}

void RouteTable::addExact(const QByteArray& target, const Response& response) {
    std::lock_guard lock(mutex_);
    exact_[target].push_back(response);
}

void RouteTable::addPrefix(const QByteArray& prefix, const Response& response) {
    std::lock_guard lock(mutex_);
    prefix_[prefix].push_back(response);
}

void RouteTable::setFallback(Handler fallback) {
    std::lock_guard lock(mutex_);
    fallback_ = std::move(fallback);
}

void RouteTable::clear() {
    std::lock_guard lock(mutex_);
    exact_.clear();
    prefix_.clear();
}

Response RouteTable::Take(std::deque<Response>& queue) {
    Response response = queue.front();
    if (queue.size() > 1) {
        queue.pop_front();
    }
    return response;
}

Response RouteTable::handle(const Request& request) {
    Handler fallback;
    {
        std::lock_guard lock(mutex_);
        auto exact = exact_.find(request.target);
        if (exact != exact_.end()) {
            return Take(*exact);
        }
        std::deque<Response>* best = nullptr;
        qsizetype bestLength = -1;
        for (auto it = prefix_.begin(); it != prefix_.end(); ++it) {
            if (request.target.startsWith(it.key()) && it.key().size() > bestLength) {
                best = &it.value();
                bestLength = it.key().size();
            }
        }
        if (best != nullptr) {
            return Take(*best);
        }
        fallback = fallback_;
    }
    return fallback(request);
}

const TlsIdentity& TestIdentity() {
    static TlsIdentity identity;
    static std::once_flag once;
    std::call_once(once, [] {
        QTemporaryDir dir;
        const QString certPath = dir.filePath("cert.pem");
        const QString keyPath = dir.filePath("key.pem");
        QProcess openssl;
        openssl.start("openssl",
                      {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                       "-nodes", "-days", "2", "-subj", "/CN=127.0.0.1", "-addext",
                       "subjectAltName=IP:127.0.0.1", "-keyout", keyPath, "-out", certPath});
        if (!openssl.waitForFinished(30000) || openssl.exitCode() != 0) {
            qFatal("openssl could not make the test certificate: %s",
                   openssl.readAllStandardError().constData());
        }
        QFile certFile(certPath);
        QFile keyFile(keyPath);
        if (!certFile.open(QIODevice::ReadOnly) || !keyFile.open(QIODevice::ReadOnly)) {
            qFatal("the test certificate files are missing");
        }
        identity.certificate = QSslCertificate(certFile.readAll(), QSsl::Pem);
        identity.key = QSslKey(keyFile.readAll(), QSsl::Ec, QSsl::Pem);
        if (identity.certificate.isNull() || identity.key.isNull()) {
            qFatal("the test certificate could not be read");
        }
    });
    return identity;
}

PortalReplica::PortalReplica() : PortalReplica(Options{}) {}

PortalReplica::PortalReplica(const Options& options) {
    TestIdentity();  // made here, on the caller's thread, before the server needs it
    thread_ = new ServerThread(this, options);
    std::future<quint16> listening = thread_->listening();
    thread_->start();
    port_ = listening.get();
    if (port_ == 0) {
        thread_->wait();
        delete thread_;
        throw std::runtime_error("the portal replica could not listen on 127.0.0.1");
    }
}

PortalReplica::~PortalReplica() {
    thread_->quit();
    thread_->wait();
    delete thread_;
}

QString PortalReplica::url() const {
    return QStringLiteral("https://127.0.0.1:%1").arg(port_);
}

void PortalReplica::setHandler(Handler handler) {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
}

Handler PortalReplica::currentHandler() const {
    std::lock_guard lock(mutex_);
    return handler_;
}

void PortalReplica::record(const Request& request) {
    {
        std::lock_guard lock(mutex_);
        requests_.append(request);
    }
    arrived_.notify_all();
}

QList<Request> PortalReplica::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

int PortalReplica::requestCount() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(requests_.size());
}

void PortalReplica::clearRequests() {
    std::lock_guard lock(mutex_);
    requests_.clear();
}

bool PortalReplica::waitForRequests(int count, int timeoutMs) const {
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return requests_.size() >= count; });
}

QByteArray GzipCompress(const QByteArray& data) {
    z_stream stream{};
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) !=
        Z_OK) {
        throw std::runtime_error("deflateInit2 failed");
    }
    QByteArray out(static_cast<qsizetype>(deflateBound(&stream, data.size())) + 32,
                   Qt::Uninitialized);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.constData()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    const int status = deflate(&stream, Z_FINISH);
    const auto written = static_cast<qsizetype>(stream.total_out);
    deflateEnd(&stream);
    if (status != Z_STREAM_END) {
        throw std::runtime_error("gzip coding failed");
    }
    out.resize(written);
    return out;
}

QByteArray BrotliCompress(const QByteArray& data) {
    QByteArray out(static_cast<qsizetype>(BrotliEncoderMaxCompressedSize(data.size())) + 1024,
                   Qt::Uninitialized);
    size_t size = static_cast<size_t>(out.size());
    if (BrotliEncoderCompress(1, BROTLI_DEFAULT_WINDOW, BROTLI_MODE_GENERIC,
                              static_cast<size_t>(data.size()),
                              reinterpret_cast<const uint8_t*>(data.constData()), &size,
                              reinterpret_cast<uint8_t*>(out.data())) != BROTLI_TRUE) {
        throw std::runtime_error("brotli coding failed");
    }
    out.resize(static_cast<qsizetype>(size));
    return out;
}

}  // namespace replica
