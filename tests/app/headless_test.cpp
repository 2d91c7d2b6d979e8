// The headless face as it is run: the real program (or the same program with scaled timing) as
// a child process without a display, against the portal imitation; its output, exit code and
// files, stops by SIGTERM, the file layouts (with the start-up line of a missing StartURL.txt),
// and what a watch tells a service manager.
#include <signal.h>

#include <QDir>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>
#include <atomic>
#include <memory>

#include "NotifySocket.h"
#include "PortalImitation.h"
#include "PortalReplica.h"
#include "app/DatePicker.h"
#include "app/MainWindow.h"
#include "store/NoticeQueue.h"
#include "support/TestSupport.h"

using replica::PortalImitation;

namespace {

constexpr int kWaitMs = 60000;
const QStringList kJanuary = {QStringLiteral("--contract-from"), QStringLiteral("04.01.2026"),
                              QStringLiteral("--contract-to"), QStringLiteral("31.01.2026")};

// The environment of a server: no display of any kind.
QProcessEnvironment NoDisplay() {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        env.remove(QString::fromLatin1(name));
    }
    return env;
}

// A child process whose standard output is read line by line as it comes.
class Child {
public:
    Child(const QString& program, const QStringList& args, const QString& cwd,
          const QProcessEnvironment& env = NoDisplay()) {
        process_.setProcessEnvironment(env);
        process_.setWorkingDirectory(cwd);
        process_.start(program, args);
    }
    ~Child() {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished(kWaitMs);
        }
    }

    // Waits until `count` lines of the output end with `text`.
    bool WaitForLines(const QString& text, int count = 1) {
        QElapsedTimer clock;
        clock.start();
        while (LinesEndingWith(text) < count) {
            if (clock.elapsed() > kWaitMs || process_.state() == QProcess::NotRunning) {
                return false;
            }
            process_.waitForReadyRead(100);
        }
        return true;
    }
    void Signal(int signal) { ::kill(static_cast<pid_t>(process_.processId()), signal); }
    // The exit code, or -1 when the process did not exit by itself.
    int Finish() {
        if (!process_.waitForFinished(kWaitMs) || process_.exitStatus() != QProcess::NormalExit) {
            return -1;
        }
        return process_.exitCode();
    }
    QStringList Lines() {
        output_ += QString::fromUtf8(process_.readAllStandardOutput());
        QStringList lines = output_.split(u'\n');
        lines.removeAll(QString());
        return lines;
    }
    QString Errors() { return QString::fromUtf8(process_.readAllStandardError()); }
    int LinesEndingWith(const QString& text) {
        int count = 0;
        for (const QString& line : Lines()) {
            count += line.endsWith(text) ? 1 : 0;
        }
        return count;
    }

private:
    QProcess process_;
    QString output_;
};

QStringList FilesIn(const QString& dir, const QString& pattern) {
    return QDir(dir).entryList({pattern}, QDir::Files, QDir::Name);
}

QStringList CrLfLines(const QString& path) {
    QStringList lines = QString::fromUtf8(ReadFile(path)).split(QStringLiteral("\r\n"));
    if (!lines.isEmpty() && lines.last().isEmpty()) {
        lines.removeLast();
    }
    return lines;
}

// A log line without its stamp, and with the run's own folder, log and CSV names made neutral,
// so that two runs of the same data compare equal.
QString Neutral(QString line, const QString& dir) {
    static const QRegularExpression stamp(
        QStringLiteral("^\\d+ \\w+ \\d{4} \\d\\d:\\d\\d:\\d\\d: "));
    static const QRegularExpression names(
        QStringLiteral("log-\\d+\\.txt|\\d{8} \\d\\d-\\d\\d-\\d\\d\\.csv"));
    line.remove(stamp);
    line.replace(dir, QStringLiteral("DIR"));
    line.replace(names, QStringLiteral("NAME"));
    return line;
}

// The lines of the only log file in `dir`/logs, made neutral.
QStringList NeutralLog(const QString& dir) {
    const QStringList logs = FilesIn(dir + QStringLiteral("/logs"), QStringLiteral("*.txt"));
    if (logs.size() != 1) {
        return {QStringLiteral("%1 log files").arg(logs.size())};
    }
    QStringList lines;
    for (const QString& line : CrLfLines(dir + QStringLiteral("/logs/") + logs.first())) {
        lines << Neutral(line, dir);
    }
    return lines;
}

}  // namespace

class HeadlessTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<ScopedTiming> timing_;
    std::unique_ptr<PortalImitation> portal_;
    std::unique_ptr<replica::PortalReplica> replica_;
    std::atomic<int> rejectRequests_{0};
    std::atomic<int> cardRequests_{0};
    // Requests of each kind after this many get no answer until the client leaves.
    std::atomic<int> answeredRejects_{1000};
    std::atomic<int> answeredCards_{1000};

    QString Dir(const QString& name) {
        const QString path = dir_->filePath(name);
        QDir().mkpath(path);
        return path;
    }

    // The start address of the imitation in `dir`.
    void WriteStartUrl(const QString& dir) {
        WriteFile(dir + QStringLiteral("/StartURL.txt"),
                  PortalImitation::StartUrl(replica_->url()).toUtf8() + "\r\n");
    }

    // A run without a window and with scaled timing, with all its files in `dir`.
    std::unique_ptr<Child> Headless(const QString& dir, QStringList args,
                                    const QProcessEnvironment& env = NoDisplay()) {
        WriteStartUrl(dir);
        args = QStringList{QStringLiteral("--headless"), QStringLiteral("--dir"), dir} + args +
               kJanuary;
        return std::make_unique<Child>(QStringLiteral(QUORVANE_PROBE), args, dir, env);
    }

    // The lines of the output a window would show in its log view, made neutral: all but the
    // greeting and the results.
    QStringList NeutralLogLines(Child& child, const QString& dir) {
        QStringList lines;
        const QStringList output = child.Lines();
        for (qsizetype i = 1; i < output.size(); ++i) {
            if (!output[i].contains(PortalImitation::kCardPath)) {
                lines << Neutral(output[i], dir);
            }
        }
        return lines;
    }

    void CheckHaveKeys(const QString& dir, int count) {
        const QStringList keys = CrLfLines(dir + QStringLiteral("/have.txt"));
        QCOMPARE(keys.size(), count);
        for (const QString& key : keys) {
            QVERIFY2(key.contains(PortalImitation::kRejectPath) && key.contains(u'#'),
                     qPrintable(key));
        }
    }

private slots:
    void init() {
        dir_ = std::make_unique<QTemporaryDir>();
        QVERIFY(dir_->isValid());
        timing_ = std::make_unique<ScopedTiming>(ScopedTiming::Scaled(20));
        using namespace replica;
        portal_ = std::make_unique<PortalImitation>(ThreeRefusals());
        rejectRequests_ = 0;
        cardRequests_ = 0;
        answeredRejects_ = 1000;
        answeredCards_ = 1000;
        replica_ = std::make_unique<PortalReplica>();
        replica_->setHandler([this](const replica::Request& request) {
            replica::Response response = portal_->handle(request);
            if (request.path() == PortalImitation::kRejectPath &&
                ++rejectRequests_ > answeredRejects_) {
                response.silent = true;
            }
            if (request.path() == PortalImitation::kCardPath && ++cardRequests_ > answeredCards_) {
                response.silent = true;
            }
            return response;
        });
    }

    void cleanup() {
        replica_.reset();
        timing_.reset();
        dir_.reset();
    }

    // The same data gives the same CSV rows, have.txt and log lines as the window's run, and
    // the output holds every line of the log file and of the results, as they are.
    void onceRunDoesWhatTheWindowsRunDoes() {
        const QString windowDir = Dir(QStringLiteral("window"));
        WriteStartUrl(windowDir);
        {
            MainWindowOptions options;
            options.programDir = windowDir;
            options.workDir = windowDir;
            options.mutexName =
                QStringLiteral("QuorvaneHeadlessTest-") + QUuid::createUuid().toString();
            MainWindow form(options);
            form.show();
            form.contractFromPicker->setPickedDate(QDate(2026, 1, 4));
            form.contractToPicker->setPickedDate(QDate(2026, 1, 31));
            QTest::mouseClick(form.startButton, Qt::LeftButton);
            QVERIFY(WaitFor([&] { return form.Watch().Idle(); }, kWaitMs));
        }

        const QString dir = Dir(QStringLiteral("headless"));
        auto child = Headless(dir, {QStringLiteral("--once")});
        QCOMPARE(child->Finish(), 0);

        const QStringList log = NeutralLog(dir);
        QVERIFY2(log.contains(QStringLiteral("Сбор данных завершен")), qPrintable(log.join('\n')));
        QCOMPARE(log, NeutralLog(windowDir));
        QCOMPARE(NeutralLogLines(*child, dir), log);
        QCOMPARE(child->Lines().first(),
                 QStringLiteral("Спасибо, что пользуетесь парсером от сервиса Pelorant!"));
        QCOMPARE(child->LinesEndingWith(QStringLiteral("?reestrNumber=2770100000126000011")), 2);
        QCOMPARE(child->LinesEndingWith(QStringLiteral("?reestrNumber=2770100000126000022")), 1);

        const QStringList csv = FilesIn(dir, QStringLiteral("*.csv"));
        const QStringList windowCsv = FilesIn(windowDir, QStringLiteral("*.csv"));
        QCOMPARE(csv.size(), 1);
        QCOMPARE(windowCsv.size(), 1);
        const QStringList rows = CrLfLines(dir + u'/' + csv.first());
        QCOMPARE(rows.size(), 4);
        QCOMPARE(rows, CrLfLines(windowDir + u'/' + windowCsv.first()));
        CheckHaveKeys(dir, 3);
        QCOMPARE(ReadFile(dir + QStringLiteral("/have.txt")),
                 ReadFile(windowDir + QStringLiteral("/have.txt")));
    }

    // A watch starts its next run after the restart delay; that run finds nothing new; SIGTERM
    // between runs ends it at once with 0.
    void watchRestartsUntilStopped() {
        const QString dir = Dir(QStringLiteral("watch"));
        auto child = Headless(dir, {});
        QVERIFY(child->WaitForLines(QStringLiteral(": Запуск"), 2));
        QVERIFY(
            child->WaitForLines(QStringLiteral("Повторная выгрузка начнётся через 1 секунд"), 2));
        child->Signal(SIGTERM);
        QCOMPARE(child->Finish(), 0);
        QCOMPARE(child->LinesEndingWith(QStringLiteral("?reestrNumber=2770100000126000011")), 2);
        QCOMPARE(FilesIn(dir, QStringLiteral("*.csv")).size(), 1);
        QVERIFY(FilesIn(dir + QStringLiteral("/logs"), QStringLiteral("*.txt")).size() >= 2);
        CheckHaveKeys(dir, 3);
    }

    // Under a service manager a watch reports ready at its first run, a status line after each
    // run with that run's refusals and the notices still queued, its stop, and pings the
    // watchdog while its loop turns.
    void watchTellsTheServiceManager() {
        const QString dir = Dir(QStringLiteral("service"));
        // Without a Telegram user a notice left by an earlier run stays queued.
        QueuedNotice left;
        left.key = QStringLiteral("a#1");
        left.signedAt = QStringLiteral("01.01.2026");
        left.cardUrl = QStringLiteral("a");
        left.detectedUtc = QDateTime::currentDateTimeUtc();
        NoticeQueue(dir).Add(left, {QStringLiteral("42")});
        NotifySocket manager(dir + QStringLiteral("/notify"));
        QVERIFY(manager.Bound());
        QProcessEnvironment env = NoDisplay();
        env.insert(QStringLiteral("NOTIFY_SOCKET"), dir + QStringLiteral("/notify"));
        env.insert(QStringLiteral("WATCHDOG_USEC"), QStringLiteral("200000"));
        env.remove(QStringLiteral("WATCHDOG_PID"));
        auto child = Headless(dir, {}, env);
        const auto ended = [&] {
            return manager.Messages().filter(QStringLiteral("STATUS=Выгрузка завершена "));
        };
        // Two runs have ended and the loop still turns.
        QVERIFY(WaitFor(
            [&] {
                return ended().size() >= 2 &&
                       manager.Messages().last() == QStringLiteral("WATCHDOG=1");
            },
            kWaitMs));
        child->Signal(SIGTERM);
        QCOMPARE(child->Finish(), 0);

        const QStringList messages = manager.Messages();
        QVERIFY2(messages.first().startsWith(QStringLiteral("READY=1\nSTATUS=Первая выгрузка")),
                 qPrintable(messages.first()));
        QCOMPARE(messages.filter(QStringLiteral("READY=1")).size(), 1);
        // Three refusals in the first run, none new in the second.
        QVERIFY2(
            ended()[0].endsWith(QStringLiteral(": найдено отказов 3, уведомлений ждут отправки 1")),
            qPrintable(ended()[0]));
        QVERIFY2(
            ended()[1].endsWith(QStringLiteral(": найдено отказов 0, уведомлений ждут отправки 1")),
            qPrintable(ended()[1]));
        QVERIFY(messages.indexOf(QStringLiteral("STOPPING=1")) > messages.indexOf(ended()[1]));
    }

    // SIGTERM while a refusal page or a card hangs: the run ends like a stop, its last lines and
    // log file are written, the CSV file keeps its whole rows, and the process exits with 0.
    void sigtermStopsTheRun_data() {
        QTest::addColumn<bool>("inCardPhase");
        QTest::newRow("listing phase") << false;
        QTest::newRow("card phase") << true;
    }
    void sigtermStopsTheRun() {
        QFETCH(bool, inCardPhase);
        (inCardPhase ? answeredCards_ : answeredRejects_) = 1;
        const QString dir = Dir(QStringLiteral("stop"));
        auto child = Headless(dir, {QStringLiteral("--once")});
        QVERIFY(
            WaitFor([&] { return (inCardPhase ? cardRequests_ : rejectRequests_) >= 2; }, kWaitMs));
        child->Signal(SIGTERM);
        QCOMPARE(child->Finish(), 0);

        const QStringList lines = child->Lines();
        QVERIFY(lines.last().contains(QStringLiteral(": Лог записан в ") + dir));
        QVERIFY(child->LinesEndingWith(QStringLiteral(": Останавливаем работу")) == 1);
        QCOMPARE(child->LinesEndingWith(QStringLiteral(": Сбор данных завершен")), 0);
        QCOMPARE(NeutralLogLines(*child, dir), NeutralLog(dir));
        const QStringList csv = FilesIn(dir, QStringLiteral("*.csv"));
        if (inCardPhase) {
            QCOMPARE(csv.size(), 1);
            const QStringList rows = CrLfLines(dir + u'/' + csv.first());
            QCOMPARE(rows.size(), 2);
            QVERIFY(ReadFile(dir + u'/' + csv.first()).endsWith("\"\r\n"));
            CheckHaveKeys(dir, 3);
        } else {
            QVERIFY(csv.isEmpty());
        }
    }

    // Where the files go: beside a program in a writable folder (StartURL.txt and have.txt in
    // the current folder), in the per-user folder for a program in an installed prefix.
    void layoutsPutTheFilesWhereTheReadmeSays() {
        const QString work = Dir(QStringLiteral("work"));
        const QString portable = Dir(QStringLiteral("portable"));
        const QString prefix = Dir(QStringLiteral("root/usr"));
        const QString home = Dir(QStringLiteral("home"));
        QVERIFY(QFile::copy(QStringLiteral(QUORVANE_BIN), portable + QStringLiteral("/quorvane")));
        Dir(QStringLiteral("root/usr/bin"));
        QVERIFY(
            QFile::copy(QStringLiteral(QUORVANE_BIN), prefix + QStringLiteral("/bin/quorvane")));
        WriteFile(prefix + QStringLiteral("/share/applications/quorvane.desktop"),
                  "[Desktop Entry]\n");

        QProcessEnvironment env = NoDisplay();
        env.insert(QStringLiteral("HOME"), home);
        env.remove(QStringLiteral("XDG_DATA_HOME"));
        const QString userDir = home + QStringLiteral("/.local/share/quorvane");
        const QString xdgDir = dir_->filePath(QStringLiteral("xdg/quorvane"));
        QProcessEnvironment xdgEnv = env;
        xdgEnv.insert(QStringLiteral("XDG_DATA_HOME"), dir_->filePath(QStringLiteral("xdg")));
        struct Case {
            QString program;
            QProcessEnvironment env;
            QString startUrlDir;
            QString logsDir;
        };
        const QList<Case> cases = {
            {portable + QStringLiteral("/quorvane"), env, work, portable},
            {prefix + QStringLiteral("/bin/quorvane"), env, userDir, userDir},
            {prefix + QStringLiteral("/bin/quorvane"), xdgEnv, xdgDir, xdgDir},
        };
        for (const Case& c : cases) {
            Child help(c.program, {QStringLiteral("--help")}, work, c.env);
            QCOMPARE(help.Finish(), 0);
            QVERIFY2(help.Lines().join(u'\n').contains(c.logsDir), qPrintable(c.program));

            Child run(c.program, {QStringLiteral("--headless"), QStringLiteral("--once")}, work,
                      c.env);
            QCOMPARE(run.Finish(), 2);
            QCOMPARE(run.LinesEndingWith(QStringLiteral("(начинается с https://)")), 1);
            QVERIFY2(run.Lines().join(u'\n').contains(c.startUrlDir + "/StartURL.txt"),
                     qPrintable(run.Lines().join(u'\n')));
            QCOMPARE(FilesIn(c.logsDir + QStringLiteral("/logs"), QStringLiteral("*.txt")).size(),
                     1);
        }
        QVERIFY(!QDir(work + QStringLiteral("/logs")).exists());
    }

    // A wrong option or date: one line on stderr and 2, before any display is needed.
    void badUsageExitsWithTwo_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("error");
        QTest::newRow("date") << QStringList{"--headless", "--contract-from", "31.02.2026"}
                              << QStringLiteral("31.02.2026");
        QTest::newRow("threads") << QStringList{"--headless", "--threads", "0"}
                                 << QStringLiteral("--threads");
        QTest::newRow("unknown") << QStringList{"--headless", "--fast"} << QStringLiteral("--fast");
        QTest::newRow("window") << QStringList{"--once"} << QStringLiteral("--headless");
    }
    void badUsageExitsWithTwo() {
        QFETCH(QStringList, args);
        QFETCH(QString, error);
        Child child(QStringLiteral(QUORVANE_BIN), args, dir_->path());
        QCOMPARE(child.Finish(), 2);
        QVERIFY(child.Lines().isEmpty());
        const QStringList errors = child.Errors().split(u'\n', Qt::SkipEmptyParts);
        QCOMPARE(errors.size(), 1);
        QVERIFY2(errors.first().contains(error), qPrintable(errors.first()));
    }
};

QTEST_MAIN(HeadlessTest)
#include "headless_test.moc"
