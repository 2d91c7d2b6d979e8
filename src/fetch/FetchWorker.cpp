#include "fetch/FetchWorker.h"

#include <QUrl>

#include "fetch/FetchFailure.h"
#include "fetch/LogSink.h"
#include "fetch/ProxyRotation.h"
#include "fetch/RunTiming.h"
#include "http/CurlGlobal.h"
#include "http/HttpClient.h"
#include "text/ByteText.h"
#include "text/RunError.h"
#include "text/TextHelpers.h"

namespace {

const QString kSearchMarker = QStringLiteral("/results.html?");
const QString kRejectMarker = QStringLiteral("reject-info.html?");
const QString kCardMarker = QStringLiteral("common-info.html?");

// The browser-like request profile, in the order the header lines go out.
QStringList RequestHeaders(const QString& referer) {
    return {
        QStringLiteral("Accept: text/html,application/xhtml+xml,application/xml;q=0.9,"
                       "image/avif,image/webp,*/*;q=0.8"),
        QStringLiteral("Referer: ") + referer,
        QStringLiteral("Accept-Language: ru-RU,ru;q=0.8,en-US;q=0.5,en;q=0.3"),
        QStringLiteral("Accept-Encoding: gzip, deflate, br"),
        QStringLiteral("User-Agent: Mozilla/5.0 (Windows NT 6.1; Win64; x64; rv:109.0) "
                       "Gecko/20100101 Firefox/115.0"),
        QStringLiteral("Upgrade-Insecure-Requests: 1"),
        QStringLiteral("Sec-Fetch-Dest: document"),
        QStringLiteral("Sec-Fetch-Mode: navigate"),
        QStringLiteral("Sec-Fetch-Site: none"),
        QStringLiteral("Sec-Fetch-User: ?1"),
    };
}

// A query value that runs to the next "&" or the end of the URL.
QString UrlDate(const QString& url, const QString& marker) {
    const QString value = ExtractBetween(url, marker, QString(), QString());
    const qsizetype amp = value.indexOf(QLatin1Char('&'));
    return amp < 0 ? value : value.left(amp);
}

// The date a search page shows in the input named `name`: its value attribute, written before
// the name as the portal writes it.
QString PageDate(const QString& html, const QString& name) {
    const QString attributes =
        ExtractBetweenBackward(html, QStringLiteral("name=\"") + name + QLatin1Char('"'), QString(),
                               QStringLiteral("<input "));
    return ExtractBetween(attributes, QStringLiteral("value=\""), QString(), QStringLiteral("\""));
}

// A failed fetch's status: "ERROR_" and the reason, or the last status code when there is none.
QString FailureText(const QString& message, const HttpClient& client) {
    return QStringLiteral("ERROR_") +
           (message.isEmpty() ? QString::number(client.lastStatusCode()) : message);
}

// How the client's last request failed.
FetchFailure ClientFailure(const HttpClient& client) {
    switch (client.lastFailure()) {
        case HttpClient::Failure::Status:
            return {FetchFailure::Kind::Status, client.lastStatusCode()};
        case HttpClient::Failure::Tls:
            return {FetchFailure::Kind::Tls};
        case HttpClient::Failure::Connection:
            return {FetchFailure::Kind::Connection};
        case HttpClient::Failure::Proxy:
            return {FetchFailure::Kind::Proxy};
        case HttpClient::Failure::None:
        case HttpClient::Failure::Other:
            break;
    }
    return {FetchFailure::Kind::Other};
}

}  // namespace

FetchWorker::FetchWorker(std::shared_ptr<RunShared> shared, WorkerLists* lists)
    : shared_(std::move(shared)), lists_(lists) {}

FetchWorker::~FetchWorker() {
    Terminate();
    wait();
}

void FetchWorker::Terminate() {
    requestInterruption();
    {
        // Taken so a sleeper between its check and its wait does not miss the wake-up.
        std::lock_guard lock(sleepMutex_);
    }
    sleepEnds_.notify_all();
}

bool FetchWorker::IsDetailUrl(const QString& url) {
    return url.contains(kRejectMarker) || url.contains(kCardMarker);
}

QString FetchWorker::BaseAddressOf(const QString& url) {
    const QUrl parsed(url);
    return parsed
        .adjusted(QUrl::RemovePath | QUrl::RemoveQuery | QUrl::RemoveFragment |
                  QUrl::RemoveUserInfo)
        .toString(QUrl::StripTrailingSlash);
}

void FetchWorker::run() {
    const bool detail = IsDetailUrl(url);
    try {
        HttpClient client;
        client.setDecodeBodies(true);
        client.setTlsRange(HttpClient::TlsRange::Tls12Only);
        // Through a proxy someone else runs, only a checked certificate shows the page is the
        // portal's.
        if (!shared_->portalCaFile.isEmpty()) {
            client.setVerifyPeer(true, shared_->portalCaFile);
        }
        client.setIdleTimeoutSec(Timing().httpIdleTimeoutSec);
        client.setLowSpeedLimit(Timing().httpLowSpeedBytes, Timing().httpIdleTimeoutSec);
        // A server that trickles its page just fast enough still gives the slot back.
        client.setTotalTimeoutSec(Timing().httpPageTimeoutSec);
        // A stop abandons the request in flight instead of waiting for the portal.
        client.setAbortCheck([this] { return isInterruptionRequested(); });
        Fetch(client);
        client.clearProxy();
    } catch (const std::exception& e) {
        // The client itself could not be built: the page fails like any failed fetch.
        result = kFailure;
        statusText = QStringLiteral("ERROR_") + ErrorMessage(e);
        if (!Terminated()) {
            Handoff();
        }
    }
    if (detail) {
        --shared_->detailsInFlight;
        // A detail slot is free again.
        shared_->driverWake->Notify();
    }
    ReleaseThreadTlsState();
}

void FetchWorker::Fetch(HttpClient& client) {
    const RunTiming& timing = Timing();
    const bool detail = IsDetailUrl(url);
    const QString referer =
        BaseAddressOf(url) + QStringLiteral("/epz/contract/search/results.html?");
    result = kNothing;
    html.clear();
    if (Terminated()) {
        return;
    }

    bool failed = false;
    bool gaveUp = false;
    const bool throughProxy = detail && shared_->useProxy;
    try {
        while (fetchAttempts_ < timing.maxAttempts) {
            if (Terminated()) {
                return;
            }
            if (shared_->streak.GaveUp()) {
                // The run's requests showed a portal that refuses them all: none goes out again.
                failed = gaveUp = true;
                result = kFailure;
                failure = shared_->streak.Last();
                if (statusText.isEmpty()) {
                    statusText = QStringLiteral("ERROR_") + failure.Describe();
                }
                break;
            }
            failed = false;
            failure = {};
            ++fetchAttempts_;
            try {
                if (detail) {
                    WaitForSpacing();
                    if (throughProxy) {
                        ApplyProxy(client, NextProxy(shared_->proxies, shared_->proxyCursor));
                    }
                }
                client.setHeaders(RequestHeaders(referer));
                const QByteArray body = client.get(url);
                html = StreamToText(&body, static_cast<qint32>(body.size()));
                if (detail) {
                    shared_->spacing.RecordDone();
                }

                if (!html.contains(QStringLiteral("</html>"))) {
                    failure = {FetchFailure::Kind::Other};
                    throw RunError(QStringLiteral("Broken"));
                }
                if (IsBlockPage(html)) {
                    failure = {FetchFailure::Kind::BlockPage};
                    throw RunError(QStringLiteral("Access restricted"));
                }
                const QString askedFrom = UrlDate(url, QStringLiteral("&contractDateFrom="));
                const QString askedTo = UrlDate(url, QStringLiteral("&contractDateTo="));
                const QString shownFrom = PageDate(html, QStringLiteral("contractDateFrom"));
                const QString shownTo = PageDate(html, QStringLiteral("contractDateTo"));
                if (askedFrom != shownFrom || askedTo != shownTo) {
                    logLine = QStringLiteral("На запрошенные даты ") + askedFrom +
                              QLatin1Char('-') + askedTo +
                              QStringLiteral(" сайт выдал список по датам ") + shownFrom +
                              QLatin1Char('-') + shownTo +
                              QStringLiteral(", делаем паузу и повторяем запрос");
                    WriteLog();
                    Pause(timing.dateMismatchPauseMs);
                    failure = {FetchFailure::Kind::Other};
                    throw RunError(QStringLiteral("Broken"));
                }
                if (Terminated()) {
                    return;
                }
                fetchAttempts_ = 1000;
                shared_->streak.Succeeded(throughProxy);
            } catch (const std::exception& e) {
                result = kFailure;
                failed = true;
                const QString message = ErrorMessage(e);
                statusText = FailureText(message, client);
                logLine = statusText + QStringLiteral(" для ") + url;
                if (detail) {
                    shared_->spacing.RecordDone();
                }
                if (failure.kind == FetchFailure::Kind::None) {
                    failure = ClientFailure(client);
                }
                if (shared_->streak.Failed(failure)) {
                    gaveUp = true;
                    break;
                }
                Pause(timing.failPauseMs);
                if (client.lastStatusCode() == 429) {
                    logLine = QStringLiteral("Получили 429 для ") + url +
                              (shared_->useProxy ? QStringLiteral(", повторяем через 2 секунды")
                                                 : QStringLiteral(", повторяем через 10 секунд"));
                    WriteLog();
                    Pause(shared_->useProxy ? timing.pause429ProxyMs : timing.pause429DirectMs);
                }
                if (message.contains(QStringLiteral("Not Found"))) {
                    if (fetchAttempts_ > 1) {
                        fetchAttempts_ = 1000;
                    }
                    logLine = statusText + QStringLiteral(" для ") + url;
                    WriteLog();
                }
            }
        }

        if (failed) {
            result = kFailure;
            if (!gaveUp) {
                Pause(timing.finalFailWaitMs);
            }
        } else {
            if (url.contains(kSearchMarker)) {
                result = kSearchPage;
            } else if (url.contains(kRejectMarker)) {
                result = kRefusalPage;
            } else if (url.contains(kCardMarker)) {
                result = kCardPage;
            }
            statusText = QStringLiteral("успешно");
        }
    } catch (const std::exception& e) {
        statusText = FailureText(ErrorMessage(e), client);
        result = kFailure;
        Pause(timing.failPauseMs);
    }
    Handoff();
}

void FetchWorker::WaitForSpacing() {
    // Another worker's answer (or another process's request) may move the moment on while this
    // one sleeps: it looks again at the end of every sleep.
    while (!Terminated()) {
        // A request of another process may be in flight for as long as a page may take.
        const qint64 wait = shared_->spacing.TryStart(
            Timing().detailSpacingMs,
            qint64(Timing().httpPageTimeoutSec) * 1000 + Timing().detailSpacingMs);
        if (wait <= 0) {
            return;
        }
        SleepUntil(std::chrono::steady_clock::now() + std::chrono::milliseconds(wait));
    }
}

void FetchWorker::Pause(int ms) {
    // Every pause ends early on a stop, so a stopped run winds down at once; a worker that was
    // asked to terminate never hands its page in anyway.
    SleepUntil(std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(0, ms)));
}

void FetchWorker::SleepUntil(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(sleepMutex_);
    sleepEnds_.wait_until(lock, deadline, [this] { return Terminated(); });
}

void FetchWorker::WriteLog() {
    LogSink* log = shared_->log;
    if (log == nullptr) {
        return;
    }
    CallOnSinkThread(*log, [log, text = logLine] { log->WriteLog(text); });
}

void FetchWorker::Handoff() {
    std::lock_guard lock(shared_->listsLock);
    lists_->runningWorkers.removeOne(this);
    lists_->finishedWorkers.append(this);
    shared_->driverWake->Notify();
}
