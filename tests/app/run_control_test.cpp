// Run control through the window's own handlers, with real runs against the portal replica.
#include <QCheckBox>
#include <QDir>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrlQuery>
#include <QUuid>
#include <QtTest>
#include <memory>

#include "PortalImitation.h"
#include "PortalReplica.h"
#include "TelegramImitation.h"
#include "app/DatePicker.h"
#include "app/MainWindow.h"
#include "run/RunControl.h"
#include "support/TelegramSettings.h"
#include "support/TestSupport.h"

using replica::PortalReplica;
using replica::Response;

namespace {

// A search page without results that shows the dates it was asked for, as the portal does.
Response EmptySearchPage(const replica::Request& request) {
    if (!request.path().endsWith("/epz/contract/search/results.html")) {
        return replica::NotFound(request);
    }
    const QUrlQuery query(QString::fromLatin1(request.query()));
    const QByteArray from = query.queryItemValue(QStringLiteral("contractDateFrom")).toLatin1();
    const QByteArray to = query.queryItemValue(QStringLiteral("contractDateTo")).toLatin1();
    return Response::Ok(
        "<html><head><title>Реестр контрактов</title></head><body>"
        "<input type=\"text\" value=\"" +
        from +
        "\" name=\"contractDateFrom\">"
        "<input type=\"text\" value=\"" +
        to +
        "\" name=\"contractDateTo\">"
        "<p>Поиск не дал результатов</p></body></html>");
}

constexpr int kWaitMs = 20000;

}  // namespace

class RunControlTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<ScopedTiming> timing_;
    std::unique_ptr<PortalReplica> replica_;
    std::unique_ptr<MainWindow> form_;
    // When set, the replica serves the portal imitation's contracts instead of empty searches.
    std::unique_ptr<replica::PortalImitation> portal_;
    // When set, the replica also answers as the Telegram Bot API.
    std::unique_ptr<replica::TelegramImitation> telegram_;

    MainWindow& Form() { return *form_; }

    QStringList Log() { return Form().logView->toPlainText().split(u'\n'); }

    int LinesEndingWith(const QString& text) {
        int count = 0;
        for (const QString& line : Log()) {
            count += line.endsWith(text) ? 1 : 0;
        }
        return count;
    }

    void Click(QPushButton* button) { QTest::mouseClick(button, Qt::LeftButton); }

    // Idle: no run driver left, Start enabled, no restart armed.
    bool IsIdle() {
        return Form().Watch().Idle() && Form().startButton->isEnabled() &&
               !Form().restartTimer->isActive();
    }

    bool RunFreed() { return Form().Watch().Idle(); }

    // Running: the driver works and has disabled Start.
    bool IsRunning() {
        return Form().Watch().RunActive() && !Form().Watch().Held() &&
               !Form().startButton->isEnabled() && !Form().testExportBox->isEnabled();
    }

    bool IsRestartPending() {
        return RunFreed() && Form().startButton->isEnabled() && Form().restartTimer->isActive();
    }

    // Three refusals in January 2026: two of one contract (12.01 and 20.01), one of another
    // (14.01), and a contract without a refusal.
    void ServeRefusals() {
        using namespace replica;
        portal_ = std::make_unique<PortalImitation>(ThreeRefusals());
        WriteFile(dir_->filePath(QStringLiteral("StartURL.txt")),
                  PortalImitation::StartUrl(replica_->url()).toUtf8());
        Form().contractFromPicker->setPickedDate(QDate(2026, 1, 1));
        Form().contractToPicker->setPickedDate(QDate(2026, 1, 31));
    }

    QStringList Results() {
        const QString text = Form().resultsView->toPlainText();
        return text.isEmpty() ? QStringList() : text.split(u'\n');
    }

private slots:
    void init() {
        dir_ = std::make_unique<QTemporaryDir>();
        QVERIFY(dir_->isValid());
        // Scaled timing: the automatic restart comes after 1.5 s, the automatic resume after
        // 250 ms.
        timing_ = std::make_unique<ScopedTiming>(ScopedTiming::Scaled(20));
        replica_ = std::make_unique<PortalReplica>();
        portal_.reset();
        telegram_.reset();
        replica_->setHandler([this](const replica::Request& request) {
            if (telegram_ && request.path().startsWith("/bot")) {
                return telegram_->handle(request);
            }
            return portal_ ? portal_->handle(request) : EmptySearchPage(request);
        });
        WriteFile(
            dir_->filePath(QStringLiteral("StartURL.txt")),
            (replica_->url() + "/epz/contract/search/results.html?morphology=on\r\n").toUtf8());

        MainWindowOptions options;
        options.programDir = dir_->path();
        options.workDir = dir_->path();
        options.today = QDate(2026, 12, 8);
        options.mutexName =
            QStringLiteral("QuorvaneAppTest-") + QUuid::createUuid().toString(QUuid::Id128);
        form_ = std::make_unique<MainWindow>(options);
        form_->show();
        QVERIFY(QTest::qWaitForWindowExposed(form_.get()));
    }

    void cleanup() {
        if (QTest::currentTestFailed()) {
            qDebug().noquote() << Form().logView->toPlainText() << replica_->requestCount();
        }
        form_.reset();
        replica_.reset();
        telegram_.reset();
        timing_.reset();
        dir_.reset();
    }

    void pauseContinueAndStopARun() {
        // With no threads allowed the run waits in its listing phase until stopped.
        Form().threadCountEdit->setValue(0);
        Form().restartBox->setChecked(true);
        Click(Form().startButton);
        QVERIFY(!Form().Watch().Idle());
        QTRY_VERIFY_WITH_TIMEOUT(IsRunning(), kWaitMs);
        QTRY_VERIFY_WITH_TIMEOUT(LinesEndingWith(QStringLiteral(": Начинаем работу...")) == 1,
                                 kWaitMs);
        // The run cleared the greeting and logged its start.
        QVERIFY(Log().first().endsWith(QStringLiteral(": Запуск")));

        // A second Start while a run goes starts nothing.
        const std::shared_ptr<RunControl> first = Form().Watch().Control();
        Form().StartRun();
        QCOMPARE(Form().Watch().Control(), first);

        Click(Form().pauseButton);
        QVERIFY(Form().Watch().Held());
        QVERIFY(Log().last().endsWith(QStringLiteral(": Включаем паузу")));
        QCOMPARE(Form().pauseButton->text(), QStringLiteral("пауза"));

        Click(Form().pauseButton);
        QVERIFY(!Form().Watch().Held());
        QVERIFY(Log().last().endsWith(QStringLiteral(": Отключаем паузу, продолжаем работу")));

        // Stop while held: asked to leave, which lets it out; no restart despite the box.
        Click(Form().pauseButton);
        QVERIFY(Form().Watch().Held());
        Form().progressBar->setValue(50);
        Click(Form().stopButton);
        QCOMPARE(Form().progressBar->value(), 0);
        QCOMPARE(LinesEndingWith(QStringLiteral(": Останавливаем работу")), 1);
        QTRY_VERIFY_WITH_TIMEOUT(IsIdle(), kWaitMs);
        QVERIFY(Form().testExportBox->isEnabled());
        QVERIFY(Log().last().contains(QStringLiteral(": Лог записан в ")));
        QCOMPARE(LinesEndingWith(QStringLiteral(" секунд")), 0);
        QCOMPARE(QDir(dir_->filePath(QStringLiteral("logs"))).entryList(QDir::Files).size(), 1);
        QCOMPARE(replica_->requestCount(), 0);

        // Pause and Stop after the run do nothing.
        const QStringList before = Log();
        Click(Form().pauseButton);
        Click(Form().stopButton);
        QCOMPARE(Log(), before);
    }

    void aRunHandsOverTheContractDates() {
        Click(Form().startButton);
        QTRY_VERIFY_WITH_TIMEOUT(IsIdle() && replica_->requestCount() == 1, kWaitMs);
        QVERIFY(replica_->requests().first().target.contains(
            "contractDateFrom=01.01.2025&contractDateTo=08.12.2026"));

        // With the test export ticked the run searches the fixed month.
        QTest::mouseClick(Form().testExportBox, Qt::LeftButton);
        Form().contractFromPicker->setPickedDate(QDate(2024, 3, 3));
        Click(Form().startButton);
        QTRY_VERIFY_WITH_TIMEOUT(IsIdle() && replica_->requestCount() == 2, kWaitMs);
        QVERIFY(replica_->requests().last().target.contains(
            "contractDateFrom=01.01.2026&contractDateTo=01.02.2026"));
    }

    void aFinishedRunRestartsByTimer() {
        Form().restartBox->setChecked(true);
        Click(Form().startButton);
        QTRY_VERIFY_WITH_TIMEOUT(IsRestartPending(), kWaitMs);
        QCOMPARE(Log().last(), QStringLiteral("Повторная выгрузка начнётся через 1 секунд"));
        QCOMPARE(Log().at(Log().size() - 2), QString());
        QCOMPARE(replica_->requestCount(), 1);

        // The timer presses Start: a second run, which (box cleared) ends idle.
        Form().restartBox->setChecked(false);
        QVERIFY(Form().restartTimer->isActive());
        QTRY_VERIFY_WITH_TIMEOUT(replica_->requestCount() == 2, kWaitMs);
        QTRY_VERIFY_WITH_TIMEOUT(IsIdle(), kWaitMs);
        QTest::qWait(Timing().restartTimerMs * 2);
        QCOMPARE(replica_->requestCount(), 2);
    }

    void automaticRunsTakeTheCurrentDayUnlessTheOperatorChoseOne() {
        // A watch opened on 08.12.2026 that runs past midnight.
        QDate day(2026, 12, 8);
        MainWindowOptions options;
        options.programDir = dir_->path();
        options.workDir = dir_->path();
        options.today = day;
        options.currentDay = [&day] { return day; };
        options.mutexName =
            QStringLiteral("QuorvaneAppTest-") + QUuid::createUuid().toString(QUuid::Id128);
        form_ = std::make_unique<MainWindow>(options);
        form_->show();
        QVERIFY(QTest::qWaitForWindowExposed(form_.get()));
        auto lastTo = [this] {
            const QUrlQuery query(QString::fromLatin1(replica_->requests().last().query()));
            return query.queryItemValue(QStringLiteral("contractDateTo"));
        };

        Form().restartBox->setChecked(true);
        Click(Form().startButton);
        QTRY_VERIFY_WITH_TIMEOUT(IsRestartPending(), kWaitMs);
        QCOMPARE(lastTo(), QStringLiteral("08.12.2026"));

        day = QDate(2026, 12, 9);
        QTRY_VERIFY_WITH_TIMEOUT(replica_->requestCount() == 2 && IsRestartPending(), kWaitMs);
        QCOMPARE(lastTo(), QStringLiteral("09.12.2026"));
        QCOMPARE(Form().contractToPicker->pickedDate(), day);

        // A day the operator picks stays, whatever the calendar says.
        Form().contractToPicker->setPickedDate(QDate(2026, 12, 1));
        day = QDate(2026, 12, 10);
        QTRY_VERIFY_WITH_TIMEOUT(replica_->requestCount() == 3 && IsRestartPending(), kWaitMs);
        QCOMPARE(lastTo(), QStringLiteral("01.12.2026"));
        Click(Form().stopButton);
        QVERIFY(IsIdle());
    }

    void stopCancelsAPendingRestart() {
        Form().restartBox->setChecked(true);
        Click(Form().startButton);
        QTRY_VERIFY_WITH_TIMEOUT(IsRestartPending(), kWaitMs);
        const QStringList before = Log();
        Click(Form().stopButton);
        QVERIFY(IsIdle());
        // No run to stop: nothing logged, and no run comes later.
        QCOMPARE(Log(), before);
        QTest::qWait(Timing().restartTimerMs * 2);
        QCOMPARE(replica_->requestCount(), 1);
    }

    void startWhileARestartIsPendingStartsAtOnce() {
        Form().restartBox->setChecked(true);
        Click(Form().startButton);
        QTRY_VERIFY_WITH_TIMEOUT(IsRestartPending(), kWaitMs);
        Form().restartBox->setChecked(false);
        Click(Form().startButton);
        QVERIFY(!Form().restartTimer->isActive());
        QVERIFY(!Form().Watch().Idle());
        QTRY_VERIFY_WITH_TIMEOUT(IsIdle() && replica_->requestCount() == 2, kWaitMs);
    }

    void aFailedProxyCheckKeepsOrEndsTheRestartChain() {
        Form().restartBox->setChecked(true);
        Click(Form().startButton);
        QTRY_VERIFY_WITH_TIMEOUT(IsRestartPending(), kWaitMs);

        // The operator's Start checks the proxies before it cancels the restart.
        Form().proxyBox->setChecked(true);
        const QString line = QStringLiteral(
            ": файл proxy.txt пустой, задайте в него прокси в "
            "формате ip:port:login:password");
        Click(Form().startButton);
        QCOMPARE(LinesEndingWith(line), 1);
        QVERIFY(IsRestartPending());

        // The timer switches itself off before pressing Start: the chain ends.
        QTRY_VERIFY_WITH_TIMEOUT(LinesEndingWith(line) == 2, kWaitMs);
        QVERIFY(IsIdle());
        QCOMPARE(replica_->requestCount(), 1);
    }

    void anAutomaticPauseEndsByTheResumeTimer() {
        Form().threadCountEdit->setValue(0);
        Click(Form().startButton);
        QTRY_VERIFY_WITH_TIMEOUT(IsRunning(), kWaitMs);
        QTRY_VERIFY_WITH_TIMEOUT(LinesEndingWith(QStringLiteral(": Начинаем работу...")) == 1,
                                 kWaitMs);
        const QString resumed = QStringLiteral(": Отключаем паузу, продолжаем работу");

        // What a failed phase does: the driver holds itself, the window arms the resume timer.
        const std::shared_ptr<RunControl> run = Form().Watch().Control();
        const QString failure = QStringLiteral("сбой");
        run->Hold();
        Form().Watch().PhaseEnded(failure, run);
        QCOMPARE(Form().resumeTimer->interval(), Timing().resumeTimerMs);
        QTRY_VERIFY_WITH_TIMEOUT(!Form().Watch().Held(), kWaitMs);
        QVERIFY(!Form().resumeTimer->isActive());
        QCOMPARE(LinesEndingWith(resumed), 1);

        // Pause during an automatic pause continues at once; the timer then only goes off.
        run->Hold();
        Form().Watch().PhaseEnded(failure, run);
        Click(Form().pauseButton);
        QVERIFY(!Form().Watch().Held());
        QCOMPARE(LinesEndingWith(resumed), 2);
        QTRY_VERIFY_WITH_TIMEOUT(!Form().resumeTimer->isActive(), kWaitMs);
        QCOMPARE(LinesEndingWith(resumed), 2);
        QVERIFY(IsRunning());

        // An operator's pause is not ended by a pending automatic resume.
        Form().Watch().PhaseEnded(failure, run);
        Click(Form().pauseButton);
        QVERIFY(!Form().resumeTimer->isActive());
        QTest::qWait(Timing().resumeTimerMs * 2);
        QVERIFY(Form().Watch().Held());

        Click(Form().stopButton);
        QTRY_VERIFY_WITH_TIMEOUT(IsIdle(), kWaitMs);
    }

    void refusalsShowInTheResultsAndTheRefusalDatesReachTheRun() {
        ServeRefusals();
        // The operator's refusal dates tick the filter: only the refusal of 14.01 passes.
        Form().refusalFromPicker->setPickedDate(QDate(2026, 1, 13));
        Form().refusalToPicker->setPickedDate(QDate(2026, 1, 15));
        QVERIFY(Form().refusalFilterBox->isChecked());
        Click(Form().startButton);
        QTRY_VERIFY_WITH_TIMEOUT(IsIdle() && RunFreed(), kWaitMs * 3);
        QStringList results = Results();
        QCOMPARE(results.size(), 1);
        QVERIFY(results[0].contains(QStringLiteral("14.01.2026")));

        // The filter cleared: the run gets no refusal dates. With the store emptied, all three
        // are new again, and the results of both runs stay while the log starts afresh.
        Form().refusalFilterBox->setChecked(false);
        QVERIFY(QFile::remove(dir_->filePath(QStringLiteral("have.txt"))));
        Click(Form().startButton);
        QTRY_VERIFY_WITH_TIMEOUT(IsIdle() && RunFreed(), kWaitMs * 3);
        results = Results();
        QCOMPARE(results.size(), 4);
        QCOMPARE(results.filter(QStringLiteral("14.01.2026")).size(), 2);
        QCOMPARE(results.filter(QStringLiteral("12.01.2026")).size(), 1);
        QCOMPARE(results.filter(QStringLiteral("20.01.2026")).size(), 1);
        QVERIFY(Log().first().endsWith(QStringLiteral(": Запуск")));
        QCOMPARE(LinesEndingWith(QStringLiteral(": Запуск")), 1);
    }

    void theTrayHintSaysWhetherThePortalIsSeen() {
        ServeRefusals();
        portal_->setMode(replica::PortalImitation::Mode::ForbidAll);
        Click(Form().startButton);
        QTRY_VERIFY_WITH_TIMEOUT(IsIdle() && RunFreed(), kWaitMs * 3);
        const QString blind = QStringLiteral(
            "Монитор не видит портал: портал отвечает на каждый "
            "запрос кодом 403");
        QVERIFY2(Form().trayIcon->toolTip().startsWith(MainWindow::kTrayHint + u'\n' + blind),
                 qPrintable(Form().trayIcon->toolTip()));
        QCOMPARE(Log().filter(QStringLiteral(": ") + blind).size(), 1);

        portal_->setMode(replica::PortalImitation::Mode::Normal);
        Click(Form().startButton);
        QTRY_VERIFY_WITH_TIMEOUT(IsIdle() && RunFreed() && Results().size() == 3, kWaitMs * 3);
        QCOMPARE(Form().trayIcon->toolTip(),
                 MainWindow::kTrayHint + QStringLiteral("\nМонитор снова видит портал"));
    }

    void aFailedPhasePausesTheRunUntilTheResumeTimer() {
        RunTiming timing = ScopedTiming::Scaled(20);
        timing.resumeTimerMs = 1500;
        const ScopedTiming slowResume(timing);
        ServeRefusals();
        // The CSV file cannot be created: its name (the time of creation) is taken by a broken
        // link, which is no other run's file.
        const QDateTime now = QDateTime::currentDateTime();
        for (int s = 0; s < 120; ++s) {
            QFile::link(
                dir_->filePath(QStringLiteral("missing/nowhere")),
                dir_->filePath(now.addSecs(s).toString(QStringLiteral("yyyyMMdd HH-mm-ss")) +
                               QStringLiteral(".csv")));
        }
        Click(Form().startButton);
        QTRY_VERIFY_WITH_TIMEOUT(
            LinesEndingWith(QStringLiteral(": Включаем паузу на 5 секунд")) == 1, kWaitMs * 3);
        // Paused by the run itself, with the resume timer armed.
        QVERIFY(Form().Watch().RunActive());
        QVERIFY(Form().Watch().Held());
        QVERIFY(Form().resumeTimer->isActive());
        QVERIFY(!Form().startButton->isEnabled());
        QCOMPARE(LinesEndingWith(QStringLiteral(": Отключаем паузу, продолжаем работу")), 0);
        QVERIFY(Log().filter(QStringLiteral(": Ошибка: ")).size() == 1);

        // The timer ends the pause and the run goes on to its end.
        QTRY_VERIFY_WITH_TIMEOUT(
            LinesEndingWith(QStringLiteral(": Отключаем паузу, продолжаем работу")) == 1, kWaitMs);
        QTRY_VERIFY_WITH_TIMEOUT(IsIdle() && RunFreed(), kWaitMs);
        QVERIFY(!Form().resumeTimer->isActive());
        QVERIFY(Log().last().contains(QStringLiteral(": Лог записан в ")));
    }

    void aBusyWindowDoesNotHoldUpTheRun() {
        ServeRefusals();
        const QStringList greeting = Log();
        Click(Form().startButton);
        const std::shared_ptr<RunControl> run = Form().Watch().Control();
        QVERIFY(run);
        // The window's thread handles nothing meanwhile: the driver never waits for it, so the
        // whole run is over before the window has shown any of it.
        QElapsedTimer clock;
        clock.start();
        while (!run->Done() && clock.elapsed() < kWaitMs * 3) {
            QThread::msleep(10);
        }
        QVERIFY(run->Done());
        QCOMPARE(Log(), greeting);
        QVERIFY(Results().isEmpty());

        // Then all of it shows, in its order.
        QTRY_VERIFY_WITH_TIMEOUT(IsIdle(), kWaitMs);
        QCOMPARE(Results().size(), 3);
        const QStringList log = Log();
        QVERIFY(log.first().endsWith(QStringLiteral(": Запуск")));
        QCOMPARE(log.filter(QStringLiteral(": Сбор данных завершен")).size(), 1);
        QVERIFY(log.last().contains(QStringLiteral(": Лог записан в ")));
    }

    void closingDuringANoticeLogsOneNeutralLine() {
        ServeRefusals();
        const QByteArray token = "1234567890:AAF-secret-part-of-the-token";
        telegram_ = std::make_unique<replica::TelegramImitation>(QString::fromLatin1(token));
        telegram_->setDelayMs(60000);
        WriteTelegramSettings(dir_->path(), replica_->url(), QString::fromLatin1(token));
        Click(Form().startButton);
        QTRY_VERIFY_WITH_TIMEOUT(telegram_->requests().size() == 1, kWaitMs * 3);

        QVERIFY(Form().close());
        QVERIFY(RunFreed());
        const QDir logs(dir_->filePath(QStringLiteral("logs")));
        QCOMPARE(logs.entryList(QDir::Files).size(), 1);
        const QString saved =
            QString::fromUtf8(ReadFile(logs.filePath(logs.entryList(QDir::Files).first())));
        QCOMPARE(saved.count(QStringLiteral(
                     ": Отправка уведомления в Телеграм прервана: программа закрывается")),
                 1);
        QVERIFY(!saved.contains(QStringLiteral("Ошибка при отправке")));
        QVERIFY(!saved.contains(QStringLiteral("Убедитесь")));
        QVERIFY(!saved.contains(QStringLiteral("secret-part")));
        QVERIFY(!Form().logView->toPlainText().contains(QStringLiteral("secret-part")));
    }

    void closingDuringARunEndsItAndSavesTheSettings() {
        Form().threadCountEdit->setValue(0);
        Form().restartBox->setChecked(true);
        Click(Form().startButton);
        QTRY_VERIFY_WITH_TIMEOUT(IsRunning(), kWaitMs);
        Click(Form().pauseButton);
        QVERIFY(Form().Watch().Held());

        QElapsedTimer clock;
        clock.start();
        QVERIFY(Form().close());
        // The held run was asked to leave, which lets it out, and has been let go.
        QVERIFY(RunFreed());
        QVERIFY(clock.elapsed() < 10000);
        QVERIFY(!Form().restartTimer->isActive());
        const QByteArray settings = ReadFile(dir_->filePath(QStringLiteral("settings.ini")));
        QVERIFY(settings.contains("Restart=1\r\nLimit=0\r\nProxy=0"));
        // The end of the run still wrote its log.
        QCOMPARE(QDir(dir_->filePath(QStringLiteral("logs"))).entryList(QDir::Files).size(), 1);
    }
};

QTEST_MAIN(RunControlTest)
#include "run_control_test.moc"
