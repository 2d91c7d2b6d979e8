// The window's controls: their creation, tab order and places as the window is resized.
#include <QCheckBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QSystemTrayIcon>
#include <algorithm>
#include <climits>

#include "app/AppIcon.h"
#include "app/DatePicker.h"
#include "app/MainWindow.h"
#include "app/WindowCaption.h"
#include "store/SettingsFile.h"

namespace {

// The designed client area; anchored controls keep their distances to its edges.
constexpr int kDesignWidth = 886;
constexpr int kDesignHeight = 502;
constexpr int kProgressHeight = 17;

template <typename T>
T* Named(T* widget, const char* name) {
    widget->setObjectName(QString::fromLatin1(name));
    return widget;
}

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text, int left, int top) {
    auto* label = Named(new QLabel(text, parent), name);
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

DatePicker* MakeDatePicker(QWidget* parent, const char* name, const QRect& geometry,
                           const QDate& today) {
    auto* picker = Named(new DatePicker(parent), name);
    picker->setGeometry(geometry);
    picker->setToday(today);
    return picker;
}

QPlainTextEdit* MakeTextView(QWidget* parent, const char* name) {
    auto* view = Named(new QPlainTextEdit(parent), name);
    view->setLineWrapMode(QPlainTextEdit::NoWrap);
    view->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    view->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // The log and results views are read, not typed into: Tab goes on along the tab order.
    view->setTabChangesFocus(true);
    return view;
}
}  // namespace

void MainWindow::CreateControls() {
    // Where Tahoma is not installed, a narrow sans face keeps the texts within the designed
    // geometry; the wider default face would run labels into the fields beside them.
    QFont::insertSubstitutions(QStringLiteral("Tahoma"), {QStringLiteral("DejaVu Sans Condensed"),
                                                          QStringLiteral("Liberation Sans Narrow"),
                                                          QStringLiteral("Arial Narrow")});
    setWindowTitle(WindowCaption());
    setWindowIcon(QuorvaneIcon());
    setFont(QFont(QStringLiteral("Tahoma"), 8));
    setBackgroundRole(QPalette::Button);
    setAutoFillBackground(true);
    move(0, 0);
    resize(kDesignWidth, kDesignHeight);

    progressBar = Named(new QProgressBar(this), "progressBar");
    progressBar->setTextVisible(false);
    progressBar->setRange(0, 100);
    progressBar->setValue(0);
    progressBar->setStyleSheet(
        QStringLiteral("QProgressBar { border: 1px solid #a0a0a0; background: #ffffff; }"
                       "QProgressBar::chunk { background: qlineargradient(x1:0, y1:0, x2:1, y2:0,"
                       " stop:0 #008000, stop:1 #c0dcc0); margin: 0px; }"));

    logView = MakeTextView(this, "logView");
    logLabel = MakeLabel(this, "logLabel", QStringLiteral("Логи"), 8, 229);

    startButton = MakeButton(this, "startButton", QStringLiteral("СТАРТ"), QRect(8, 8, 169, 37));
    startButton->setFont(QFont(QStringLiteral("Tahoma"), 14));
    stopButton = MakeButton(this, "stopButton", QStringLiteral("стоп"), QRect(102, 51, 75, 25));
    pauseButton = MakeButton(this, "pauseButton", QStringLiteral("пауза"), QRect(8, 51, 75, 25));

    resumeTimer = watch_->resumeTimer();

    testExportBox = MakeCheckBox(this, "testExportBox", QStringLiteral("Тестовая выгрузка"),
                                 QRect(753, 75, 125, 17));

    trayIcon = Named(new QSystemTrayIcon(QuorvaneIcon(), this), "trayIcon");
    trayIcon->setToolTip(kTrayHint);

    refusedContractsLabel =
        MakeLabel(this, "refusedContractsLabel", QStringLiteral("Контракты с отказами:"), 8, 79);
    resultsView = MakeTextView(this, "resultsView");
    contractDatesLabel = MakeLabel(this, "contractDatesLabel",
                                   QStringLiteral("Дата заключения контракта, от:"), 191, 8);
    contractToLabel = MakeLabel(this, "contractToLabel", QStringLiteral("до:"), 467, 8);
    contractFromPicker = MakeDatePicker(this, "contractFromPicker", QRect(368, 4, 93, 21), today_);
    contractToPicker = MakeDatePicker(this, "contractToPicker", QRect(490, 4, 93, 21), today_);
    refusalDatesLabel =
        MakeLabel(this, "refusalDatesLabel", QStringLiteral("Дата отказа, от:"), 275, 31);
    refusalToLabel = MakeLabel(this, "refusalToLabel", QStringLiteral("до:"), 467, 32);
    refusalFromPicker = MakeDatePicker(this, "refusalFromPicker", QRect(368, 27, 93, 21), today_);
    refusalToPicker = MakeDatePicker(this, "refusalToPicker", QRect(490, 28, 93, 21), today_);
    refusalFilterBox =
        MakeCheckBox(this, "refusalFilterBox", QStringLiteral("    "), QRect(255, 30, 36, 20));

    threadCountEdit = Named(new QSpinBox(this), "threadCountEdit");
    threadCountEdit->setGeometry(747, 5, 46, 21);
    threadCountEdit->setRange(INT_MIN, INT_MAX);
    threadCountEdit->setSingleStep(10);
    threadCountEdit->setValue(settings_file::kDefaultThreadLimit);
    threadCountEdit->setToolTip(QStringLiteral("Число потоков выгрузки"));

    threadCountLabel =
        MakeLabel(this, "threadCountLabel", QStringLiteral("Число сканирующих потоков"), 592, 8);
    contractsFoundLabel =
        MakeLabel(this, "contractsFoundLabel", QStringLiteral("Найдено контрактов: "), 191, 80);

    restartTimer = watch_->restartTimer();

    restartBox = MakeCheckBox(this, "restartBox",
                              QStringLiteral("Автозапуск нового поиска после завершения"),
                              QRect(592, 30, 255, 20));
    proxyBox =
        MakeCheckBox(this, "proxyBox", QStringLiteral("Использовать прокси из файла proxy.txt"),
                     QRect(191, 54, 231, 20));
    refusalsQueuedLabel =
        MakeLabel(this, "refusalsQueuedLabel", QStringLiteral("Отказов в очереди:  "), 370, 80);

    PlaceAnchoredControls();
    // Where the keyboard focus is until the window is shown.
    threadCountEdit->setFocus();
}

void MainWindow::SetTabOrder() {
    const QList<QWidget*> order = {
        startButton,     contractFromPicker, contractToPicker, refusalFilterBox, refusalFromPicker,
        refusalToPicker, threadCountEdit,    testExportBox,    pauseButton,      stopButton,
        logView,         resultsView,        restartBox,       proxyBox};
    for (qsizetype i = 1; i < order.size(); ++i) {
        QWidget::setTabOrder(order[i - 1], order[i]);
    }
}

void MainWindow::PlaceAnchoredControls() {
    const int w = width();
    const int h = height();
    progressBar->setGeometry(0, h - kProgressHeight, w, kProgressHeight);
    // The log view keeps its height and its distance to the bottom; its heading goes with it.
    logView->setGeometry(8, h - (kDesignHeight - 246), std::max(0, w - 16), 233);
    logLabel->move(8, h - (kDesignHeight - 229));
    // The results view takes up whatever the window grows by.
    resultsView->setGeometry(8, 98, std::max(0, w - 16),
                             std::max(0, h - 98 - (kDesignHeight - 225)));
    testExportBox->move(w - (kDesignWidth - 753), 75);
}

void MainWindow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    PlaceAnchoredControls();
}
