// Every crash point tried. One clean run of the headless program (scaled timing) against the
// imitations records each step that changes the data folder (writes, syncs, renames, links,
// unlinks, truncations, and each notice sent). Then, for each of those steps, a run is killed
// with SIGKILL right before it, and the folder it left is recovered by further runs; so is each
// state a power cut at that moment may leave instead (unsynced writes dropped, each alone, the
// last one cut in half, renames and links not covered by a folder sync undone), and a second
// kill at each of the first steps of the recovery. After each, every refusal has exactly one
// row and one have.txt line, every file is whole, and each notice came at least once and at
// most once more per crash.
//
// QUORVANE_SWEEP_SHARD=i/k takes every k-th point from the i-th; QUORVANE_SWEEP_DOUBLE sets how
// many steps of the recovery are killed again (2 by default, 0 for all); QUORVANE_SWEEP_REFUSALS
// the number of new refusals (5).
#include <sys/stat.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QRegularExpression>
#include <QtTest>
#include <atomic>
#include <memory>

#include "app/WatchBench.h"
#include "store/RecordFile.h"

using replica::PortalImitation;

namespace {

constexpr int kRunWaitMs = 60000;
constexpr int kMaxRecoveryRuns = 6;
const QString kToken = QStringLiteral("1234567890:AAE-crash-sweep-test");
const QString kMetBeforeSignedAt = QStringLiteral("01.12.2025 09:00");

struct Step {
    qint64 number = 0;
    QString call;
    QString path;
    qint64 offset = -1;
    qint64 length = -1;
    QString other;
    QString kind;  // call and file, as the program counts them
    qint64 ofKind = 0;
};

QList<Step> ReadSteps(const QString& record) {
    QList<Step> steps;
    for (const QByteArray& line : ReadFile(record).split('\n')) {
        const QList<QByteArray> f = line.split('\t');
        if (f.size() < 8) {
            continue;
        }
        steps.append({f[0].toLongLong(), QString::fromUtf8(f[1]), QFile::decodeName(f[2]),
                      f[3].toLongLong(), f[4].toLongLong(), QFile::decodeName(f[5]),
                      QString::fromUtf8(f[6]), f[7].toLongLong()});
    }
    return steps;
}

// The same step as `clean`: its kind and count, and for a notice the same refusal, for an
// append as many bytes. A file written whole under a temporary name may differ in length: the
// notice queue holds the message ids the API gave, and they grow from run to run.
bool SameStep(const Step& step, const Step& clean) {
    const bool wholeFile = step.path.contains(QLatin1String(".new-"));
    return step.kind == clean.kind && step.ofKind == clean.ofKind &&
           (step.call != QLatin1String("send") || step.path == clean.path) &&
           (step.call != QLatin1String("write") || wholeFile || step.length == clean.length);
}

// A step on the data folder's own files, rather than on the logs or the lock files.
bool InFolder(const Step& step, const QString& folder) {
    if (step.call == QLatin1String("send")) {
        return true;
    }
    const QString name = QDir(folder).relativeFilePath(step.path);
    return !name.contains(u'/') && !name.endsWith(QLatin1String(".lock"));
}

void ClearFolder(const QString& folder) {
    for (const QFileInfo& entry :
         QDir(folder).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden)) {
        // The spacing of requests lives in run/, the imitations' settings beside the data.
        if (entry.fileName() == QLatin1String("run")) {
            continue;
        }
        if (entry.isDir()) {
            QDir(entry.filePath()).removeRecursively();
        } else {
            QFile::remove(entry.filePath());
        }
    }
}

void CopyFolder(const QString& from, const QString& to) {
    QDirIterator it(from, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString file = it.next();
        const QString relative = QDir(from).relativeFilePath(file);
        if (!relative.startsWith(QLatin1String("run/"))) {
            WriteFile(QDir(to).filePath(relative), ReadFile(file));
        }
    }
}

QByteArray FolderHash(const QString& folder) {
    QCryptographicHash hash(QCryptographicHash::Sha256);
    QStringList files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden);
    while (it.hasNext()) {
        files << it.next();
    }
    files.sort();
    for (const QString& file : files) {
        hash.addData(file.toUtf8() + '\0' + ReadFile(file) + '\0');
    }
    return hash.result();
}

void CutFile(const QString& path, qint64 size) {
    QFile file(path);
    if (file.exists() && file.size() > size) {
        QVERIFY(file.resize(size));
    }
}

// What a power cut right before step `killAt` may leave, built on the folder the kill left:
// each a change to apply to a copy of it.
struct PowerCut {
    QString name;
    std::function<void()> apply;
};

QList<PowerCut> PowerCuts(const QList<Step>& steps, const QString& record, const QString& folder) {
    struct Write {
        QString path;
        qint64 offset, length;
    };
    QList<Write> unsynced;
    QList<Step> unsyncedNames;
    for (const Step& step : steps) {
        const QString& call = step.call;
        if (call == QLatin1String("write")) {
            unsynced.append({step.path, step.offset, step.length});
        } else if (call == QLatin1String("fsync")) {
            unsynced.removeIf([&](const Write& w) { return w.path == step.path; });
        } else if (call == QLatin1String("truncate")) {
            unsynced.removeIf(
                [&](const Write& w) { return w.path == step.path && w.offset >= step.offset; });
        } else if (call == QLatin1String("unlink")) {
            unsynced.removeIf([&](const Write& w) { return w.path == step.path; });
        } else if (call == QLatin1String("rename")) {
            for (Write& w : unsynced) {
                w.path = w.path == step.other ? step.path : w.path;
            }
        } else if (call == QLatin1String("dirsync")) {
            unsyncedNames.removeIf(
                [&](const Step& s) { return QFileInfo(s.path).absolutePath() == step.path; });
        }
        if (call == QLatin1String("rename") || call == QLatin1String("link") ||
            call == QLatin1String("create") || call == QLatin1String("unlink")) {
            unsyncedNames.append(step);
        }
    }
    // The header of a CSV file is written before it has a name, and synced before it gets one.
    unsynced.removeIf([&](const Write& w) { return w.path == folder; });
    const auto drop = [](const Write& w) { CutFile(w.path, w.offset); };
    QList<PowerCut> cuts;
    if (!unsynced.isEmpty()) {
        cuts.append({QStringLiteral("unsynced writes dropped"), [=] {
                         for (qsizetype i = unsynced.size() - 1; i >= 0; --i) {
                             drop(unsynced[i]);
                         }
                     }});
        if (unsynced.size() > 1) {
            for (qsizetype i = 0; i < unsynced.size(); ++i) {
                cuts.append({QStringLiteral("unsynced write %1 dropped alone").arg(i),
                             [=] { drop(unsynced[i]); }});
            }
        }
        const Write last = unsynced.last();
        if (last.length >= 2) {
            cuts.append({QStringLiteral("last unsynced write cut in half"),
                         [=] { CutFile(last.path, last.offset + last.length / 2); }});
        }
    }
    if (!unsyncedNames.isEmpty()) {
        cuts.append({QStringLiteral("names since the folder's last sync undone"), [=] {
                         for (qsizetype i = unsyncedNames.size() - 1; i >= 0; --i) {
                             const Step& s = unsyncedNames[i];
                             const QString old = record + QStringLiteral(".%1.old").arg(s.number);
                             if (s.call == QLatin1String("unlink") ||
                                 s.call == QLatin1String("rename")) {
                                 QFile::remove(s.path);
                                 if (QFile::exists(old)) {
                                     QVERIFY(QFile::copy(old, s.path));
                                 }
                             } else {
                                 QFile::remove(s.path);
                             }
                         }
                     }});
    }
    return cuts;
}

}  // namespace

class CrashSweepTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<WatchBench> bench_;
    QTemporaryDir records_;  // outside the data folder, as the recordings are no data
    int refusals_ = 5;
    int shard_ = 0;
    int shards_ = 1;
    int doubles_ = 2;
    int recordCount_ = 0;
    QStringList lastLines_;

    QString NewRecord() {
        return records_.filePath(QStringLiteral("steps-%1").arg(++recordCount_));
    }

    // One run of the program to its end (or its kill); true when it was killed.
    bool RunOnce(const QString& record, const Step* kill = nullptr) {
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), bench_->path(QStringLiteral("run")));
        env.insert(QStringLiteral("QUORVANE_TEST_STEPS"), record);
        if (kill != nullptr) {
            env.insert(QStringLiteral("QUORVANE_TEST_KILL_AT"),
                       kill->kind + QLatin1Char(' ') + QString::number(kill->ofKind));
        }
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(bench_->folder());
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(
            QStringLiteral(QUORVANE_PROBE),
            {QStringLiteral("--headless"), QStringLiteral("--once"), QStringLiteral("--dir"),
             bench_->folder(), QStringLiteral("--contract-from"), QStringLiteral("01.01.2026"),
             QStringLiteral("--contract-to"), QStringLiteral("31.01.2026")});
        if (!process.waitForFinished(kRunWaitMs)) {
            process.kill();
            process.waitForFinished(kRunWaitMs);
        }
        lastLines_ = QString::fromUtf8(process.readAll()).split(u'\n').mid(-20);
        return process.exitStatus() == QProcess::CrashExit;
    }

    // The notices the Bot API took for `signedAt`, of those from `notices`.
    static int Delivered(const QList<NoticeRequest>& notices, const QString& signedAt) {
        int count = 0;
        for (const NoticeRequest& notice : notices) {
            count += notice.delivered && notice.signedAt == signedAt ? 1 : 0;
        }
        return count;
    }

    // What the end state breaks, or nothing.
    QStringList Faults(const QList<NoticeRequest>& notices, int crashes) {
        QStringList faults;
        bool whole = true;
        const QStringList ids = bench_->ExportedIds(&whole);
        if (!whole) {
            faults << QStringLiteral("a CSV file is not whole");
        }
        for (const QString& name : bench_->CsvFiles()) {
            const QByteArray bytes = ReadFile(bench_->path(name));
            const QByteArray header = bytes.left(bytes.indexOf("\r\n") + 2);
            if (header.size() < 5 || bytes.count(header.mid(3)) != 1) {
                faults << name + QStringLiteral(": the header not once");
            }
        }
        QStringList have = QString::fromUtf8(ReadFile(bench_->path(QStringLiteral("have.txt"))))
                               .split(QStringLiteral("\r\n"));
        if (have.takeLast() != QString()) {
            faults << QStringLiteral("have.txt: the last line unfinished");
        }
        QStringList signedAts{kMetBeforeSignedAt};
        for (const PublishedRefusal& refusal : bench_->Refusals()) {
            signedAts << refusal.signedAt;
            if (ids.count(refusal.registryId) != 1) {
                faults << QStringLiteral("%1: %2 rows")
                              .arg(refusal.registryId)
                              .arg(ids.count(refusal.registryId));
            }
            const int delivered = Delivered(notices, refusal.signedAt);
            if (delivered < 1 || delivered > 1 + crashes) {
                faults << QStringLiteral("%1: %2 notices").arg(refusal.signedAt).arg(delivered);
            }
        }
        if (ids.size() != bench_->Refusals().size()) {
            faults << QStringLiteral("%1 rows in all").arg(ids.size());
        }
        if (Delivered(notices, kMetBeforeSignedAt) != 0) {
            faults << QStringLiteral("a notice for the refusal met before");
        }
        for (const QString& signedAt : signedAts) {
            const auto lines = std::count_if(have.begin(), have.end(), [&](const QString& line) {
                return line.contains(PortalImitation::kRejectPath) &&
                       line.endsWith(QLatin1Char('#') + signedAt);
            });
            if (lines != 1) {
                faults << QStringLiteral("have.txt: %1 lines of %2").arg(lines).arg(signedAt);
            }
        }
        if (have.size() != signedAts.size()) {
            faults << QStringLiteral("have.txt: %1 lines").arg(have.size());
        }
        for (const QString& name :
             {QStringLiteral("have-pending.txt"), QStringLiteral("notice-queue.txt")}) {
            try {
                if (!ReadRecordFile(bench_->path(name)).isEmpty()) {
                    faults << name + QStringLiteral(" still holds work");
                }
            } catch (const std::exception&) {
                faults << name + QStringLiteral(" unreadable");
            }
        }
        return faults;
    }

    bool WorkDone(const QList<NoticeRequest>& notices) {
        bool whole = true;
        const QStringList ids = bench_->ExportedIds(&whole);
        for (const PublishedRefusal& refusal : bench_->Refusals()) {
            if (!ids.contains(refusal.registryId) || Delivered(notices, refusal.signedAt) == 0) {
                return false;
            }
        }
        return !QFile::exists(bench_->path(QStringLiteral("have-pending.txt"))) &&
               !QFile::exists(bench_->path(QStringLiteral("notice-queue.txt")));
    }

    // Runs the program until its work is done; the notices received before it count too.
    // Returns the recording of the first of these runs.
    // `all`, when given, gets the steps of every run.
    QList<Step> Recover(const QList<NoticeRequest>& before, QList<NoticeRequest>* notices,
                        QList<Step>* all = nullptr) {
        const qsizetype from = bench_->Notices().size();
        QList<Step> first;
        for (int run = 0; run < kMaxRecoveryRuns; ++run) {
            const QString record = NewRecord();
            RunOnce(record);
            if (run == 0) {
                first = ReadSteps(record);
            }
            if (all != nullptr) {
                *all += ReadSteps(record);
            }
            *notices = before + bench_->Notices().mid(from);
            if (WorkDone(*notices)) {
                break;
            }
        }
        return first;
    }

    void Check(const QString& what, const QList<NoticeRequest>& notices, int crashes) {
        const QStringList faults = Faults(notices, crashes);
        if (!faults.isEmpty()) {
            for (const QString& line :
                 bench_->Report(0) + QStringList{"last lines:"} + lastLines_) {
                qWarning().noquote() << line;
            }
        }
        QVERIFY2(faults.isEmpty(), qPrintable(what + QStringLiteral(": ") + faults.join("; ")));
    }

    // A fresh folder with the data set: a refusal met before and the new ones.
    void Seed() {
        noticeFailed_ = false;
        ClearFolder(bench_->folder());
        CopyFolder(seedFolder_.path(), bench_->folder());
    }

    QTemporaryDir seedFolder_;
    // The Bot API fails the third refusal's notice once, in every world the sweep makes.
    std::atomic<bool> noticeFailed_{false};

private slots:
    void initTestCase() {
        refusals_ = qEnvironmentVariableIsSet("QUORVANE_SWEEP_REFUSALS")
                        ? qEnvironmentVariableIntValue("QUORVANE_SWEEP_REFUSALS")
                        : 5;
        doubles_ = qEnvironmentVariableIsSet("QUORVANE_SWEEP_DOUBLE")
                       ? qEnvironmentVariableIntValue("QUORVANE_SWEEP_DOUBLE")
                       : 2;
        const QStringList shard = qEnvironmentVariable("QUORVANE_SWEEP_SHARD").split(u'/');
        if (shard.size() == 2) {
            shard_ = shard[0].toInt();
            shards_ = std::max(1, shard[1].toInt());
        }
        bench_ = std::make_unique<WatchBench>(kToken);
        bench_->FailEveryNthNotice(0);
        bench_->PublishMetBefore(1);
        for (int n = 0; n < refusals_; ++n) {
            bench_->Publish(n);
        }
        const QString failing = bench_->Refusals().value(2).signedAt;
        bench_->failNotice = [this, failing](const QString& signedAt) {
            return signedAt == failing && !noticeFailed_.exchange(true);
        };
        CopyFolder(bench_->folder(), seedFolder_.path());
    }

    void everyCrashPointLeavesEveryRefusalOnce() {
        // The clean run, recorded here so that the points never go stale.
        const QString cleanRecord = NewRecord();
        RunOnce(cleanRecord);
        QList<NoticeRequest> notices;
        Recover(bench_->Notices(), &notices);
        Check(QStringLiteral("the clean run"), notices, 0);
        QList<Step> points;
        for (const Step& step : ReadSteps(cleanRecord)) {
            if (InFolder(step, bench_->folder())) {
                points.append(step);
            }
        }
        QVERIFY2(points.size() > 10 * refusals_,
                 qPrintable(QString::fromUtf8(ReadFile(cleanRecord)).left(3000)));
        qInfo("%lld crash points, shard %d of %d", static_cast<long long>(points.size()),
              shard_ + 1, shards_);

        int states = 0;
        QTemporaryDir kept;
        for (qsizetype i = shard_; i < points.size(); i += shards_) {
            const Step& point = points[i];
            const QString what = QStringLiteral("killed before step %1 (%2 %3)")
                                     .arg(point.number)
                                     .arg(point.kind)
                                     .arg(point.ofKind);
            Seed();
            const QString record = NewRecord();
            const qsizetype before = bench_->Notices().size();
            QVERIFY2(RunOnce(record, &point), qPrintable(what + ": not killed"));
            const QList<Step> steps = ReadSteps(record);
            QVERIFY2(!steps.isEmpty() && SameStep(steps.last(), point),
                     qPrintable(what + ": the run drifted to " +
                                (steps.isEmpty()
                                     ? QStringLiteral("nothing")
                                     : steps.last().kind + QLatin1Char(' ') + steps.last().path)));
            const QList<NoticeRequest> killedNotices = bench_->Notices().mid(before);
            const bool failedAtKill = noticeFailed_;
            ClearFolder(kept.path());
            CopyFolder(bench_->folder(), kept.path());
            const QByteArray keptHash = FolderHash(bench_->folder());

            QList<Step> recoverySteps;
            const QList<Step> recovery = Recover(killedNotices, &notices, &recoverySteps);
            Check(what, notices, 1);
            ++states;

            // A power cut once the recovery is done: what the killed run wrote and the recovery
            // took as done must have been synced by then.
            const QList<Step> both = steps.mid(0, steps.size() - 1) + recoverySteps;
            for (const PowerCut& cut : PowerCuts(both, record, bench_->folder())) {
                if (cut.name != QLatin1String("unsynced writes dropped")) {
                    continue;
                }
                const QByteArray untouched = FolderHash(bench_->folder());
                cut.apply();
                if (FolderHash(bench_->folder()) != untouched) {
                    const QList<NoticeRequest> sofar = notices;
                    Recover(sofar, &notices);
                    Check(what + QStringLiteral(", recovered, then a power cut"), notices, 2);
                    ++states;
                }
            }

            // The power cuts at the same moment, each on a copy of what the kill left.
            QSet<QByteArray> seen{keptHash};
            for (const PowerCut& cut :
                 PowerCuts(steps.mid(0, steps.size() - 1), record, bench_->folder())) {
                ClearFolder(bench_->folder());
                CopyFolder(kept.path(), bench_->folder());
                noticeFailed_ = failedAtKill;
                cut.apply();
                const QByteArray hash = FolderHash(bench_->folder());
                if (seen.contains(hash)) {
                    continue;
                }
                seen.insert(hash);
                Recover(killedNotices, &notices);
                Check(what + QStringLiteral(", then a power cut: ") + cut.name, notices, 1);
                ++states;
            }

            // A second kill at each of the first steps of the recovery.
            QList<Step> again;
            for (const Step& step : recovery) {
                if (InFolder(step, bench_->folder()) &&
                    (doubles_ == 0 || again.size() < doubles_)) {
                    again.append(step);
                }
            }
            for (const Step& second : again) {
                ClearFolder(bench_->folder());
                CopyFolder(kept.path(), bench_->folder());
                noticeFailed_ = failedAtKill;
                const qsizetype from = bench_->Notices().size();
                const QString secondRecord = NewRecord();
                const QString secondWhat =
                    what + QStringLiteral(", then again before recovery step %1 (%2 %3)")
                               .arg(second.number)
                               .arg(second.kind)
                               .arg(second.ofKind);
                QVERIFY2(RunOnce(secondRecord, &second), qPrintable(secondWhat + ": not killed"));
                const QList<Step> secondSteps = ReadSteps(secondRecord);
                QVERIFY2(!secondSteps.isEmpty() && SameStep(secondSteps.last(), second),
                         qPrintable(secondWhat + ": the run drifted"));
                const QList<NoticeRequest> both = killedNotices + bench_->Notices().mid(from);
                Recover(both, &notices);
                Check(secondWhat, notices, 2);
                ++states;
            }
        }
        qInfo("%d end states checked", states);
    }
};

QTEST_MAIN(CrashSweepTest)
#include "crash_sweep_test.moc"
