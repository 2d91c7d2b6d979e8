// The command line: what each option sets, and the one line a wrong command line is told with.
#include <QtTest>

#include "app/CommandLine.h"

namespace {

// Every field of a parsed command line in one line, so that a row compares it whole.
QString Fields(const CommandLine& line) {
    QStringList fields;
    const auto flag = [&](bool set, const char* name) {
        if (set) {
            fields << QLatin1String(name);
        }
    };
    const auto date = [&](const QDate& value, const char* name) {
        if (value.isValid()) {
            fields << QLatin1String(name) + u'=' + value.toString(QStringLiteral("dd.MM.yyyy"));
        }
    };
    flag(line.headless, "headless");
    flag(line.once, "once");
    flag(line.help, "help");
    flag(line.version, "version");
    date(line.contractFrom, "contract-from");
    date(line.contractTo, "contract-to");
    date(line.refusalFrom, "refusal-from");
    date(line.refusalTo, "refusal-to");
    if (line.threads) {
        fields << QStringLiteral("threads=%1").arg(*line.threads);
    }
    if (line.proxy) {
        fields << (*line.proxy ? QStringLiteral("proxy") : QStringLiteral("no-proxy"));
    }
    if (!line.dir.isNull()) {
        fields << QStringLiteral("dir=") + line.dir;
    }
    return fields.join(u' ');
}

QString Unknown(const QString& arg) {
    return QStringLiteral("Неизвестный параметр: %1 (список параметров: quorvane --help)").arg(arg);
}

QString NoValue(const QString& name) {
    return QStringLiteral("Параметр %1 не принимает значения").arg(name);
}

QString BadThreads(const QString& value) {
    return QStringLiteral("Неверное число потоков в --threads: \"%1\", нужно целое число от 1")
        .arg(value);
}

}  // namespace

class CommandLineTest : public QObject {
    Q_OBJECT

private slots:
    void readsTheOptions_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("fields");
        QTest::newRow("window in a folder") << QStringList{"--dir", "/srv/q"} << "dir=/srv/q";
        QTest::newRow("every headless option")
            << QStringList{"--headless",    "--once",      "--contract-from=01.02.2026",
                           "--contract-to", "28.02.2026",  "--refusal-to",
                           "10.02.2026",    "--threads",   "5",
                           "--no-proxy",    "--dir=/srv/q"}
            << "headless once contract-from=01.02.2026 contract-to=28.02.2026 "
               "refusal-to=10.02.2026 threads=5 no-proxy dir=/srv/q";
        QTest::newRow("the last value wins")
            << QStringList{"--headless", "--threads", "3",     "--threads=7",
                           "--dir",      "a",         "--dir", "b"}
            << "headless threads=7 dir=b";
        // A value is the next argument whatever it looks like.
        QTest::newRow("a value like an option")
            << QStringList{"--headless", "--dir", "--once", "--proxy"}
            << "headless proxy dir=--once";
        QTest::newRow("a value with an equals sign")
            << QStringList{"--headless", "--dir=a=b"} << "headless dir=a=b";
        QTest::newRow("short help") << QStringList{"-h"} << "help";
        // Help and version need no --headless for the run's options beside them.
        QTest::newRow("help beside run options")
            << QStringList{"--help", "--once", "--threads", "2"} << "once help threads=2";
    }
    void readsTheOptions() {
        QFETCH(QStringList, args);
        QFETCH(QString, fields);
        CommandLine line;
        QString error;
        QVERIFY2(CommandLine::Parse(args, &line, &error), qPrintable(error));
        QCOMPARE(Fields(line), fields);
    }

    void tellsWhatIsWrong_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("error");
        QTest::newRow("a word") << QStringList{"--headless", "fast"} << Unknown("fast");
        // Only --name and -h are options; other spellings of them are not.
        QTest::newRow("one dash") << QStringList{"--headless", "-once"} << Unknown("-once");
        QTest::newRow("two dashes, short") << QStringList{"--h"} << Unknown("--h");
        QTest::newRow("short twice") << QStringList{"-hh"} << Unknown("-hh");
        QTest::newRow("short with a value") << QStringList{"-h=1"} << Unknown("-h=1");
        QTest::newRow("a lone dash") << QStringList{"-"} << Unknown("-");
        QTest::newRow("two lone dashes") << QStringList{"--", "--help"} << Unknown("--");
        QTest::newRow("unknown with a value") << QStringList{"--fast=1"} << NoValue("--fast");
        QTest::newRow("flag with a value") << QStringList{"--once=yes"} << NoValue("--once");
        QTest::newRow("no name") << QStringList{"--=x"} << NoValue("--");
        QTest::newRow("no value at the end") << QStringList{"--headless", "--threads"}
                                             << QStringLiteral("После --threads нужно значение");
        QTest::newRow("empty folder")
            << QStringList{"--dir="} << QStringLiteral("После --dir нужна папка");
        QTest::newRow("empty threads") << QStringList{"--headless", "--threads="} << BadThreads("");
        QTest::newRow("no threads")
            << QStringList{"--headless", "--threads", "0"} << BadThreads("0");
        QTest::newRow("threads not a number")
            << QStringList{"--headless", "--threads", "2x"} << BadThreads("2x");
        QTest::newRow("no such date")
            << QStringList{"--headless", "--contract-from", "31.02.2026"}
            << QStringLiteral(
                   "Неверная дата в --contract-from: \"31.02.2026\", нужна дата вида ДД.ММ.ГГГГ");
        // The first wrong argument, left to right, is the one told.
        QTest::newRow("bad value before unknown")
            << QStringList{"--headless", "--threads", "0", "--fast"} << BadThreads("0");
        QTest::newRow("unknown before bad value")
            << QStringList{"--headless", "--fast", "--threads", "0"} << Unknown("--fast");
        QTest::newRow("bad value before no value")
            << QStringList{"--headless", "--threads", "0", "--dir"} << BadThreads("0");
        QTest::newRow("bad value before a good one")
            << QStringList{"--headless", "--threads", "x", "--threads", "5"} << BadThreads("x");
        QTest::newRow("unknown before a bad date")
            << QStringList{"--headless", "-x", "--refusal-to", "1.1"} << Unknown("-x");
        // Checks of the whole line come after every argument is read.
        QTest::newRow("proxy both ways")
            << QStringList{"--proxy", "--no-proxy"}
            << QStringLiteral("Параметры --proxy и --no-proxy исключают друг друга");
        QTest::newRow("run option in the window")
            << QStringList{"--dir", "x", "--threads", "4", "--once"}
            << QStringLiteral("Параметр --threads действует только вместе с --headless");
        QTest::newRow("contract dates reversed")
            << QStringList{"--headless", "--contract-from", "02.01.2026", "--contract-to",
                           "01.01.2026"}
            << QStringLiteral("Дата в --contract-from позже даты в --contract-to");
        QTest::newRow("refusal dates reversed")
            << QStringList{"--headless", "--refusal-to=01.01.2026", "--refusal-from=02.01.2026"}
            << QStringLiteral("Дата в --refusal-from позже даты в --refusal-to");
    }
    void tellsWhatIsWrong() {
        QFETCH(QStringList, args);
        QFETCH(QString, error);
        CommandLine line;
        line.dir = QStringLiteral("untouched");
        QString told;
        QVERIFY(!CommandLine::Parse(args, &line, &told));
        QCOMPARE(told, error);
        QCOMPARE(line.dir, QStringLiteral("untouched"));
    }
};

QTEST_MAIN(CommandLineTest)
#include "command_line_test.moc"
