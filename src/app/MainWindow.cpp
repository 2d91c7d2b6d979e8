#include "app/MainWindow.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QSystemTrayIcon>
#include <QTextBlock>
#include <QTextDocument>
#include <QTimer>
#include <algorithm>
#include <climits>

#include "app/AppIcon.h"
#include "app/DatePicker.h"
#include "fetch/ProxyFile.h"
#include "fetch/RunTiming.h"
#include "store/IniFile.h"
#include "text/StampedLine.h"

namespace {

const QString kSettingsSection = QStringLiteral("Settings");
const QString kProxyFileEmpty = QStringLiteral(
    ": файл proxy.txt пустой, задайте в него прокси в формате ip:port:login:password");
const QString kPauseOn = QStringLiteral(": Включаем паузу");
const QString kPauseOff = QStringLiteral(": Отключаем паузу, продолжаем работу");
const QString kStopping = QStringLiteral(": Останавливаем работу");

// Sets a picker from the program without it counting as the operator's change.
void SetQuietly(DatePicker* picker, const QDate& date) {
    const QSignalBlocker blocker(picker);
    picker->setPickedDate(date);
}

}  // namespace

MainWindow::MainWindow(MainWindowOptions options, QWidget* parent)
    : QWidget(parent), options_(std::move(options)) {
    today_ = options_.today.isValid() ? options_.today : QDate::currentDate();
    if (options_.programDir.isEmpty()) {
        options_.programDir = QCoreApplication::applicationDirPath();
    }
    CreateControls();
    SetTabOrder();
    ConnectHandlers();
    SetDefaults();
}

MainWindow::~MainWindow() {
    // A run still going must not call into a window that is gone.
    restartTimer->stop();
    resumeTimer->stop();
    if (!StopRunForExit(10000)) {
        qWarning("The run driver did not end before the window was destroyed");
    }
}

void MainWindow::ConnectHandlers() {
    connect(startButton, &QPushButton::clicked, this, &MainWindow::StartRun);
    connect(stopButton, &QPushButton::clicked, this, &MainWindow::StopRun);
    connect(pauseButton, &QPushButton::clicked, this, &MainWindow::TogglePause);
    connect(resumeTimer, &QTimer::timeout, this, &MainWindow::ResumeAfterPause);
    connect(restartTimer, &QTimer::timeout, this, &MainWindow::RestartRun);
    // clicked, unlike toggled, comes only from the operator.
    connect(testExportBox, &QCheckBox::clicked, this, &MainWindow::FillTestExportDates);
    // The program sets the pickers with their signals blocked, so these are the operator's.
    connect(refusalFromPicker, &QDateEdit::dateChanged, this, &MainWindow::TickRefusalFilter);
    connect(refusalToPicker, &QDateEdit::dateChanged, this, &MainWindow::TickRefusalFilter);
    connect(contractToPicker, &QDateEdit::dateChanged, this,
            [this] { contractToFollowsToday_ = false; });
    // A run in flight takes a new thread count at its next start of a worker.
    connect(threadCountEdit, &QSpinBox::valueChanged, this, [this](int count) {
        if (RunActive()) {
            currentRun->Control()->SetThreadLimit(count);
        }
    });
    connect(trayIcon, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                // A double click also arrives as single clicks first.
                if (reason == QSystemTrayIcon::Trigger) {
                    ToggleFromTray();
                }
            });
    logView->installEventFilter(this);
    resultsView->installEventFilter(this);
}

// --- Creation, showing, closing ---

void MainWindow::SetDefaults() {
    SetQuietly(contractFromPicker, QDate(today_.year() - 1, 1, 1));
    SetQuietly(contractToPicker, today_);
    SetQuietly(refusalFromPicker, today_);
    SetQuietly(refusalToPicker, today_);
    refusalFilterBox->setChecked(false);
    logView->appendPlainText(
        QStringLiteral("Спасибо, что пользуетесь парсером от сервиса Pelorant!"));
}

void MainWindow::LoadSettings() {
    if (startButton->isEnabled()) {
        startButton->setFocus();
    }
    const IniFile ini(SettingsPath());
    restartBox->setChecked(ini.readBool(kSettingsSection, QStringLiteral("Restart"), false));
    proxyBox->setChecked(ini.readBool(kSettingsSection, QStringLiteral("Proxy"), false));
    threadCountEdit->setValue(ini.readInteger(kSettingsSection, QStringLiteral("Limit"), 30));
}

void MainWindow::SaveSettings() {
    IniFile ini(SettingsPath());
    ini.writeBool(kSettingsSection, QStringLiteral("Restart"), restartBox->isChecked());
    ini.writeInteger(kSettingsSection, QStringLiteral("Limit"), threadCountEdit->value());
    ini.writeBool(kSettingsSection, QStringLiteral("Proxy"), proxyBox->isChecked());
}

void MainWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // Spontaneous show events come from the window system (a restore from the task bar); the
    // settings are loaded when the window itself becomes visible: at start-up and out of the tray.
    if (!event->spontaneous()) {
        LoadSettings();
    }
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (driverCallDepth_ > 0) {
        // The close arrived while a call of the run driver lets events through, and the driver
        // waits for that call: the run is asked to leave now, and the window closes once the
        // call has returned.
        if (RunActive()) {
            currentRun->AbandonNetwork();
            currentRun->Control()->Terminate();
        }
        closeDeferred_ = true;
        event->ignore();
        return;
    }
    SaveSettings();
    // No new run may begin while the program ends, and a run still going is ended in order so
    // that none of its files is left half written.
    restartTimer->stop();
    resumeTimer->stop();
    StopRunForExit(5000);
    event->accept();
    emit closed();
}

bool MainWindow::StopRunForExit(int timeoutMs) {
    if (RunActive()) {
        RunDriver* run = currentRun;
        run->AbandonNetwork();
        if (run->Control()->Held()) {
            run->Control()->Continue();
        }
        run->Control()->Terminate();
    }
    // The driver may be waiting for a call on this thread, so events go on being handled; it
    // frees itself through this thread's event loop once its thread has ended.
    QElapsedTimer clock;
    clock.start();
    while (currentRun && clock.elapsed() < timeoutMs) {
        if (!currentRun->Control()->Done() && currentRun->Control()->Held()) {
            // A phase that failed while stopping holds the driver; it must still get out.
            currentRun->Control()->Continue();
        }
        QEventLoop loop;
        QTimer::singleShot(10, &loop, &QEventLoop::quit);
        loop.exec();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return !currentRun || currentRun->isFinished();
}

// --- Run control ---

bool MainWindow::RunActive() const {
    return currentRun && !currentRun->Control()->Done();
}

void MainWindow::StartRun() {
    if (RunActive()) {
        return;
    }
    if (proxyBox->isChecked() && !ProxyFileHasLines()) {
        return;
    }
    ShowTrayIcon();
    restartTimer->stop();

    RunOptions run;
    run.programDir = options_.programDir;
    if (!options_.workDir.isEmpty()) {
        run.workDir = options_.workDir;
    }
    if (!options_.mutexName.isEmpty()) {
        run.mutexName = options_.mutexName;
    }
    run.useProxy = proxyBox->isChecked();
    if (contractToFollowsToday_) {
        SetQuietly(contractToPicker, CurrentDay());
    }
    run.contractFrom = contractFromPicker->pickedDate();
    run.contractTo = contractToPicker->pickedDate();
    if (refusalFilterBox->isChecked()) {
        run.refusalFrom = refusalFromPicker->pickedDate();
        run.refusalTo = refusalToPicker->pickedDate();
    }
    run.testExport = testExportBox->isChecked();
    run.threadLimit = threadCountEdit->value();
    auto* driver = new RunDriver(this, std::move(run));
    // The window's runs free themselves once their thread has ended.
    connect(driver, &QThread::finished, driver, &QObject::deleteLater);
    currentRun = driver;
    driver->start();
}

bool MainWindow::ProxyFileHasLines() {
    if (ProxyFileNamesAProxy(ProgramPath(QStringLiteral("proxy.txt")))) {
        return true;
    }
    LogWindowLine(kProxyFileEmpty);
    return false;
}

void MainWindow::StopRun() {
    restartTimer->stop();
    if (!RunActive()) {
        return;
    }
    if (currentRun->Control()->Held()) {
        currentRun->Control()->Continue();
    }
    currentRun->Control()->Terminate();
    LogWindowLine(kStopping);
    progressBar->setValue(0);
}

void MainWindow::TogglePause() {
    if (!RunActive()) {
        return;
    }
    if (currentRun->Control()->Held()) {
        currentRun->Control()->Continue();
        LogWindowLine(kPauseOff);
        return;
    }
    currentRun->Control()->Hold();
    LogWindowLine(kPauseOn);
    // An operator's pause is not ended by a pending automatic resume.
    resumeTimer->stop();
}

void MainWindow::ResumeAfterPause() {
    resumeTimer->stop();
    if (RunActive() && currentRun->Control()->Held()) {
        currentRun->Control()->Continue();
        LogWindowLine(kPauseOff);
    }
}

QDate MainWindow::CurrentDay() const {
    if (options_.currentDay) {
        return options_.currentDay();
    }
    return options_.today.isValid() ? options_.today : QDate::currentDate();
}

void MainWindow::RestartRun() {
    restartTimer->stop();
    StartRun();
}

void MainWindow::FillTestExportDates() {
    contractFromPicker->setPickedDate(QDate(2026, 1, 1));
    contractToPicker->setPickedDate(QDate(2026, 2, 1));
}

void MainWindow::TickRefusalFilter() {
    refusalFilterBox->setChecked(true);
}

// --- Keys of the log and results views ---

bool MainWindow::SelectAllOnCtrlA(QPlainTextEdit* view, QKeyEvent* event) {
    if (event->key() != Qt::Key_A || !(event->modifiers() & Qt::ControlModifier)) {
        return false;
    }
    view->selectAll();
    event->accept();
    return true;
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress && (watched == logView || watched == resultsView)) {
        auto* key = static_cast<QKeyEvent*>(event);
        key->ignore();
        SelectAllOnCtrlA(watched == logView ? logView : resultsView, key);
        if (key->isAccepted()) {
            return true;
        }
        // Not the window's key: the view gets it as delivered. Left ignored, a Tab that moved
        // the focus would go on to the window and move it a second time.
        key->accept();
    }
    return QWidget::eventFilter(watched, event);
}

// --- Tray and minimising ---

void MainWindow::ShowTrayIcon() {
    if (QSystemTrayIcon::isSystemTrayAvailable() && !trayIcon->isVisible()) {
        trayIcon->show();
    }
}

void MainWindow::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange) {
        return;
    }
    const auto* change = static_cast<QWindowStateChangeEvent*>(event);
    if (isVisible() && isMinimized() && !(change->oldState() & Qt::WindowMinimized)) {
        // Hiding from inside the state change confuses some window systems; do it right after.
        QTimer::singleShot(0, this, [this] {
            if (isVisible() && isMinimized()) {
                MinimizeToTray();
            }
        });
    }
}

void MainWindow::MinimizeToTray() {
    // Without a tray there is nowhere to bring the window back from: it stays minimised.
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        return;
    }
    ShowTrayIcon();
    hide();
    setWindowState(windowState() | Qt::WindowMinimized);
    if (trayIcon->isVisible() && QSystemTrayIcon::supportsMessages()) {
        trayIcon->showMessage(
            QStringLiteral("Внимание!"),
            QStringLiteral("Монитор односторонних отказов с госзакупок свёрнут сюда."),
            QSystemTrayIcon::NoIcon, 5000);
    }
}

void MainWindow::ToggleFromTray() {
    if (!isVisible() || isMinimized()) {
        showNormal();
        raise();
        activateWindow();
        return;
    }
    MinimizeToTray();
}

// --- The controls the run driver reports into ---

void MainWindow::LogWindowLine(const QString& text) {
    logView->appendPlainText(Stamp() + text);
}

int MainWindow::logLineCount() {
    const QTextDocument* document = logView->document();
    return document->isEmpty() ? 0 : document->blockCount();
}

void MainWindow::clearLog() {
    logView->clear();
}

void MainWindow::appendLog(const QString& line) {
    logView->appendPlainText(line);
}

QStringList MainWindow::logLines() {
    const QTextDocument* document = logView->document();
    if (document->isEmpty()) {
        return {};
    }
    // Block by block: the plain-text export would turn every no-break space into a space.
    QStringList lines;
    for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
        lines << block.text();
    }
    return lines;
}

void MainWindow::setProgress(int maximum, int position, const QString& hint) {
    // A bar whose range is empty would show a busy animation instead of an empty bar.
    progressBar->setRange(0, std::max(1, maximum));
    progressBar->setValue(position);
    progressBar->setToolTip(hint);
}

void MainWindow::setCounters(const QString& contracts, const QString& queued) {
    contractsFoundLabel->setText(contracts);
    contractsFoundLabel->adjustSize();
    refusalsQueuedLabel->setText(queued);
    refusalsQueuedLabel->adjustSize();
}

void MainWindow::setRunControlsEnabled(bool enabled) {
    startButton->setEnabled(enabled);
    testExportBox->setEnabled(enabled);
}

bool MainWindow::restartChecked() {
    return restartBox->isChecked();
}

int MainWindow::startRestartTimer() {
    restartTimer->setInterval(Timing().restartTimerMs);
    restartTimer->start();
    return restartTimer->interval();
}

void MainWindow::startResumeTimer(std::weak_ptr<RunControl> /*run*/, int ms) {
    // The timer's handler continues the current run if it is still held.
    resumeTimer->setInterval(ms);
    resumeTimer->start();
}

void MainWindow::appendResult(const QString& line) {
    resultsView->appendPlainText(line);
}

void MainWindow::showRefusalBalloon(const QString& title, const QString& text) {
    if (trayIcon->isVisible() && QSystemTrayIcon::supportsMessages()) {
        trayIcon->showMessage(title, text, QSystemTrayIcon::Information, 5000);
    }
}

void MainWindow::processPendingEvents() {
    ++driverCallDepth_;
    QCoreApplication::processEvents();
    --driverCallDepth_;
    if (closeDeferred_ && driverCallDepth_ == 0) {
        closeDeferred_ = false;
        QTimer::singleShot(0, this, &QWidget::close);
    }
}

QString MainWindow::ProgramPath(const QString& name) const {
    return QDir(options_.programDir).filePath(name);
}

QString MainWindow::SettingsPath() const {
    return ProgramPath(QStringLiteral("settings.ini"));
}
