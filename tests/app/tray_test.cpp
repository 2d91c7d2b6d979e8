// Minimising into the tray and back, on a real X server (Xvfb) with a real tray (trayer).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QSpinBox>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QtTest>
#include <cstdlib>

#include "app/MainWindow.h"
#include "support/TestSupport.h"

namespace {

constexpr int kWaitMs = 10000;

// An Xvfb server on a display it picks itself; stopped when the process ends its tests.
class XvfbServer {
public:
    bool Start() {
        int fds[2];
        if (pipe(fds) != 0) {
            return false;
        }
        const std::string fd = std::to_string(fds[1]);
        pid_ = fork();
        if (pid_ == 0) {
            // The server ends with this process, however the process ends.
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            close(fds[0]);
            const int devNull = open("/dev/null", O_RDWR);
            dup2(devNull, STDIN_FILENO);
            dup2(devNull, STDOUT_FILENO);
            dup2(devNull, STDERR_FILENO);
            execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1280x1024x24",
                   "-nolisten", "tcp", "-ac", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        if (pid_ < 0) {
            close(fds[0]);
            return false;
        }
        // Xvfb writes its display number once it accepts connections.
        std::string number;
        pollfd p{fds[0], POLLIN, 0};
        while (poll(&p, 1, 10000) > 0) {
            char c = 0;
            if (read(fds[0], &c, 1) != 1 || c == '\n') {
                break;
            }
            number += c;
        }
        close(fds[0]);
        if (number.empty()) {
            Stop();
            return false;
        }
        display_ = ":" + number;
        return true;
    }

    void Stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }

    const std::string& display() const { return display_; }

private:
    pid_t pid_ = -1;
    std::string display_;
};

QWidget* TopLevelOfClass(const char* className) {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->isVisible() && qstrcmp(widget->metaObject()->className(), className) == 0) {
            return widget;
        }
    }
    return nullptr;
}

// The texts of the balloon the tray shows, or an empty list when none is shown.
QStringList BalloonTexts() {
    QStringList texts;
    if (QWidget* balloon = TopLevelOfClass("QBalloonTip")) {
        for (const auto* label : balloon->findChildren<QLabel*>()) {
            texts << label->text();
        }
    }
    return texts;
}

}  // namespace

class TrayTest : public QObject {
    Q_OBJECT
public:
    explicit TrayTest(bool haveX) : haveX_(haveX) {}

private:
    bool haveX_;
    QTemporaryDir dir_;
    QProcess trayer_;

    MainWindowOptions Options() const {
        MainWindowOptions options;
        options.programDir = dir_.path();
        options.workDir = dir_.path();
        return options;
    }

private slots:
    void initTestCase() {
        if (!haveX_) {
            QSKIP("Xvfb could not be started");
        }
    }

    // Runs before trayer is started: there is no tray on the display yet.
    void withoutATrayMinimisingOnlyMinimises() {
        QVERIFY(!QSystemTrayIcon::isSystemTrayAvailable());
        MainWindow form(Options());
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        form.showMinimized();
        QTest::qWait(200);
        QVERIFY(form.isVisible());
        QVERIFY(form.isMinimized());
        QVERIFY(!form.trayIcon->isVisible());
        QVERIFY(BalloonTexts().isEmpty());
    }

    void minimisingHidesIntoTheTrayAndAClickRestores() {
        trayer_.start(QStringLiteral("trayer"),
                      {QStringLiteral("--edge"), QStringLiteral("top"), QStringLiteral("--align"),
                       QStringLiteral("right"), QStringLiteral("--widthtype"),
                       QStringLiteral("pixel"), QStringLiteral("--width"), QStringLiteral("100")});
        if (!trayer_.waitForStarted(5000)) {
            QSKIP("trayer could not be started");
        }
        QTRY_VERIFY_WITH_TIMEOUT(QSystemTrayIcon::isSystemTrayAvailable(), kWaitMs);

        WriteFile(dir_.filePath(QStringLiteral("settings.ini")),
                  "[Settings]\r\nRestart=0\r\nLimit=50\r\nProxy=0\r\n");
        MainWindow form(Options());
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QCOMPARE(form.threadCountEdit->value(), 50);
        // The icon is not there before it is needed.
        QVERIFY(!form.trayIcon->isVisible());
        QCOMPARE(form.trayIcon->toolTip(),
                 QStringLiteral("Монитор протоколов уклонения с госзакупок"));

        form.threadCountEdit->setValue(70);
        form.showMinimized();
        QTRY_VERIFY_WITH_TIMEOUT(!form.isVisible(), kWaitMs);
        QVERIFY(form.trayIcon->isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(!BalloonTexts().isEmpty(), kWaitMs);
        QVERIFY(BalloonTexts().contains(QStringLiteral("Внимание!")));
        QVERIFY(BalloonTexts().contains(
            QStringLiteral("Монитор односторонних отказов с госзакупок свёрнут сюда.")));

        // A click on the icon itself brings the window back, with the saved settings.
        QWidget* icon = nullptr;
        QTRY_VERIFY_WITH_TIMEOUT((icon = TopLevelOfClass("QSystemTrayIconSys")) != nullptr,
                                 kWaitMs);
        QTest::mouseClick(icon, Qt::LeftButton, {}, icon->rect().center());
        QTRY_VERIFY_WITH_TIMEOUT(form.isVisible(), kWaitMs);
        QVERIFY(!form.isMinimized());
        QCOMPARE(form.threadCountEdit->value(), 50);
        QCOMPARE(form.focusWidget(), form.startButton);

        // A click while the window is shown hides it again with the same notice.
        QTest::qWait(200);
        QTest::mouseClick(icon, Qt::LeftButton, {}, icon->rect().center());
        QTRY_VERIFY_WITH_TIMEOUT(!form.isVisible(), kWaitMs);
        QTRY_VERIFY_WITH_TIMEOUT(BalloonTexts().contains(QStringLiteral(
                                     "Монитор односторонних отказов с госзакупок свёрнут сюда.")),
                                 kWaitMs);
        // The icon stays once shown.
        QTest::mouseClick(icon, Qt::LeftButton, {}, icon->rect().center());
        QTRY_VERIFY_WITH_TIMEOUT(form.isVisible(), kWaitMs);
        QVERIFY(form.trayIcon->isVisible());
    }

    void cleanupTestCase() {
        if (trayer_.state() != QProcess::NotRunning) {
            trayer_.terminate();
            if (!trayer_.waitForFinished(5000)) {
                trayer_.kill();
                trayer_.waitForFinished(5000);
            }
        }
    }
};

int main(int argc, char** argv) {
    XvfbServer xvfb;
    const bool haveX = xvfb.Start();
    if (haveX) {
        qputenv("DISPLAY", QByteArray::fromStdString(xvfb.display()));
        qputenv("QT_QPA_PLATFORM", "xcb");
    } else {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    // No desktop session: the tray is the X11 one that trayer provides.
    qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    qunsetenv("QT_QPA_PLATFORMTHEME");
    int result = 0;
    {
        QApplication app(argc, argv);
        TrayTest test(haveX);
        result = QTest::qExec(&test, argc, argv);
    }
    xvfb.Stop();
    return result;
}

#include "tray_test.moc"
