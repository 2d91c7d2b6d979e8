#pragma once

#include <QDate>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <functional>

#include "scraper/ControlsRunView.h"
#include "scraper/Scraper.h"

class QCheckBox;
class QKeyEvent;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QSpinBox;
class QSystemTrayIcon;
class QTimer;
class TDatePicker;

// Where the window finds its files and what day it takes for today. The program uses the
// defaults; tests point them at a temporary folder and a fixed day.
struct TMainFormOptions {
    QString programDir;  // settings.ini and proxy.txt; empty: the program's directory
    QString workDir;     // have.txt and StartURL.txt of the runs; empty: the current directory
    QDate today;         // the date defaults; null: today
    // The day a run takes for today when the "to" contract date is left at its default;
    // empty: `today` when set, else the calendar's day.
    std::function<QDate()> currentDay;
    QString mutexName;  // the runs' named mutex; empty: the product's name
};

// The program's only window: the inputs of a run, run control (start, pause, stop, automatic
// restart), the tray icon, and the controls the run driver reports into.
class TMainForm : public QWidget, public ControlsRunView {
    Q_OBJECT
public:
    explicit TMainForm(TMainFormOptions options = {}, QWidget* parent = nullptr);
    ~TMainForm() override;

    QObject* context() override { return this; }

    // The controls, under their designer names (also their object names).
    QProgressBar* ProgressBar = nullptr;
    QPlainTextEdit* LogsMemo = nullptr;
    ::QLabel* Label2 = nullptr;
    QPushButton* StartButton = nullptr;
    QPushButton* StopButton = nullptr;
    QPushButton* PauseButton = nullptr;
    QTimer* ResumeTimer = nullptr;
    QCheckBox* CheckBox1 = nullptr;
    QSystemTrayIcon* JvTrayIcon1 = nullptr;
    ::QLabel* Label1 = nullptr;
    QPlainTextEdit* ResultsMemo = nullptr;
    ::QLabel* Label5 = nullptr;
    ::QLabel* Label3 = nullptr;
    TDatePicker* DatePublishedPicker = nullptr;
    TDatePicker* DatePublishedPicker2 = nullptr;
    ::QLabel* Label4 = nullptr;
    ::QLabel* Label6 = nullptr;
    TDatePicker* RejectDatePicker = nullptr;
    TDatePicker* RejectDatePicker2 = nullptr;
    QCheckBox* ProtocolsFilterCheckBox = nullptr;
    QSpinBox* LimitEdit = nullptr;
    ::QLabel* Label7 = nullptr;
    ::QLabel* TendersCounterLabel = nullptr;
    QTimer* RestartTimer = nullptr;
    QCheckBox* RestartCheckBox = nullptr;
    QCheckBox* ProxyCheckBox = nullptr;
    // The refusals-queued counter; the member shadows the class name, hence ::QLabel above.
    ::QLabel* QLabel = nullptr;

    // The run driver of the current run; null once it has freed itself.
    QPointer<TScraper> CurrentScraper;

    // Whether CurrentScraper refers to a run driver that exists and has not finished.
    bool RunActive() const;

    // Event handlers.
    void FormCreate();
    void FormShow();
    void FormClose();
    void StartButtonClick();
    void StopButtonClick();
    void PauseButtonClick();
    void ResumeTimerTimer();
    void RestartTimerTimer();
    void CheckBox1Click();
    void RejectDatePickerChange();
    void RejectDatePicker2Change();
    void LogsMemoKeyDown(QKeyEvent* event);
    void ResultsMemoKeyDown(QKeyEvent* event);
    void ApplicationEvents1Minimize();
    void JvTrayIcon1Click();

    // Stops a run that is still going so that the program can end: the driver is continued if
    // held, asked to leave (abandoning a network call in flight) and waited for, with the
    // window's events processed, for at most `timeoutMs`. True when no run is left.
    bool StopRunForExit(int timeoutMs);

    // Shows the tray icon if the system has a tray; from then on it stays shown.
    void ShowTrayIcon();

signals:
    // The window was closed by the operator (after its settings were saved).
    void closed();

protected:
    // The controls the run driver reports into.
    int logLineCount() override;
    void clearLog() override;
    void appendLog(const QString& line) override;
    QStringList logLines() override;
    int threadCount() override;
    void setProgress(int maximum, int position, const QString& hint) override;
    void setCounters(const QString& tenders, const QString& queued) override;
    void setRunControlsEnabled(bool enabled) override;
    bool restartChecked() override;
    int startRestartTimer() override;
    void startResumeTimer(TScraper& run, int ms) override;
    bool testExportChecked() override;
    void appendResult(const QString& line) override;
    void showRejectBalloon(const QString& title, const QString& text) override;
    void processPendingEvents() override;

    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void CreateControls();
    void SetTabOrder();
    void ConnectHandlers();
    void PlaceAnchoredControls();
    // A line the window writes itself: the stamp followed directly by `text` (": ...").
    void LogWindowLine(const QString& text);
    bool ProxyFileHasLines();
    QString SettingsPath() const;
    QString ProgramPath(const QString& name) const;
    bool SelectAllOnCtrlA(QPlainTextEdit* memo, QKeyEvent* event);
    QDate CurrentDay() const;

    TMainFormOptions options_;
    QDate today_;
    // The "to" contract date still holds its default: each run moves it to the current day, so
    // a watch left running for weeks keeps seeing new contracts.
    bool publishedToFollowsToday_ = true;
    // Calls of the run driver that are letting the window's events through right now.
    int driverCallDepth_ = 0;
    bool closeDeferred_ = false;
};
