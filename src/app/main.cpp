#include <QApplication>
#include <cstdio>
#include <cstdlib>

#include "app/AppIcon.h"
#include "app/MainForm.h"
#include "app/StartupCheck.h"
#include "http/CurlGlobal.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Монитор односторонних отказов с госзакупок"));
    QApplication::setApplicationDisplayName(
        QStringLiteral("Монитор односторонних отказов с госзакупок"));
    QApplication::setWindowIcon(QuorvaneIcon());
    // The tray icon must not keep the program alive once the window is closed.
    QApplication::setQuitOnLastWindowClosed(false);

    EnsureCurlGlobalInit();
    if (!CheckTlsAvailable(CurlHasTls())) {
        return 0;
    }

    TMainForm* window = new TMainForm;
    QObject::connect(window, &TMainForm::closed, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    window->show();
    app.exec();

    if (window->CurrentScraper && !window->CurrentScraper->isFinished()) {
        // The run did not end in time; leave without tearing down what its thread still uses.
        std::fflush(nullptr);
        std::_Exit(0);
    }
    delete window;
    return 0;
}
