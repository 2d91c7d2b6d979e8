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

#include "app/DatePicker.h"
#include "app/MainWindow.h"
#include "support/TestSupport.h"

namespace {

const QDate kToday(2026, 12, 8);

}  // namespace

class MainFormTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir_;

    TMainFormOptions Options() const {
        TMainFormOptions options;
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
        TMainForm form(Options());
        QCOMPARE(form.DatePublishedPicker->pickedDate(), QDate(2025, 1, 1));
        QCOMPARE(form.DatePublishedPicker2->pickedDate(), kToday);
        QCOMPARE(form.RejectDatePicker->pickedDate(), kToday);
        QCOMPARE(form.RejectDatePicker2->pickedDate(), kToday);
        // Setting the refusal dates at creation is not the operator's change.
        QVERIFY(!form.ProtocolsFilterCheckBox->isChecked());
        QVERIFY(!form.CheckBox1->isChecked());
        QCOMPARE(form.LogsMemo->toPlainText(),
                 QStringLiteral("Спасибо, что пользуетесь парсером от сервиса Pelorant!"));
        QVERIFY(form.ResultsMemo->toPlainText().isEmpty());
        QVERIFY(!form.ResumeTimer->isActive());
        QVERIFY(!form.RestartTimer->isActive());
        QVERIFY(form.CurrentScraper.isNull());
    }

    void withoutSettingsFileTheDefaultsShow() {
        TMainForm form(Options());
        form.RestartCheckBox->setChecked(true);
        form.ProxyCheckBox->setChecked(true);
        form.LimitEdit->setValue(5);
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QVERIFY(!form.RestartCheckBox->isChecked());
        QVERIFY(!form.ProxyCheckBox->isChecked());
        QCOMPARE(form.LimitEdit->value(), 30);
        QCOMPARE(form.focusWidget(), form.StartButton);

        // The arrows move the count by ten, past any bound a spin box usually has.
        form.LimitEdit->setFocus();
        QTest::keyClick(form.LimitEdit, Qt::Key_Up);
        QCOMPARE(form.LimitEdit->value(), 40);
        form.LimitEdit->setValue(0);
        QTest::keyClick(form.LimitEdit, Qt::Key_Down);
        QCOMPARE(form.LimitEdit->value(), -10);
        form.LimitEdit->setValue(100000);
        QTest::keyClick(form.LimitEdit, Qt::Key_Up);
        QCOMPARE(form.LimitEdit->value(), 100010);
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
            TMainForm form(Options());
            form.show();
            QVERIFY(QTest::qWaitForWindowExposed(&form));
            form.RestartCheckBox->setChecked(true);
            form.ProxyCheckBox->setChecked(true);
            form.LimitEdit->setValue(70);
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

        TMainForm form(Options());
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QVERIFY(form.RestartCheckBox->isChecked());
        QVERIFY(form.ProxyCheckBox->isChecked());
        QCOMPARE(form.LimitEdit->value(), 70);

        // Changes that were not followed by a close are replaced when the window is shown again.
        form.RestartCheckBox->setChecked(false);
        form.ProxyCheckBox->setChecked(false);
        form.LimitEdit->setValue(3);
        form.hide();
        form.show();
        QVERIFY(form.RestartCheckBox->isChecked());
        QVERIFY(form.ProxyCheckBox->isChecked());
        QCOMPARE(form.LimitEdit->value(), 70);
    }

    void testExportClickedTwiceLeavesTheFixedMonth() {
        TMainForm form(Options());
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QTest::mouseClick(form.CheckBox1, Qt::LeftButton);
        QVERIFY(form.CheckBox1->isChecked());
        QCOMPARE(form.DatePublishedPicker->pickedDate(), QDate(2026, 1, 1));
        QCOMPARE(form.DatePublishedPicker2->pickedDate(), QDate(2026, 2, 1));

        form.DatePublishedPicker->setPickedDate(QDate(2024, 5, 5));
        QTest::mouseClick(form.CheckBox1, Qt::LeftButton);
        QVERIFY(!form.CheckBox1->isChecked());
        QCOMPARE(form.DatePublishedPicker->pickedDate(), QDate(2026, 1, 1));
        QCOMPARE(form.DatePublishedPicker2->pickedDate(), QDate(2026, 2, 1));
        QVERIFY(!form.ProtocolsFilterCheckBox->isChecked());
    }

    void changingARefusalDateTicksTheFilter_data() {
        QTest::addColumn<QString>("picker");
        QTest::newRow("from") << QStringLiteral("RejectDatePicker");
        QTest::newRow("to") << QStringLiteral("RejectDatePicker2");
    }

    void changingARefusalDateTicksTheFilter() {
        QFETCH(QString, picker);
        TMainForm form(Options());
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        auto* edit = form.findChild<TDatePicker*>(picker);
        QVERIFY(edit);
        edit->setFocus();
        QTest::keyClick(edit, Qt::Key_Up);
        QVERIFY(edit->pickedDate() != kToday);
        QVERIFY(form.ProtocolsFilterCheckBox->isChecked());

        // The operator may clear it again; another date change ticks it again.
        form.ProtocolsFilterCheckBox->setChecked(false);
        QTest::keyClick(edit, Qt::Key_Down);
        QVERIFY(form.ProtocolsFilterCheckBox->isChecked());
    }

    void ctrlASelectsTheWholeMemo_data() {
        QTest::addColumn<QString>("memo");
        QTest::newRow("log") << QStringLiteral("LogsMemo");
        QTest::newRow("results") << QStringLiteral("ResultsMemo");
    }

    void ctrlASelectsTheWholeMemo() {
        QFETCH(QString, memo);
        TMainForm form(Options());
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        auto* edit = form.findChild<QPlainTextEdit*>(memo);
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
        TMainForm form(Options());
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QCOMPARE(form.size(), QSize(886, 502));
        QCOMPARE(form.ResultsMemo->geometry(), QRect(8, 98, 870, 127));
        QCOMPARE(form.LogsMemo->geometry(), QRect(8, 246, 870, 233));
        QCOMPARE(form.ProgressBar->geometry(), QRect(0, 485, 886, 17));

        form.resize(1086, 702);
        QTRY_COMPARE(form.size(), QSize(1086, 702));
        QCOMPARE(form.ResultsMemo->geometry(), QRect(8, 98, 1070, 327));
        QCOMPARE(form.LogsMemo->geometry(), QRect(8, 446, 1070, 233));
        QCOMPARE(form.ProgressBar->geometry(), QRect(0, 685, 1086, 17));
        // The log heading stays above its memo instead of ending up inside the results.
        QVERIFY(form.Label2->geometry().bottom() < form.LogsMemo->y());
        QVERIFY(form.Label2->y() > form.ResultsMemo->geometry().bottom());
        QCOMPARE(form.CheckBox1->geometry(), QRect(953, 75, 125, 17));
        // Controls without anchors stay where they were.
        QCOMPARE(form.StartButton->geometry(), QRect(8, 8, 169, 37));
    }

    void proxyUseWithoutProxyFileStartsNothing() {
        TMainForm form(Options());
        form.show();
        form.ProxyCheckBox->setChecked(true);
        const QString proxyFile = dir_.filePath(QStringLiteral("proxy.txt"));
        const QString line = QStringLiteral(
            ": файл proxy.txt пустой, задайте в него прокси в формате "
            "ip:port:login:password");

        QTest::mouseClick(form.StartButton, Qt::LeftButton);
        QVERIFY(form.CurrentScraper.isNull());
        QVERIFY(QFile::exists(proxyFile));
        QCOMPARE(QFileInfo(proxyFile).size(), 0);
        QStringList log = form.LogsMemo->toPlainText().split(u'\n');
        QCOMPARE(log.size(), 2);
        QVERIFY(log[1].endsWith(line));
        QVERIFY(log[1].size() > line.size());  // stamped

        // The file now exists but is empty: the same line, still no run.
        QTest::mouseClick(form.StartButton, Qt::LeftButton);
        QVERIFY(form.CurrentScraper.isNull());
        log = form.LogsMemo->toPlainText().split(u'\n');
        QCOMPARE(log.size(), 3);
        QVERIFY(log[2].endsWith(line));
        QVERIFY(!form.JvTrayIcon1->isVisible());
    }

    void runButtonsWithoutARunDoNothing() {
        TMainForm form(Options());
        form.show();
        const QString before = form.LogsMemo->toPlainText();
        form.RestartTimer->start();
        form.ResumeTimer->start();
        QTest::mouseClick(form.PauseButton, Qt::LeftButton);
        QVERIFY(form.RestartTimer->isActive());
        QTest::mouseClick(form.StopButton, Qt::LeftButton);
        // Stop still cancels a pending restart; the resume timer switches itself off.
        QVERIFY(!form.RestartTimer->isActive());
        form.ResumeTimerTimer();
        QVERIFY(!form.ResumeTimer->isActive());
        QCOMPARE(form.LogsMemo->toPlainText(), before);
    }

    void progressAndCountersStayReadable() {
        TMainForm form(Options());
        form.show();
        TScraper run(&form);
        // An empty range shows an empty bar, not a busy animation.
        run.progesslastupdated = 0;
        run.ProgressBarMax = 0;
        run.ProgressBarPosition = 0;
        form.ShowProgress(run);
        QVERIFY(form.ProgressBar->maximum() > form.ProgressBar->minimum());
        QCOMPARE(form.ProgressBar->value(), 0);
        QCOMPARE(form.ProgressBar->toolTip(), QStringLiteral("0 из 0, осталось 0"));

        // A counter label grows with its number.
        run.counterlastupdated = 0;
        run.TendersCounter = 123456789;
        run.QCounter = 5;
        form.ShowCounters(run);
        QCOMPARE(form.TendersCounterLabel->text(), QStringLiteral("Найдено контрактов: 123456789"));
        QVERIFY(form.TendersCounterLabel->width() >= form.TendersCounterLabel->sizeHint().width());
    }

    void tabLeavesTheMemosAlongTheTabOrder() {
        TMainForm form(Options());
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        form.activateWindow();
        form.LogsMemo->setFocus();
        QVERIFY(form.LogsMemo->hasFocus());
        QTest::keyClick(form.LogsMemo, Qt::Key_Tab);
        QVERIFY(form.ResultsMemo->hasFocus());
        QTest::keyClick(form.ResultsMemo, Qt::Key_Tab);
        QVERIFY(form.RestartCheckBox->hasFocus());
        QTest::keyClick(form.RestartCheckBox, Qt::Key_Backtab);
        QVERIFY(form.ResultsMemo->hasFocus());
        // Nothing was typed into either memo.
        QVERIFY(!form.LogsMemo->toPlainText().contains(u'\t'));
        QVERIFY(form.ResultsMemo->toPlainText().isEmpty());
    }

    void theSavedLogHoldsTheMemosLinesExactly() {
        TMainForm form(Options());
        TScraper run(&form);
        run.ProgramDir = dir_.path();
        const QString text = QStringLiteral("1\u00A0234\u00A0567,89 руб.\u202Fи\tтаб");
        form.WriteLog(text);
        run.CursorHourGlass = false;
        form.ToggleBusy(run);
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
        TMainForm form(Options());
        form.show();
        form.ProxyCheckBox->setChecked(true);
        QTest::mouseClick(form.StartButton, Qt::LeftButton);
        QVERIFY(form.CurrentScraper.isNull());
        QVERIFY(form.LogsMemo->toPlainText().endsWith(
            QStringLiteral(": файл proxy.txt пустой, задайте в него прокси в формате "
                           "ip:port:login:password")));
    }
};

QTEST_MAIN(MainFormTest)
#include "main_window_test.moc"
