#include "app/MainWindow.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
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
#include "store/IniFile.h"
#include "store/SettingsFile.h"

namespace {

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
    watch_ = std::make_unique<RunWatch>(*this, [this] { return Choice(); });
    watch_->SetCurrentDay([this] { return CurrentDay(); });
    CreateControls();
    SetTabOrder();
    ConnectHandlers();
    SetDefaults();
}

MainWindow::~MainWindow() {
    // A run still going must not call into a window that is gone.
    if (!watch_->StopForExit(10000)) {
        qWarning("The run driver did not end before the window was destroyed");
    }
}

void MainWindow::ConnectHandlers() {
    connect(startButton, &QPushButton::clicked, this, &MainWindow::StartRun);
    connect(stopButton, &QPushButton::clicked, this, &MainWindow::StopRun);
    connect(pauseButton, &QPushButton::clicked, this, &MainWindow::TogglePause);
    connect(restartBox, &QCheckBox::toggled, watch_.get(), &RunWatch::SetRepeating);
    connect(watch_.get(), &RunWatch::runStarted, this, [this](const RunOptions& options) {
        ShowTrayIcon();
        if (contractToFollowsToday_) {
            SetQuietly(contractToPicker, options.contractTo);
        }
    });
    connect(watch_.get(), &RunWatch::runEnded, this, [this](const RunSummary& summary) {
        // A stopped run says nothing of the portal: the hint keeps what the last one said.
        if (summary.health.state == RunHealth::State::Unknown) {
            return;
        }
        const QString line = summary.health.Line();
        trayIcon->setToolTip(line.isEmpty() ? kTrayHint : kTrayHint + QLatin1Char('\n') + line);
    });
    // clicked, unlike toggled, comes only from the operator.
    connect(testExportBox, &QCheckBox::clicked, this, &MainWindow::FillTestExportDates);
    // The program sets the pickers with their signals blocked, so these are the operator's.
    connect(refusalFromPicker, &QDateEdit::dateChanged, this, &MainWindow::TickRefusalFilter);
    connect(refusalToPicker, &QDateEdit::dateChanged, this, &MainWindow::TickRefusalFilter);
    connect(contractToPicker, &QDateEdit::dateChanged, this,
            [this] { contractToFollowsToday_ = false; });
    // A run in flight takes a new thread count at its next start of a worker.
    connect(threadCountEdit, &QSpinBox::valueChanged, watch_.get(), &RunWatch::SetThreadLimit);
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
    SetQuietly(contractFromPicker, RunWatch::DefaultContractFrom(today_));
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
    using settings_file::kSection;
    restartBox->setChecked(ini.readBool(kSection, QStringLiteral("Restart"), false));
    proxyBox->setChecked(ini.readBool(kSection, QStringLiteral("Proxy"), false));
    threadCountEdit->setValue(
        ini.readInteger(kSection, QStringLiteral("Limit"), settings_file::kDefaultThreadLimit));
}

void MainWindow::SaveSettings() {
    IniFile ini(SettingsPath());
    using settings_file::kSection;
    ini.writeBool(kSection, QStringLiteral("Restart"), restartBox->isChecked());
    ini.writeInteger(kSection, QStringLiteral("Limit"), threadCountEdit->value());
    ini.writeBool(kSection, QStringLiteral("Proxy"), proxyBox->isChecked());
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
    SaveSettings();
    // No new run may begin while the program ends, and a run still going is ended in order so
    // that none of its files is left half written.
    watch_->StopForExit(5000);
    event->accept();
    emit closed();
}

// --- Run control ---

void MainWindow::StartRun() {
    watch_->Start();
}

RunChoice MainWindow::Choice() const {
    RunChoice choice;
    choice.contractFrom = contractFromPicker->pickedDate();
    // Left at its default, "to" is the current day of each run.
    if (!contractToFollowsToday_) {
        choice.contractTo = contractToPicker->pickedDate();
    }
    choice.refusalFilter = refusalFilterBox->isChecked();
    choice.refusalFrom = refusalFromPicker->pickedDate();
    choice.refusalTo = refusalToPicker->pickedDate();
    choice.threads = threadCountEdit->value();
    choice.useProxy = proxyBox->isChecked();
    choice.testExport = testExportBox->isChecked();
    choice.programDir = options_.programDir;
    choice.workDir = options_.workDir;
    choice.mutexName = options_.mutexName;
    return choice;
}

void MainWindow::StopRun() {
    if (watch_->Stop(/*abandonNetwork=*/false)) {
        progressBar->setValue(0);
    }
}

void MainWindow::TogglePause() {
    watch_->TogglePause();
}

QDate MainWindow::CurrentDay() const {
    if (options_.currentDay) {
        return options_.currentDay();
    }
    return options_.today.isValid() ? options_.today : QDate::currentDate();
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

// --- The controls the runs report into ---

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

void MainWindow::appendResult(const QString& line) {
    resultsView->appendPlainText(line);
}

void MainWindow::showRefusalBalloon(const QString& title, const QString& text) {
    if (trayIcon->isVisible() && QSystemTrayIcon::supportsMessages()) {
        trayIcon->showMessage(title, text, QSystemTrayIcon::Information, 5000);
    }
}

QString MainWindow::ProgramPath(const QString& name) const {
    return QDir(options_.programDir).filePath(name);
}

QString MainWindow::SettingsPath() const {
    return ProgramPath(QStringLiteral("settings.ini"));
}
