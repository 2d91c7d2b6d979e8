#include "app/WatchBench.h"

#include <grp.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QUrl>
#include <chrono>

#include "support/TelegramSettings.h"

using replica::PortalImitation;

namespace {

constexpr int kWaitMs = 60000;
constexpr int kTailLines = 40;
const QString kRunEnd = QStringLiteral("Повторная выгрузка начнётся через");

// Takes the whole lines out of `buffer` after `bytes` were added to it.
QStringList TakeLines(QString& buffer, const QByteArray& bytes) {
    buffer += QString::fromUtf8(bytes);
    const qsizetype end = buffer.lastIndexOf(u'\n');
    QStringList lines = buffer.left(end + 1).split(u'\n');
    lines.removeLast();
    buffer.remove(0, end + 1);
    return lines;
}

}  // namespace

qint64 SteadyMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

WatchBench::WatchBench(const QString& token) : timing_(ScopedTiming::Scaled(20)), bot_(token) {
    // The watches share the spacing of their requests through this folder, and no other test's
    // program does.
    QDir(dir_.path()).mkdir(QStringLiteral("run"));
    QFile::setPermissions(path(QStringLiteral("run")),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    bot_.failEvery(3);
    portalServer_.setHandler([this](const replica::Request& request) {
        if (onPortalRequest) {
            onPortalRequest(request);
        }
        return portal_.handle(request);
    });
    telegramServer_.setHandler([this](const replica::Request& request) {
        if (!request.path().endsWith("/sendmessage")) {
            return bot_.handle(request);  // an edit that adds the card's details: no notice
        }
        const QString body = QUrl::fromPercentEncoding(request.body);
        const qsizetype from = body.indexOf(QStringLiteral("отказ от ")) + 9;
        const QString signedAt = body.mid(from, body.indexOf(QStringLiteral(", время")) - from);
        replica::Response response = bot_.handle(request);
        if (failNotice && failNotice(signedAt)) {
            response = replica::Response::Status(
                503, "Service Unavailable",
                R"({"ok":false,"error_code":503,"description":"Service Unavailable"})");
        }
        {
            std::lock_guard lock(mutex_);
            notices_.append({signedAt, response.status == 200, SteadyMs()});
        }
        if (response.status == 200 && onDelivered) {
            onDelivered();
        }
        return response;
    });
    WriteFile(path(QStringLiteral("StartURL.txt")),
              PortalImitation::StartUrl(portalServer_.url()).toUtf8());
    WriteTelegramSettings(dir_.path(), telegramServer_.url(), token, "Limit=30\r\n");
}

void WatchBench::Publish(int number) {
    PublishedRefusal refusal;
    refusal.registryId = QStringLiteral("27701000001260001%1").arg(number, 2, 10, QChar('0'));
    refusal.signedAt =
        QStringLiteral("%1.01.2026 10:%2").arg(10 + number % 18).arg(number, 2, 10, QChar('0'));
    replica::PortalDataSet data = portal_.data();
    replica::ContractRecord contract =
        replica::MakeContract(refusal.registryId, QDate(2026, 1, 5 + number % 5), 1000 + number);
    replica::AddRefusal(contract, {replica::CustomerRefusal(refusal.signedAt)});
    data.contracts.append(contract);
    std::lock_guard lock(mutex_);
    refusal.publishedMs = SteadyMs();
    portal_.setData(data);
    refusals_.append(refusal);
}

QStringList WatchBench::PublishMetBefore(int count) {
    replica::PortalDataSet data = portal_.data();
    QStringList pages;
    QByteArray have = ReadFile(path(QStringLiteral("have.txt")));
    for (int n = 0; n < count; ++n) {
        replica::ContractRecord contract =
            replica::MakeContract(QStringLiteral("37701000001250%1").arg(n, 5, 10, QChar('0')),
                                  QDate(2026, 1, 1 + n % 28), 5000 + n);
        const QString signedAt =
            QStringLiteral("%1.12.2025 09:00").arg(1 + n % 28, 2, 10, QChar('0'));
        replica::AddRefusal(contract, {replica::CustomerRefusal(signedAt)});
        const QString page =
            portalServer_.url() + PortalImitation::kRejectPath + "?" + contract.rejectQuery;
        pages << page;
        have += (page + "#" + signedAt + "\r\n").toUtf8();
        data.contracts.append(contract);
    }
    WriteFile(path(QStringLiteral("have.txt")), have);
    portal_.setData(data);
    return pages;
}

QList<PublishedRefusal> WatchBench::Refusals() {
    std::lock_guard lock(mutex_);
    return refusals_;
}

QList<NoticeRequest> WatchBench::Notices() {
    std::lock_guard lock(mutex_);
    return notices_;
}

int WatchBench::Delivered(const QString& signedAt) {
    int count = 0;
    for (const NoticeRequest& notice : Notices()) {
        count += notice.delivered && notice.signedAt == signedAt ? 1 : 0;
    }
    return count;
}

bool WatchBench::DetailsShown(const QString& signedAt) {
    for (const replica::TelegramImitation::Message& message : bot_.messages()) {
        if (message.text.contains(QStringLiteral("отказ от ") + signedAt + QLatin1Char(',')) &&
            message.text.contains(QStringLiteral("\nЗаказчик: "))) {
            return true;
        }
    }
    return false;
}

QStringList WatchBench::CsvFiles() const {
    return QDir(dir_.path()).entryList({QStringLiteral("*.csv")}, QDir::Files, QDir::Name);
}

QStringList WatchBench::ExportedIds(bool* whole) const {
    QStringList ids;
    *whole = true;
    for (const QString& name : CsvFiles()) {
        const QByteArray bytes = ReadFile(path(name));
        if (!bytes.startsWith("\xEF\xBB\xBF") || !bytes.endsWith("\r\n")) {
            *whole = false;
            qWarning() << "not whole:" << name;
            continue;
        }
        QStringList lines = QString::fromUtf8(bytes.mid(3)).split(QStringLiteral("\r\n"));
        lines.removeLast();
        for (qsizetype i = 0; i < lines.size(); ++i) {
            const QString& line = lines[i];
            const QStringList fields = line.mid(1, line.size() - 2).split(QStringLiteral("\";\""));
            if (!line.startsWith(u'"') || !line.endsWith(u'"') || fields.size() != 11) {
                *whole = false;
                qWarning() << "broken line in" << name << line;
            } else if (i > 0) {
                ids << fields[2].mid(1);
            }
        }
    }
    return ids;
}

bool WatchBench::AllDone() {
    bool whole = true;
    const QStringList ids = ExportedIds(&whole);
    for (const PublishedRefusal& refusal : Refusals()) {
        if (!ids.contains(refusal.registryId) || Delivered(refusal.signedAt) == 0) {
            return false;
        }
    }
    return !QFile::exists(path(QStringLiteral("have-pending.txt"))) &&
           !QFile::exists(path(QStringLiteral("notice-queue.txt")));
}

QString WatchBench::FileReport(const QString& name) const {
    if (!QFile::exists(path(name))) {
        return name + QStringLiteral(": none");
    }
    return name + QStringLiteral(":\n") + QString::fromUtf8(ReadFile(path(name))).trimmed();
}

QStringList WatchBench::Report(qint64 sinceMs) {
    QStringList report;
    bool whole = true;
    const QStringList ids = ExportedIds(&whole);
    const QList<NoticeRequest> notices = Notices();
    for (const PublishedRefusal& refusal : Refusals()) {
        QStringList tries;
        for (const NoticeRequest& notice : notices) {
            if (notice.signedAt == refusal.signedAt) {
                tries << QStringLiteral("%1 ms %2")
                             .arg(notice.atMs - sinceMs)
                             .arg(notice.delivered ? "delivered" : "failed");
            }
        }
        const bool exported = ids.contains(refusal.registryId);
        if (!exported || !tries.join(u' ').contains(QStringLiteral("delivered"))) {
            report << QStringLiteral("missing %1 %2, published at %3 ms: %4; notices: %5")
                          .arg(refusal.registryId, refusal.signedAt)
                          .arg(refusal.publishedMs - sinceMs)
                          .arg(exported ? "exported" : "no row")
                          .arg(tries.isEmpty() ? QStringLiteral("none") : tries.join(", "));
        }
    }
    return report << FileReport(QStringLiteral("have-pending.txt"))
                  << FileReport(QStringLiteral("notice-queue.txt"));
}

WatchProcess::~WatchProcess() {
    if (Runs()) {
        Kill(QStringLiteral("at the test's end"));
    }
}

void WatchProcess::Keep(const QString& line) {
    tail.append(line);
    if (tail.size() > kTailLines) {
        tail.removeFirst();
    }
}

void WatchProcess::Start(const WatchBench& bench, const QStringList& extra, int uid) {
    process_ = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), bench.path(QStringLiteral("run")));
    process_->setProcessEnvironment(env);
    process_->setWorkingDirectory(bench.folder());
    // Sanitizer reports and Qt's warnings belong in the report of a failure too.
    process_->setProcessChannelMode(QProcess::MergedChannels);
    if (uid >= 0) {
        process_->setChildProcessModifier([uid] {
            if (::setgroups(0, nullptr) != 0 || ::setgid(static_cast<gid_t>(uid)) != 0 ||
                ::setuid(static_cast<uid_t>(uid)) != 0) {
                ::_exit(99);
            }
        });
    }
    connect(process_.get(), &QProcess::readyReadStandardOutput, this, [this] {
        for (const QString& line : TakeLines(output_, process_->readAllStandardOutput())) {
            Keep(line);
            lines.append(line);
            runEnds += line.contains(kRunEnd) ? 1 : 0;
            if (onLine) {
                onLine(line);
            }
        }
    });
    connect(process_.get(), &QProcess::finished, this,
            [this](int code, QProcess::ExitStatus status) {
                if (!ending_) {
                    Keep(QStringLiteral("-- %1 ms: the watch ended by itself, %2 %3")
                             .arg(SteadyMs() - startMs_)
                             .arg(status == QProcess::CrashExit ? "crash" : "exit code")
                             .arg(code));
                }
            });
    output_.clear();
    ending_ = false;
    Keep(QStringLiteral("-- %1 ms: watch started").arg(SteadyMs() - startMs_));
    process_->start(
        QStringLiteral(QUORVANE_PROBE),
        QStringList{QStringLiteral("--headless"), QStringLiteral("--dir"), bench.folder(),
                    QStringLiteral("--contract-from"), QStringLiteral("01.01.2026"),
                    QStringLiteral("--contract-to"), QStringLiteral("31.01.2026")} +
            extra);
    process_->waitForStarted(kWaitMs);
}

void WatchProcess::Kill(const QString& why) {
    ending_ = true;
    process_->kill();  // SIGKILL
    process_->waitForFinished(kWaitMs);
    Keep(QStringLiteral("-- %1 ms: killed (%2)").arg(SteadyMs() - startMs_).arg(why));
}

int WatchProcess::Stop() {
    ending_ = true;
    process_->terminate();
    return WaitForExit();
}

int WatchProcess::WaitForExit() {
    if (!process_->waitForFinished(kWaitMs) && Runs()) {
        return -1;
    }
    return process_->exitStatus() == QProcess::NormalExit ? process_->exitCode() : -1;
}
