#include "app/ProgramMain.h"

#include <QApplication>
#include <QDir>
#include <QTimer>
#include <algorithm>
#include <csignal>
#include <cstdio>

#include "app/AppIcon.h"
#include "app/CommandLine.h"
#include "app/ConsoleRunReport.h"
#include "app/HeadlessWatch.h"
#include "app/MainWindow.h"
#include "app/StartupCheck.h"
#include "app/StopSignals.h"
#include "app/WindowCaption.h"
#include "http/CurlGlobal.h"
#include "store/FileLayout.h"
#include "store/IniFile.h"
#include "store/SettingsFile.h"

namespace {

constexpr int kExitUsage = 2;

QStringList ArgumentsOf(int argc, char** argv) {
    QStringList args;
    for (int i = 1; i < argc; ++i) {
        args << QString::fromLocal8Bit(argv[i]);
    }
    return args;
}

int Fail(const QString& line) {
    std::fprintf(stderr, "quorvane: %s\n", line.toUtf8().constData());
    return kExitUsage;
}

// The options after the program's name, and the folders they put the files in (once the
// application object exists). False with one line saying what is wrong.
bool ReadOptions(int argc, char** argv, CommandLine* options, FileLayout* layout, QString* error) {
    if (!CommandLine::Parse(ArgumentsOf(argc, argv), options, error)) {
        return false;
    }
    *layout = FileLayout::Decide(QCoreApplication::applicationDirPath(), options->dir);
    return true;
}

// Help, version and headless runs: no display is touched, so they start without an X server.
int ConsoleMain(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    CommandLine options;
    FileLayout layout;
    QString error;
    if (!ReadOptions(argc, argv, &options, &layout, &error)) {
        return Fail(error);
    }
    if (options.help) {
        std::fputs(CommandLine::HelpText(layout).toUtf8().constData(), stdout);
        return 0;
    }
    if (options.version) {
        std::fputs(CommandLine::VersionText().toUtf8().constData(), stdout);
        return 0;
    }
    if (!layout.Prepare(&error)) {
        return Fail(error);
    }
    EnsureCurlGlobalInit();
    if (!CurlHasTls()) {
        return Fail(QStringLiteral("Нет библиотеки TLS: программа не может обращаться к порталу"));
    }
    // A closed terminal or journal pipe must not end a watch.
    std::signal(SIGPIPE, SIG_IGN);

    // The window's three settings, read once as the window reads them when it is shown.
    const IniFile ini(QDir(layout.programDir()).filePath(QStringLiteral("settings.ini")));
    using settings_file::kSection;
    const int threads =
        ini.readInteger(kSection, QStringLiteral("Limit"), settings_file::kDefaultThreadLimit);
    const bool proxy = ini.readBool(kSection, QStringLiteral("Proxy"), false);

    ConsoleRunReport report;
    report.Echo(QStringLiteral("Спасибо, что пользуетесь парсером от сервиса Pelorant!"));
    HeadlessWatch watch(options, layout, report, threads, proxy);
    StopSignals stopSignals;
    QObject::connect(&stopSignals, &StopSignals::stopRequested, &watch, &HeadlessWatch::Stop);
    // Started from the event loop, so that a run ending at once can end the loop.
    QTimer::singleShot(0, &watch, &HeadlessWatch::Start);
    return app.exec();
}

int WindowMain(int argc, char** argv) {
    QApplication app(argc, argv);
    // Qt has taken its own options (-platform and the like) out of argv by now.
    CommandLine options;
    FileLayout layout;
    QString error;
    if (!ReadOptions(argc, argv, &options, &layout, &error) || !layout.Prepare(&error)) {
        return Fail(error);
    }
    QApplication::setApplicationName(WindowCaption());
    QApplication::setApplicationDisplayName(WindowCaption());
    QApplication::setWindowIcon(QuorvaneIcon());
    // The tray icon must not keep the program alive once the window is closed.
    QApplication::setQuitOnLastWindowClosed(false);

    EnsureCurlGlobalInit();
    if (!CheckTlsAvailable(CurlHasTls())) {
        return 0;
    }

    MainWindowOptions windowOptions;
    windowOptions.programDir = layout.programDir();
    windowOptions.workDir = layout.workDir();
    MainWindow* window = new MainWindow(windowOptions);
    QObject::connect(window, &MainWindow::closed, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    window->show();
    app.exec();
    // Closing has stopped the run; a run that outlasted that wait is waited for here.
    delete window;
    return 0;
}

}  // namespace

int ProgramMain(int argc, char** argv) {
    const QStringList args = ArgumentsOf(argc, argv);
    if (CommandLine::WantsConsole(args)) {
        return ConsoleMain(argc, argv);
    }
    // A wrong option is reported before any display is needed, unless Qt's own options
    // (single dash: -platform, -style) may be what the window is given.
    CommandLine options;
    QString error;
    const bool qtOptions = std::any_of(args.begin(), args.end(), [](const QString& arg) {
        return arg.startsWith(QLatin1Char('-')) && !arg.startsWith(QStringLiteral("--"));
    });
    if (!qtOptions && !CommandLine::Parse(args, &options, &error)) {
        return Fail(error);
    }
    return WindowMain(argc, argv);
}
