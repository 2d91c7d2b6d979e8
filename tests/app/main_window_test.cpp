// The main window without a run: defaults, saved settings, layout and the small handlers.
#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTextCursor>
#include <QTimer>
#include <QtTest>

#include <cstdio>

#include "app/ConsoleRunReport.h"
#include "app/DatePicker.h"
#include "app/MainWindow.h"
#include "support/TestSupport.h"
#include "text/StampedLine.h"

namespace {

const QDate kToday(2026, 12, 8);

}  // namespace

class MainWindowTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir_;

    MainWindowOptions Options() const {
        MainWindowOptions options;
        options.programDir = dir_.path();
        options.workDir = dir_.path();
        options.today = kToday;
        return options;
    }
    QString SettingsPath() const { return dir_.filePath(QStringLiteral("settings.ini")); }

private slots:
    void init() {
        QFile::remove(SettingsPath());
        QFile::remove(dir_.filePath(QStringLiteral("proxy.txt")));
    }

    void defaultsAtCreationFollowToday() {
        MainWindow form(Options());
        QCOMPARE(form.contractFromPicker->pickedDate(), QDate(2025, 1, 1));
        QCOMPARE(form.contractToPicker->pickedDate(), kToday);
        QCOMPARE(form.refusalFromPicker->pickedDate(), kToday);
        QCOMPARE(form.refusalToPicker->pickedDate(), kToday);
        // Setting the refusal dates at creation is not the operator's change.
        QVERIFY(!form.refusalFilterBox->isChecked());
        QVERIFY(!form.testExportBox->isChecked());
        QCOMPARE(form.logView->toPlainText(),
                 QStringLiteral("Спасибо, что пользуетесь парсером от сервиса Pelorant!"));
        QVERIFY(form.resultsView->toPlainText().isEmpty());
        QVERIFY(!form.resumeTimer->isActive());
        QVERIFY(!form.restartTimer->isActive());
        QVERIFY(form.Watch().Idle());
    }

    void withoutSettingsFileTheDefaultsShow() {
        MainWindow form(Options());
        form.restartBox->setChecked(true);
        form.proxyBox->setChecked(true);
        form.threadCountEdit->setValue(5);
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QVERIFY(!form.restartBox->isChecked());
        QVERIFY(!form.proxyBox->isChecked());
        QCOMPARE(form.threadCountEdit->value(), 30);
        QCOMPARE(form.focusWidget(), form.startButton);

        // The arrows move the count by ten, past any bound a spin box usually has.
        form.threadCountEdit->setFocus();
        QTest::keyClick(form.threadCountEdit, Qt::Key_Up);
        QCOMPARE(form.threadCountEdit->value(), 40);
        form.threadCountEdit->setValue(0);
        QTest::keyClick(form.threadCountEdit, Qt::Key_Down);
        QCOMPARE(form.threadCountEdit->value(), -10);
        form.threadCountEdit->setValue(100000);
        QTest::keyClick(form.threadCountEdit, Qt::Key_Up);
        QCOMPARE(form.threadCountEdit->value(), 100010);
        // Nothing was written by showing.
        QVERIFY(!QFile::exists(SettingsPath()));
    }

    void settingsAreSavedInOrderAndLoadedOnEveryShow() {
        WriteFile(SettingsPath(),
                  "; the operator's notes\r\n"
                  "[Settings]\r\n"
                  "BotToken=123:abc\r\n"
                  "TgUserId=42\r\n"
                  "\r\n"
                  "[Other]\r\n"
                  "Limit=7\r\n");
        {
            MainWindow form(Options());
            form.show();
            QVERIFY(QTest::qWaitForWindowExposed(&form));
            form.restartBox->setChecked(true);
            form.proxyBox->setChecked(true);
            form.threadCountEdit->setValue(70);
            form.close();
        }
        const QString text = QString::fromLatin1(ReadFile(SettingsPath()));
        QVERIFY(
            text.startsWith(QStringLiteral("; the operator's notes\r\n[Settings]\r\n"
                                           "BotToken=123:abc\r\nTgUserId=42\r\n")));
        const qsizetype restart = text.indexOf(QStringLiteral("Restart=1"));
        const qsizetype limit = text.indexOf(QStringLiteral("Limit=70"));
        const qsizetype proxy = text.indexOf(QStringLiteral("Proxy=1"));
        QVERIFY(restart > 0);
        QVERIFY(limit > restart);
        QVERIFY(proxy > limit);
        // The keys go into their own section; the other section keeps its value.
        QVERIFY(proxy < text.indexOf(QStringLiteral("[Other]")));
        QVERIFY(text.contains(QStringLiteral("[Other]\r\nLimit=7")));

        MainWindow form(Options());
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QVERIFY(form.restartBox->isChecked());
        QVERIFY(form.proxyBox->isChecked());
        QCOMPARE(form.threadCountEdit->value(), 70);

        // Changes that were not followed by a close are replaced when the window is shown again.
        form.restartBox->setChecked(false);
        form.proxyBox->setChecked(false);
        form.threadCountEdit->setValue(3);
        form.hide();
        form.show();
        QVERIFY(form.restartBox->isChecked());
        QVERIFY(form.proxyBox->isChecked());
        QCOMPARE(form.threadCountEdit->value(), 70);
    }

    void testExportClickedTwiceLeavesTheFixedMonth() {
        MainWindow form(Options());
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QTest::mouseClick(form.testExportBox, Qt::LeftButton);
        QVERIFY(form.testExportBox->isChecked());
        QCOMPARE(form.contractFromPicker->pickedDate(), QDate(2026, 1, 1));
        QCOMPARE(form.contractToPicker->pickedDate(), QDate(2026, 2, 1));

        form.contractFromPicker->setPickedDate(QDate(2024, 5, 5));
        QTest::mouseClick(form.testExportBox, Qt::LeftButton);
        QVERIFY(!form.testExportBox->isChecked());
        QCOMPARE(form.contractFromPicker->pickedDate(), QDate(2026, 1, 1));
        QCOMPARE(form.contractToPicker->pickedDate(), QDate(2026, 2, 1));
        QVERIFY(!form.refusalFilterBox->isChecked());
    }

    void changingARefusalDateTicksTheFilter_data() {
        QTest::addColumn<QString>("picker");
        QTest::newRow("from") << QStringLiteral("refusalFromPicker");
        QTest::newRow("to") << QStringLiteral("refusalToPicker");
    }

    void changingARefusalDateTicksTheFilter() {
        QFETCH(QString, picker);
        MainWindow form(Options());
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        auto* edit = form.findChild<DatePicker*>(picker);
        QVERIFY(edit);
        edit->setFocus();
        QTest::keyClick(edit, Qt::Key_Up);
        QVERIFY(edit->pickedDate() != kToday);
        QVERIFY(form.refusalFilterBox->isChecked());

        // The operator may clear it again; another date change ticks it again.
        form.refusalFilterBox->setChecked(false);
        QTest::keyClick(edit, Qt::Key_Down);
        QVERIFY(form.refusalFilterBox->isChecked());
    }

    void ctrlASelectsAllOfATextView_data() {
        QTest::addColumn<QString>("view");
        QTest::newRow("log") << QStringLiteral("logView");
        QTest::newRow("results") << QStringLiteral("resultsView");
    }

    void ctrlASelectsAllOfATextView() {
        QFETCH(QString, view);
        MainWindow form(Options());
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        auto* edit = form.findChild<QPlainTextEdit*>(view);
        QVERIFY(edit);
        edit->setPlainText(QStringLiteral("первая строка\nвторая строка\nтретья"));
        edit->moveCursor(QTextCursor::Start);
        edit->setFocus();
        QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
        QCOMPARE(edit->textCursor().selectedText().replace(QChar::ParagraphSeparator, u'\n'),
                 edit->toPlainText());
        // Plain typing still types.
        edit->moveCursor(QTextCursor::End);
        QTest::keyClick(edit, Qt::Key_A);
        QVERIFY(edit->toPlainText().endsWith(QStringLiteral("третьяa")));
    }

    void growingTheWindowGrowsOnlyTheResults() {
        MainWindow form(Options());
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QCOMPARE(form.size(), QSize(886, 502));
        QCOMPARE(form.resultsView->geometry(), QRect(8, 98, 870, 127));
        QCOMPARE(form.logView->geometry(), QRect(8, 246, 870, 233));
        QCOMPARE(form.progressBar->geometry(), QRect(0, 485, 886, 17));

        form.resize(1086, 702);
        QTRY_COMPARE(form.size(), QSize(1086, 702));
        QCOMPARE(form.resultsView->geometry(), QRect(8, 98, 1070, 327));
        QCOMPARE(form.logView->geometry(), QRect(8, 446, 1070, 233));
        QCOMPARE(form.progressBar->geometry(), QRect(0, 685, 1086, 17));
        // The log heading stays above its view instead of ending up inside the results.
        QVERIFY(form.logLabel->geometry().bottom() < form.logView->y());
        QVERIFY(form.logLabel->y() > form.resultsView->geometry().bottom());
        QCOMPARE(form.testExportBox->geometry(), QRect(953, 75, 125, 17));
        // Controls without anchors stay where they were.
        QCOMPARE(form.startButton->geometry(), QRect(8, 8, 169, 37));
    }

    void proxyUseWithoutProxyFileStartsNothing() {
        MainWindow form(Options());
        form.show();
        form.proxyBox->setChecked(true);
        const QString proxyFile = dir_.filePath(QStringLiteral("proxy.txt"));
        const QString line = QStringLiteral(
            ": файл proxy.txt пустой, задайте в него прокси в формате "
            "ip:port:login:password");

        QTest::mouseClick(form.startButton, Qt::LeftButton);
        QVERIFY(form.Watch().Idle());
        QVERIFY(QFile::exists(proxyFile));
        QCOMPARE(QFileInfo(proxyFile).size(), 0);
        QStringList log = form.logView->toPlainText().split(u'\n');
        QCOMPARE(log.size(), 2);
        QVERIFY(log[1].endsWith(line));
        QVERIFY(log[1].size() > line.size());  // stamped

        // The file now exists but is empty: the same line, still no run.
        QTest::mouseClick(form.startButton, Qt::LeftButton);
        QVERIFY(form.Watch().Idle());
        log = form.logView->toPlainText().split(u'\n');
        QCOMPARE(log.size(), 3);
        QVERIFY(log[2].endsWith(line));
        QVERIFY(!form.trayIcon->isVisible());
    }

    void bothFacesWriteTheSameProxyLine() {
        const QString text = QStringLiteral(
            "файл proxy.txt пустой, задайте в него прокси в формате ip:port:login:password");
        const QDateTime before = QDateTime::currentDateTime();
        MainWindow form(Options());
        form.proxyBox->setChecked(true);
        form.StartRun();
        const QString windowLine = form.logView->toPlainText().split(u'\n').last();

        std::FILE* out = std::tmpfile();
        QVERIFY(out);
        QString recorded;
        {
            ConsoleRunReport report(out);
            RunWatch headless(report, [this] {
                RunChoice choice;
                choice.useProxy = true;
                choice.programDir = dir_.path();
                return choice;
            });
            int refused = 0;
            connect(&headless, &RunWatch::startRefused, [&refused] { ++refused; });
            QVERIFY(!headless.Start());
            QCOMPARE(refused, 1);  // the headless face exits with 2 on it
            recorded = report.log().value(0);
        }
        std::rewind(out);
        char buffer[512] = {};
        const size_t size = std::fread(buffer, 1, sizeof buffer - 1, out);
        std::fclose(out);
        const QString echoed = QString::fromUtf8(buffer, static_cast<qsizetype>(size));

        // The stamp of today's line, then the text, byte for byte.
        const auto stamped = [&](const QString& line) {
            return line == StampedLine(text, before) || line == StampedLine(text);
        };
        QVERIFY2(stamped(windowLine), qPrintable(windowLine));
        QVERIFY2(stamped(recorded), qPrintable(recorded));
        QCOMPARE(echoed, recorded + u'\n');
    }

    void runButtonsWithoutARunDoNothing() {
        MainWindow form(Options());
        form.show();
        const QString before = form.logView->toPlainText();
        form.restartTimer->start();
        form.resumeTimer->start();
        QTest::mouseClick(form.pauseButton, Qt::LeftButton);
        QVERIFY(form.restartTimer->isActive());
        QTest::mouseClick(form.stopButton, Qt::LeftButton);
        // Stop still cancels a pending restart; the resume timer switches itself off.
        QVERIFY(!form.restartTimer->isActive());
        form.Watch().ResumeAfterPause();
        QVERIFY(!form.resumeTimer->isActive());
        QCOMPARE(form.logView->toPlainText(), before);
    }

    void progressAndCountersStayReadable() {
        MainWindow form(Options());
        form.show();
        // An empty range shows an empty bar, not a busy animation.
        form.ProgressChanged(0, 0);
        QVERIFY(form.progressBar->maximum() > form.progressBar->minimum());
        QCOMPARE(form.progressBar->value(), 0);
        QCOMPARE(form.progressBar->toolTip(), QStringLiteral("0 из 0, осталось 0"));

        // A counter label grows with its number.
        form.CountersChanged(123456789, 5);
        QCOMPARE(form.contractsFoundLabel->text(), QStringLiteral("Найдено контрактов: 123456789"));
        QVERIFY(form.contractsFoundLabel->width() >= form.contractsFoundLabel->sizeHint().width());
    }

    void tabLeavesTheTextViewsAlongTheTabOrder() {
        MainWindow form(Options());
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        form.activateWindow();
        form.logView->setFocus();
        QVERIFY(form.logView->hasFocus());
        QTest::keyClick(form.logView, Qt::Key_Tab);
        QVERIFY(form.resultsView->hasFocus());
        QTest::keyClick(form.resultsView, Qt::Key_Tab);
        QVERIFY(form.restartBox->hasFocus());
        QTest::keyClick(form.restartBox, Qt::Key_Backtab);
        QVERIFY(form.resultsView->hasFocus());
        // Nothing was typed into either view.
        QVERIFY(!form.logView->toPlainText().contains(u'\t'));
        QVERIFY(form.resultsView->toPlainText().isEmpty());
    }

    void theSavedLogHoldsTheLogViewsLinesExactly() {
        MainWindow form(Options());
        const QString text = QStringLiteral("1\u00A0234\u00A0567,89 руб.\u202Fи\tтаб");
        form.WriteLog(text);
        form.RunIdle({false, dir_.filePath(QStringLiteral("logs")), {}});
        const QStringList logs = QDir(dir_.filePath(QStringLiteral("logs"))).entryList(QDir::Files);
        QCOMPARE(logs.size(), 1);
        const QString saved =
            QString::fromUtf8(ReadFile(dir_.filePath(QStringLiteral("logs/")) + logs.first()));
        const QStringList lines = saved.split(QStringLiteral("\r\n"));
        QCOMPARE(lines.size(), 3);
        QVERIFY(lines[1].endsWith(QStringLiteral(": ") + text));
        QVERIFY(QDir(dir_.filePath(QStringLiteral("logs"))).removeRecursively());
    }

    void proxyFileWithoutAProxyLineStartsNothing() {
        WriteFile(dir_.filePath(QStringLiteral("proxy.txt")), "127.0.0.1:3128\r\nnot a proxy\r\n");
        MainWindow form(Options());
        form.show();
        form.proxyBox->setChecked(true);
        QTest::mouseClick(form.startButton, Qt::LeftButton);
        QVERIFY(form.Watch().Idle());
        QVERIFY(form.logView->toPlainText().endsWith(
            QStringLiteral(": файл proxy.txt пустой, задайте в него прокси в формате "
                           "ip:port:login:password")));
    }
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
