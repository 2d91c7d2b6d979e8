// Many whole runs against the portal and Telegram imitations, with Stop, Pause, Continue and
// closing the program at random moments. Every run must end within a bounded wait, leave no
// worker behind, and leave its files whole. Under ASan and UBSan a report ends the process.
//
// QUORVANE_STRESS_RUNS sets the number of runs (default 200), QUORVANE_STRESS_SEED the seed
// (default: a fresh one, printed so a failing sequence can be replayed).
#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QSet>
#include <QTemporaryDir>
#include <QUuid>
#include <iostream>
#include <random>

#include <unistd.h>

#include "PortalImitation.h"
#include "PortalReplica.h"
#include "TelegramImitation.h"
#include "run/RecordedRunReport.h"
#include "run/RunDriver.h"
#include "support/TelegramSettings.h"
#include "support/TestSupport.h"
#include "text/ByteText.h"

using replica::ContractRecord;
using replica::PortalDataSet;
using replica::PortalImitation;
using replica::PortalReplica;
using replica::Request;
using replica::Response;
using replica::TelegramImitation;

namespace {

const QDate kFrom(2026, 1, 1);
const QDate kTo(2026, 1, 31);
const QString kToken = QStringLiteral("1234567890:AAStressStressStressStressStressStr");
constexpr int kEndWaitMs = 30000;

quint64 EnvNumber(const char* name, quint64 fallback) {
    bool ok = false;
    const quint64 value = qEnvironmentVariable(name).toULongLong(&ok);
    return ok ? value : fallback;
}

// The names of this process's threads that belong to a run (Qt names a thread after its class).
QStringList RunThreads() {
    QStringList names;
    QDirIterator tasks(QStringLiteral("/proc/self/task"), QDir::Dirs | QDir::NoDotAndDotDot);
    while (tasks.hasNext()) {
        const QString name =
            QString::fromUtf8(ReadFile(tasks.next() + QStringLiteral("/comm"))).trimmed();
        if (name == QStringLiteral("FetchWorker") || name == QStringLiteral("RunDriver")) {
            names.append(name);
        }
    }
    return names;
}

// Whether a descriptor of this process is open on a file whose name ends with `suffix`.
bool FileOpenEndingWith(const QString& suffix) {
    QDirIterator fds(QStringLiteral("/proc/self/fd"),
                     QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    while (fds.hasNext()) {
        char target[4096];
        const ssize_t length =
            ::readlink(QFile::encodeName(fds.next()).constData(), target, sizeof target - 1);
        if (length > 0 &&
            QString::fromLocal8Bit(target, static_cast<qsizetype>(length)).endsWith(suffix)) {
            return true;
        }
    }
    return false;
}

enum class Ending { Finished, Stopped, Closed };

class RunStressTest : public ::testing::Test {
protected:
    RunStressTest() : timing_(ScopedTiming::Scaled(100)), bot_(kToken) {
        portalReplica_.setHandler([this](const Request& request) {
            Response response = portal_.handle(request);
            std::lock_guard lock(randomMutex_);
            response.delayMs = std::uniform_int_distribution<int>(0, 15)(serverRandom_);
            // Now and then a failure, so that retries and their pauses are under way too.
            if (std::uniform_int_distribution<int>(0, 19)(serverRandom_) == 0) {
                response = Response::Status(500, "Internal Server Error");
            }
            return response;
        });
        bot_.answerSuccess(QStringLiteral("operator"), QStringLiteral("quorvane_bot"));
        botReplica_.setHandler(bot_.handler());
    }

    // One run with a sequence of operator actions drawn from `random`; checks it and its files.
    void StressOneRun(std::mt19937& random) {
        auto pick = [&random](int low, int high) {
            return std::uniform_int_distribution<int>(low, high)(random);
        };
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        const PortalDataSet data = replica::MakePortalDataSet(
            pick(2, 14), kFrom, kTo, static_cast<quint32>(random()), pick(20, 60));
        portal_.setData(data);
        {
            std::lock_guard lock(randomMutex_);
            serverRandom_.seed(random());
        }
        bot_.setDelayMs(pick(0, 20));
        WriteFile(dir.filePath(QStringLiteral("StartURL.txt")),
                  PortalImitation::StartUrl(portalReplica_.url()).toUtf8());
        WriteTelegramSettings(dir.path(), botReplica_.url(), kToken);

        auto view = std::make_unique<RecordedRunReport>();
        RunOptions options = RunOptionsIn(dir.path());
        options.threadLimit = pick(1, 4);
        const QString mutexName = options.mutexName;
        options.contractFrom = kFrom;
        options.contractTo = kTo;
        auto run = std::make_unique<RunDriver>(view.get(), std::move(options));
        run->start();

        // The operator's actions, each after a random moment.
        Ending ending = Ending::Finished;
        const int actions = pick(0, 4);
        for (int i = 0; i < actions && ending == Ending::Finished; ++i) {
            QThread::msleep(static_cast<unsigned long>(pick(0, 60)));
            switch (pick(0, 5)) {
                case 0:
                case 1:  // Pause, as the window's button holds a running driver
                    run->Control()->Hold();
                    break;
                case 2:
                case 3:  // Continue
                    run->Control()->Continue();
                    break;
                case 4:  // Stop: a held driver is continued first
                    if (run->Control()->Held()) {
                        run->Control()->Continue();
                    }
                    run->Control()->Terminate();
                    ending = Ending::Stopped;
                    break;
                default:  // Closing the program: the run is abandoned with its notices
                    run->AbandonNetwork();
                    if (run->Control()->Held()) {
                        run->Control()->Continue();
                    }
                    run->Control()->Terminate();
                    ending = Ending::Closed;
                    break;
            }
        }
        // An operator who paused comes back and continues before the run can end by itself.
        if (run->Control()->Held()) {
            QThread::msleep(static_cast<unsigned long>(pick(0, 30)));
            run->Control()->Continue();
        }
        if (ending == Ending::Closed) {
            // As the window waits on closing: a driver that holds itself is continued.
            WaitFor(
                [&run] {
                    if (!run->Control()->Done() && run->Control()->Held()) {
                        run->Control()->Continue();
                    }
                    return run->isFinished();
                },
                kEndWaitMs);
        }
        ASSERT_TRUE(run->wait(kEndWaitMs)) << "the run did not end";
        EXPECT_TRUE(run->Control()->Done());
        // The run's shared state (and with it its spacing mutex's lock file) is released once
        // the driver's thread has ended; a worker left behind would still hold it.
        EXPECT_FALSE(FileOpenEndingWith(QLatin1Char('/') + mutexName + QStringLiteral(".lock")))
            << "a worker still holds the run's state";
        // No thread of the run is left either. Qt's threads are detached: one that has reported
        // its end may still take a moment to leave the system on a busy machine.
        EXPECT_TRUE(WaitFor([] { return RunThreads().isEmpty(); }, 5000))
            << RunThreads().join(QLatin1Char(' ')).toStdString();

        const QStringList memo = view->log();
        // Closing frees the driver first, then the window.
        run.reset();
        view.reset();

        CheckLogFile(dir, memo);
        const QSet<QString> keys = CheckHaveFile(dir, data);
        CheckCsvFile(dir, data, keys, ending);
        ++endings_[static_cast<int>(ending)];
    }

    // The saved log is the whole memo as it stood at the end of the run.
    void CheckLogFile(const QTemporaryDir& dir, const QStringList& memo) {
        const QStringList logs = QDir(dir.filePath(QStringLiteral("logs")))
                                     .entryList({QStringLiteral("log-*.txt")}, QDir::Files);
        ASSERT_EQ(logs.size(), 1);
        const QString text =
            DecodeText(ReadFile(dir.filePath(QStringLiteral("logs/") + logs.first()))).text;
        EXPECT_EQ(text, memo.join(QStringLiteral("\r\n")));
        EXPECT_TRUE(memo.last().contains(QStringLiteral(": Лог записан в ")));
    }

    // have.txt holds whole refusal keys of the portal's refusals, each line ended; returns them.
    QSet<QString> CheckHaveFile(const QTemporaryDir& dir, const PortalDataSet& data) {
        QSet<QString> expected;
        for (const ContractRecord& contract : data.contracts) {
            for (const replica::RefusalDocument& document : contract.documents) {
                expected.insert(portalReplica_.url() + PortalImitation::kRejectPath +
                                QLatin1Char('?') + contract.rejectQuery + QLatin1Char('#') +
                                document.signedAt);
            }
        }
        const QString path = dir.filePath(QStringLiteral("have.txt"));
        if (!QFile::exists(path)) {
            return {};
        }
        const QString text = DecodeText(ReadFile(path)).text;
        EXPECT_TRUE(text.isEmpty() || text.endsWith(QStringLiteral("\r\n")));
        const QStringList lines = SplitLines(text);
        const QSet<QString> keys(lines.begin(), lines.end());
        EXPECT_EQ(keys.size(), lines.size()) << "a key is in have.txt twice";
        for (const QString& key : lines) {
            EXPECT_TRUE(expected.contains(key)) << key.toStdString();
        }
        return keys;
    }

    // The CSV file, when one is kept: the header and whole rows, one per refusal recorded in
    // have.txt at most; a run that was left alone wrote a row for every refusal.
    void CheckCsvFile(const QTemporaryDir& dir, const PortalDataSet& data,
                      const QSet<QString>& keys, Ending ending) {
        QSet<QString> refused;
        QSet<QString> refusalKeys;  // two documents signed in the same minute are one refusal
        for (const ContractRecord& contract : data.contracts) {
            for (const replica::RefusalDocument& document : contract.documents) {
                if (!document.title.contains(QStringLiteral("об отмене"))) {
                    refused.insert(QLatin1Char('\'') + contract.registryId);
                    refusalKeys.insert(contract.rejectQuery + QLatin1Char('#') + document.signedAt);
                }
            }
        }
        const qsizetype refusals = refusalKeys.size();
        const QStringList files =
            QDir(dir.path()).entryList({QStringLiteral("*.csv")}, QDir::Files);
        ASSERT_LE(files.size(), 1);
        if (ending == Ending::Finished && refusals > 0) {
            ASSERT_EQ(files.size(), 1);
        }
        if (files.isEmpty()) {
            return;
        }
        const QByteArray bytes = ReadFile(dir.filePath(files.first()));
        ASSERT_TRUE(bytes.startsWith("\xEF\xBB\xBF\"Дата уведомления\";"));
        ASSERT_TRUE(bytes.endsWith("\r\n"));
        QStringList lines = QString::fromUtf8(bytes.mid(3)).split(QStringLiteral("\r\n"));
        lines.removeLast();
        const qsizetype rows = lines.size() - 1;
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QStringList fields =
                lines[i].mid(1, lines[i].size() - 2).split(QStringLiteral("\";\""));
            ASSERT_EQ(fields.size(), 11) << lines[i].toStdString();
            EXPECT_TRUE(refused.contains(fields[2])) << lines[i].toStdString();
        }
        EXPECT_LE(rows, keys.size());
        if (ending == Ending::Finished) {
            EXPECT_EQ(rows, refusals);
        }
    }

    ScopedTiming timing_;
    PortalImitation portal_;
    std::mutex randomMutex_;
    std::mt19937 serverRandom_;
    PortalReplica portalReplica_;
    TelegramImitation bot_;
    PortalReplica botReplica_;
    int endings_[3] = {0, 0, 0};
};

TEST_F(RunStressTest, RunsEndWholeWhateverTheOperatorDoesAndWhen) {
    const quint64 runs = EnvNumber("QUORVANE_STRESS_RUNS", 200);
    const quint64 seed = EnvNumber("QUORVANE_STRESS_SEED", std::random_device{}());
    std::cout << "QUORVANE_STRESS_SEED=" << seed << " QUORVANE_STRESS_RUNS=" << runs << std::endl;
    for (quint64 i = 0; i < runs; ++i) {
        // Each run has a seed of its own, so one run can be replayed alone.
        std::mt19937 random(static_cast<std::mt19937::result_type>(seed + i));
        SCOPED_TRACE("run " + std::to_string(i) + " of seed " + std::to_string(seed));
        StressOneRun(random);
        if (HasFatalFailure()) {
            return;
        }
    }
    std::cout << "finished " << endings_[0] << ", stopped " << endings_[1] << ", closed "
              << endings_[2] << std::endl;
}

}  // namespace
