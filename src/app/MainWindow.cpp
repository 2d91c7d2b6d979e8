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
#include "scraper/IniFile.h"
#include "scraper/StampedLine.h"

namespace {

const QString kCaption = QStringLiteral("Монитор односторонних отказов с госзакупок");
const QString kSettingsSection = QStringLiteral("Settings");
const QString kProxyFileEmpty = QStringLiteral(
    ": файл proxy.txt пустой, задайте в него прокси в формате ip:port:login:password");
const QString kPauseOn = QStringLiteral(": Включаем паузу");
const QString kPauseOff = QStringLiteral(": Отключаем паузу, продолжаем работу");
const QString kStopping = QStringLiteral(": Останавливаем работу");

// The designed client area; anchored controls keep their distances to its edges.
constexpr int kDesignWidth = 886;
constexpr int kDesignHeight = 502;
constexpr int kProgressHeight = 17;

template <typename T>
T* Named(T* widget, const char* name) {
    widget->setObjectName(QString::fromLatin1(name));
    return widget;
}

::QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text, int left, int top) {
    auto* label = Named(new ::QLabel(text, parent), name);
    label->move(left, top);
    label->adjustSize();
    return label;
}

QCheckBox* MakeCheckBox(QWidget* parent, const char* name, const QString& text,
                        const QRect& geometry) {
    auto* box = Named(new QCheckBox(text, parent), name);
    box->setGeometry(geometry);
    return box;
}

QPushButton* MakeButton(QWidget* parent, const char* name, const QString& text,
                        const QRect& geometry) {
    auto* button = Named(new QPushButton(text, parent), name);
    button->setGeometry(geometry);
    return button;
}

TDatePicker* MakeDatePicker(QWidget* parent, const char* name, const QRect& geometry,
                            const QDate& today) {
    auto* picker = Named(new TDatePicker(parent), name);
    picker->setGeometry(geometry);
    picker->setToday(today);
    return picker;
}

QPlainTextEdit* MakeMemo(QWidget* parent, const char* name) {
    auto* memo = Named(new QPlainTextEdit(parent), name);
    memo->setLineWrapMode(QPlainTextEdit::NoWrap);
    memo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // The memos are read, not typed into: Tab goes on along the tab order.
    memo->setTabChangesFocus(true);
    return memo;
}

// Sets a picker from the program without it counting as the operator's change.
void SetQuietly(TDatePicker* picker, const QDate& date) {
    const QSignalBlocker blocker(picker);
    picker->setPickedDate(date);
}

}  // namespace

TMainForm::TMainForm(TMainFormOptions options, QWidget* parent)
    : QWidget(parent), options_(std::move(options)) {
    today_ = options_.today.isValid() ? options_.today : QDate::currentDate();
    if (options_.programDir.isEmpty()) {
        options_.programDir = QCoreApplication::applicationDirPath();
    }
    CreateControls();
    SetTabOrder();
    ConnectHandlers();
    FormCreate();
}

TMainForm::~TMainForm() {
    // A run still going must not call into a window that is gone.
    RestartTimer->stop();
    ResumeTimer->stop();
    if (!StopRunForExit(10000)) {
        qWarning("The run driver did not end before the window was destroyed");
    }
}

void TMainForm::CreateControls() {
    // Where Tahoma is not installed, a narrow sans face keeps the texts within the designed
    // geometry; the wider default face would run labels into the fields beside them.
    QFont::insertSubstitutions(QStringLiteral("Tahoma"), {QStringLiteral("DejaVu Sans Condensed"),
                                                          QStringLiteral("Liberation Sans Narrow"),
                                                          QStringLiteral("Arial Narrow")});
    setWindowTitle(kCaption);
    setWindowIcon(QuorvaneIcon());
    setFont(QFont(QStringLiteral("Tahoma"), 8));
    setBackgroundRole(QPalette::Button);
    setAutoFillBackground(true);
    move(0, 0);
    resize(kDesignWidth, kDesignHeight);

    ProgressBar = Named(new QProgressBar(this), "ProgressBar");
    ProgressBar->setTextVisible(false);
    ProgressBar->setRange(0, 100);
    ProgressBar->setValue(0);
    ProgressBar->setStyleSheet(
        QStringLiteral("QProgressBar { border: 1px solid #a0a0a0; background: #ffffff; }"
                       "QProgressBar::chunk { background: qlineargradient(x1:0, y1:0, x2:1, y2:0,"
                       " stop:0 #008000, stop:1 #c0dcc0); margin: 0px; }"));

    LogsMemo = MakeMemo(this, "LogsMemo");
    Label2 = MakeLabel(this, "Label2", QStringLiteral("Логи"), 8, 229);

    StartButton = MakeButton(this, "StartButton", QStringLiteral("СТАРТ"), QRect(8, 8, 169, 37));
    StartButton->setFont(QFont(QStringLiteral("Tahoma"), 14));
    StopButton = MakeButton(this, "StopButton", QStringLiteral("стоп"), QRect(102, 51, 75, 25));
    PauseButton = MakeButton(this, "PauseButton", QStringLiteral("пауза"), QRect(8, 51, 75, 25));

    ResumeTimer = Named(new QTimer(this), "ResumeTimer");
    ResumeTimer->setInterval(Timing().resumeTimerMs);

    CheckBox1 = MakeCheckBox(this, "CheckBox1", QStringLiteral("Тестовая выгрузка"),
                             QRect(753, 75, 125, 17));

    JvTrayIcon1 = Named(new QSystemTrayIcon(QuorvaneIcon(), this), "JvTrayIcon1");
    JvTrayIcon1->setToolTip(QStringLiteral("Монитор протоколов уклонения с госзакупок"));

    Label1 = MakeLabel(this, "Label1", QStringLiteral("Контракты с отказами:"), 8, 79);
    ResultsMemo = MakeMemo(this, "ResultsMemo");
    Label5 = MakeLabel(this, "Label5", QStringLiteral("Дата заключения контракта, от:"), 191, 8);
    Label3 = MakeLabel(this, "Label3", QStringLiteral("до:"), 467, 8);
    DatePublishedPicker =
        MakeDatePicker(this, "DatePublishedPicker", QRect(368, 4, 93, 21), today_);
    DatePublishedPicker2 =
        MakeDatePicker(this, "DatePublishedPicker2", QRect(490, 4, 93, 21), today_);
    Label4 = MakeLabel(this, "Label4", QStringLiteral("Дата отказа, от:"), 275, 31);
    Label6 = MakeLabel(this, "Label6", QStringLiteral("до:"), 467, 32);
    RejectDatePicker = MakeDatePicker(this, "RejectDatePicker", QRect(368, 27, 93, 21), today_);
    RejectDatePicker2 = MakeDatePicker(this, "RejectDatePicker2", QRect(490, 28, 93, 21), today_);
    ProtocolsFilterCheckBox = MakeCheckBox(this, "ProtocolsFilterCheckBox", QStringLiteral("    "),
                                           QRect(255, 30, 36, 20));

    LimitEdit = Named(new QSpinBox(this), "LimitEdit");
    LimitEdit->setGeometry(747, 5, 46, 21);
    LimitEdit->setRange(INT_MIN, INT_MAX);
    LimitEdit->setSingleStep(10);
    LimitEdit->setValue(30);
    LimitEdit->setToolTip(QStringLiteral("Число потоков выгрузки"));

    Label7 = MakeLabel(this, "Label7", QStringLiteral("Число сканирующих потоков"), 592, 8);
    TendersCounterLabel =
        MakeLabel(this, "TendersCounterLabel", QStringLiteral("Найдено контрактов: "), 191, 80);

    RestartTimer = Named(new QTimer(this), "RestartTimer");
    RestartTimer->setInterval(Timing().restartTimerMs);

    RestartCheckBox = MakeCheckBox(this, "RestartCheckBox",
                                   QStringLiteral("Автозапуск нового поиска после завершения"),
                                   QRect(592, 30, 255, 20));
    ProxyCheckBox = MakeCheckBox(this, "ProxyCheckBox",
                                 QStringLiteral("Использовать прокси из файла proxy.txt"),
                                 QRect(191, 54, 231, 20));
    QLabel = MakeLabel(this, "QLabel", QStringLiteral("Отказов в очереди:  "), 370, 80);

    PlaceAnchoredControls();
    // Where the keyboard focus is until the window is shown.
    LimitEdit->setFocus();
}

void TMainForm::SetTabOrder() {
    const QList<QWidget*> order = {StartButton,
                                   DatePublishedPicker,
                                   DatePublishedPicker2,
                                   ProtocolsFilterCheckBox,
                                   RejectDatePicker,
                                   RejectDatePicker2,
                                   LimitEdit,
                                   CheckBox1,
                                   PauseButton,
                                   StopButton,
                                   LogsMemo,
                                   ResultsMemo,
                                   RestartCheckBox,
                                   ProxyCheckBox};
    for (qsizetype i = 1; i < order.size(); ++i) {
        QWidget::setTabOrder(order[i - 1], order[i]);
    }
}

void TMainForm::ConnectHandlers() {
    connect(StartButton, &QPushButton::clicked, this, &TMainForm::StartButtonClick);
    connect(StopButton, &QPushButton::clicked, this, &TMainForm::StopButtonClick);
    connect(PauseButton, &QPushButton::clicked, this, &TMainForm::PauseButtonClick);
    connect(ResumeTimer, &QTimer::timeout, this, &TMainForm::ResumeTimerTimer);
    connect(RestartTimer, &QTimer::timeout, this, &TMainForm::RestartTimerTimer);
    // clicked, unlike toggled, comes only from the operator.
    connect(CheckBox1, &QCheckBox::clicked, this, &TMainForm::CheckBox1Click);
    // The program sets the pickers with their signals blocked, so these are the operator's.
    connect(RejectDatePicker, &QDateEdit::dateChanged, this, &TMainForm::RejectDatePickerChange);
    connect(RejectDatePicker2, &QDateEdit::dateChanged, this, &TMainForm::RejectDatePicker2Change);
    connect(DatePublishedPicker2, &QDateEdit::dateChanged, this,
            [this] { publishedToFollowsToday_ = false; });
    connect(JvTrayIcon1, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                // A double click also arrives as single clicks first.
                if (reason == QSystemTrayIcon::Trigger) {
                    JvTrayIcon1Click();
                }
            });
    LogsMemo->installEventFilter(this);
    ResultsMemo->installEventFilter(this);
}

void TMainForm::PlaceAnchoredControls() {
    const int w = width();
    const int h = height();
    ProgressBar->setGeometry(0, h - kProgressHeight, w, kProgressHeight);
    // The log memo keeps its height and its distance to the bottom; its heading goes with it.
    LogsMemo->setGeometry(8, h - (kDesignHeight - 246), std::max(0, w - 16), 233);
    Label2->move(8, h - (kDesignHeight - 229));
    // The results memo takes up whatever the window grows by.
    ResultsMemo->setGeometry(8, 98, std::max(0, w - 16),
                             std::max(0, h - 98 - (kDesignHeight - 225)));
    CheckBox1->move(w - (kDesignWidth - 753), 75);
}

void TMainForm::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    PlaceAnchoredControls();
}

// --- Creation, showing, closing ---

void TMainForm::FormCreate() {
    SetQuietly(DatePublishedPicker, QDate(today_.year() - 1, 1, 1));
    SetQuietly(DatePublishedPicker2, today_);
    SetQuietly(RejectDatePicker, today_);
    SetQuietly(RejectDatePicker2, today_);
    ProtocolsFilterCheckBox->setChecked(false);
    LogsMemo->appendPlainText(
        QStringLiteral("Спасибо, что пользуетесь парсером от сервиса Pelorant!"));
}

void TMainForm::FormShow() {
    if (StartButton->isEnabled()) {
        StartButton->setFocus();
    }
    const IniFile ini(SettingsPath());
    RestartCheckBox->setChecked(ini.readBool(kSettingsSection, QStringLiteral("Restart"), false));
    ProxyCheckBox->setChecked(ini.readBool(kSettingsSection, QStringLiteral("Proxy"), false));
    LimitEdit->setValue(ini.readInteger(kSettingsSection, QStringLiteral("Limit"), 30));
}

void TMainForm::FormClose() {
    IniFile ini(SettingsPath());
    ini.writeBool(kSettingsSection, QStringLiteral("Restart"), RestartCheckBox->isChecked());
    ini.writeInteger(kSettingsSection, QStringLiteral("Limit"), LimitEdit->value());
    ini.writeBool(kSettingsSection, QStringLiteral("Proxy"), ProxyCheckBox->isChecked());
}

void TMainForm::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // Spontaneous show events come from the window system (a restore from the task bar); the
    // handler runs when the window itself becomes visible: at start-up and out of the tray.
    if (!event->spontaneous()) {
        FormShow();
    }
}

void TMainForm::closeEvent(QCloseEvent* event) {
    if (driverCallDepth_ > 0) {
        // The close arrived while a call of the run driver lets events through, and the driver
        // waits for that call: the run is asked to leave now, and the window closes once the
        // call has returned.
        if (RunActive()) {
            CurrentScraper->AbandonNetwork();
            CurrentScraper->Terminate();
        }
        closeDeferred_ = true;
        event->ignore();
        return;
    }
    FormClose();
    // No new run may begin while the program ends, and a run still going is ended in order so
    // that none of its files is left half written.
    RestartTimer->stop();
    ResumeTimer->stop();
    StopRunForExit(5000);
    event->accept();
    emit closed();
}

bool TMainForm::StopRunForExit(int timeoutMs) {
    if (RunActive()) {
        TScraper* run = CurrentScraper;
        run->AbandonNetwork();
        if (run->Held()) {
            run->Continue();
        }
        run->Terminate();
    }
    // The driver may be waiting for a call on this thread, so events go on being handled; it
    // frees itself through this thread's event loop once its thread has ended.
    QElapsedTimer clock;
    clock.start();
    while (CurrentScraper && clock.elapsed() < timeoutMs) {
        if (!CurrentScraper->Done() && CurrentScraper->Held()) {
            // A phase that failed while stopping holds the driver; it must still get out.
            CurrentScraper->Continue();
        }
        QEventLoop loop;
        QTimer::singleShot(10, &loop, &QEventLoop::quit);
        loop.exec();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return !CurrentScraper || CurrentScraper->isFinished();
}

// --- Run control ---

bool TMainForm::RunActive() const {
    return CurrentScraper && !CurrentScraper->Done();
}

void TMainForm::StartButtonClick() {
    if (RunActive()) {
        return;
    }
    if (ProxyCheckBox->isChecked() && !ProxyFileHasLines()) {
        return;
    }
    ShowTrayIcon();
    RestartTimer->stop();

    // Not started yet, so the driver waits until every input is set.
    auto* run = new TScraper(this);
    run->FreeOnTerminate = true;
    CurrentScraper = run;

    run->ProgramDir = options_.programDir;
    if (!options_.workDir.isEmpty()) {
        run->WorkDir = options_.workDir;
    }
    if (!options_.mutexName.isEmpty()) {
        run->MutexName = options_.mutexName;
    }
    run->ProxyChecked = ProxyCheckBox->isChecked();
    if (publishedToFollowsToday_) {
        SetQuietly(DatePublishedPicker2, CurrentDay());
    }
    run->PublishDateFrom = DatePublishedPicker->pickedDate();
    run->PublishDateTo = DatePublishedPicker2->pickedDate();
    run->RejectDateFrom = QDate();
    run->RejectDateTo = QDate();
    if (ProtocolsFilterCheckBox->isChecked()) {
        run->RejectDateFrom = RejectDatePicker->pickedDate();
        run->RejectDateTo = RejectDatePicker2->pickedDate();
    }
    run->start();
}

bool TMainForm::ProxyFileHasLines() {
    if (ProxyFileNamesAProxy(ProgramPath(QStringLiteral("proxy.txt")))) {
        return true;
    }
    LogWindowLine(kProxyFileEmpty);
    return false;
}

void TMainForm::StopButtonClick() {
    RestartTimer->stop();
    if (!RunActive()) {
        return;
    }
    if (CurrentScraper->Held()) {
        CurrentScraper->Continue();
    }
    CurrentScraper->Terminate();
    LogWindowLine(kStopping);
    ProgressBar->setValue(0);
}

void TMainForm::PauseButtonClick() {
    if (!RunActive()) {
        return;
    }
    if (CurrentScraper->Held()) {
        CurrentScraper->Continue();
        LogWindowLine(kPauseOff);
        return;
    }
    CurrentScraper->Hold();
    LogWindowLine(kPauseOn);
    // An operator's pause is not ended by a pending automatic resume.
    ResumeTimer->stop();
}

void TMainForm::ResumeTimerTimer() {
    ResumeTimer->stop();
    if (RunActive() && CurrentScraper->Held()) {
        CurrentScraper->Continue();
        LogWindowLine(kPauseOff);
    }
}

QDate TMainForm::CurrentDay() const {
    if (options_.currentDay) {
        return options_.currentDay();
    }
    return options_.today.isValid() ? options_.today : QDate::currentDate();
}

void TMainForm::RestartTimerTimer() {
    RestartTimer->stop();
    StartButtonClick();
}

void TMainForm::CheckBox1Click() {
    DatePublishedPicker->setPickedDate(QDate(2026, 1, 1));
    DatePublishedPicker2->setPickedDate(QDate(2026, 2, 1));
}

void TMainForm::RejectDatePickerChange() {
    ProtocolsFilterCheckBox->setChecked(true);
}

void TMainForm::RejectDatePicker2Change() {
    ProtocolsFilterCheckBox->setChecked(true);
}

// --- Memo keys ---

bool TMainForm::SelectAllOnCtrlA(QPlainTextEdit* memo, QKeyEvent* event) {
    if (event->key() != Qt::Key_A || !(event->modifiers() & Qt::ControlModifier)) {
        return false;
    }
    memo->selectAll();
    event->accept();
    return true;
}

void TMainForm::LogsMemoKeyDown(QKeyEvent* event) {
    SelectAllOnCtrlA(LogsMemo, event);
}

void TMainForm::ResultsMemoKeyDown(QKeyEvent* event) {
    SelectAllOnCtrlA(ResultsMemo, event);
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress && (watched == LogsMemo || watched == ResultsMemo)) {
        auto* key = static_cast<QKeyEvent*>(event);
        key->ignore();
        if (watched == LogsMemo) {
            LogsMemoKeyDown(key);
        } else {
            ResultsMemoKeyDown(key);
        }
        if (key->isAccepted()) {
            return true;
        }
        // Not the window's key: the memo gets it as delivered. Left ignored, a Tab that moved
        // the focus would go on to the window and move it a second time.
        key->accept();
    }
    return QWidget::eventFilter(watched, event);
}

// --- Tray and minimising ---

void TMainForm::ShowTrayIcon() {
    if (QSystemTrayIcon::isSystemTrayAvailable() && !JvTrayIcon1->isVisible()) {
        JvTrayIcon1->show();
    }
}

void TMainForm::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange) {
        return;
    }
    const auto* change = static_cast<QWindowStateChangeEvent*>(event);
    if (isVisible() && isMinimized() && !(change->oldState() & Qt::WindowMinimized)) {
        // Hiding from inside the state change confuses some window systems; do it right after.
        QTimer::singleShot(0, this, [this] {
            if (isVisible() && isMinimized()) {
                ApplicationEvents1Minimize();
            }
        });
    }
}

void TMainForm::ApplicationEvents1Minimize() {
    // Without a tray there is nowhere to bring the window back from: it stays minimised.
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        return;
    }
    ShowTrayIcon();
    hide();
    setWindowState(windowState() | Qt::WindowMinimized);
    if (JvTrayIcon1->isVisible() && QSystemTrayIcon::supportsMessages()) {
        JvTrayIcon1->showMessage(
            QStringLiteral("Внимание!"),
            QStringLiteral("Монитор односторонних отказов с госзакупок свёрнут сюда."),
            QSystemTrayIcon::NoIcon, 5000);
    }
}

void TMainForm::JvTrayIcon1Click() {
    if (!isVisible() || isMinimized()) {
        showNormal();
        raise();
        activateWindow();
        return;
    }
    ApplicationEvents1Minimize();
}

// --- The controls the run driver reports into ---

void TMainForm::LogWindowLine(const QString& text) {
    LogsMemo->appendPlainText(Stamp() + text);
}

int TMainForm::logLineCount() {
    const QTextDocument* document = LogsMemo->document();
    return document->isEmpty() ? 0 : document->blockCount();
}

void TMainForm::clearLog() {
    LogsMemo->clear();
}

void TMainForm::appendLog(const QString& line) {
    LogsMemo->appendPlainText(line);
}

QStringList TMainForm::logLines() {
    const QTextDocument* document = LogsMemo->document();
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

int TMainForm::threadCount() {
    return LimitEdit->value();
}

void TMainForm::setProgress(int maximum, int position, const QString& hint) {
    // A bar whose range is empty would show a busy animation instead of an empty bar.
    ProgressBar->setRange(0, std::max(1, maximum));
    ProgressBar->setValue(position);
    ProgressBar->setToolTip(hint);
}

void TMainForm::setCounters(const QString& tenders, const QString& queued) {
    TendersCounterLabel->setText(tenders);
    TendersCounterLabel->adjustSize();
    QLabel->setText(queued);
    QLabel->adjustSize();
}

void TMainForm::setRunControlsEnabled(bool enabled) {
    StartButton->setEnabled(enabled);
    CheckBox1->setEnabled(enabled);
}

bool TMainForm::restartChecked() {
    return RestartCheckBox->isChecked();
}

int TMainForm::startRestartTimer() {
    RestartTimer->setInterval(Timing().restartTimerMs);
    RestartTimer->start();
    return RestartTimer->interval();
}

void TMainForm::startResumeTimer(TScraper& /*run*/, int ms) {
    // The timer's handler continues the current run if it is still held.
    ResumeTimer->setInterval(ms);
    ResumeTimer->start();
}

bool TMainForm::testExportChecked() {
    return CheckBox1->isChecked();
}

void TMainForm::appendResult(const QString& line) {
    ResultsMemo->appendPlainText(line);
}

void TMainForm::showRejectBalloon(const QString& title, const QString& text) {
    if (JvTrayIcon1->isVisible() && QSystemTrayIcon::supportsMessages()) {
        JvTrayIcon1->showMessage(title, text, QSystemTrayIcon::Information, 5000);
    }
}

void TMainForm::processPendingEvents() {
    ++driverCallDepth_;
    QCoreApplication::processEvents();
    --driverCallDepth_;
    if (closeDeferred_ && driverCallDepth_ == 0) {
        closeDeferred_ = false;
        QTimer::singleShot(0, this, &QWidget::close);
    }
}

QString TMainForm::ProgramPath(const QString& name) const {
    return QDir(options_.programDir).filePath(name);
}

QString TMainForm::SettingsPath() const {
    return ProgramPath(QStringLiteral("settings.ini"));
}
