#pragma once

#include <QDate>
#include <QString>
#include <QWidget>
#include <functional>
#include <memory>

#include "run/RunReport.h"
#include "run/RunWatch.h"

class QCheckBox;
class QKeyEvent;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QSpinBox;
class QSystemTrayIcon;
class QTimer;
class DatePicker;

// Where the window finds its files and what day it takes for today. The program uses the
// defaults; tests point them at a temporary folder and a fixed day.
struct MainWindowOptions {
    QString programDir;  // settings.ini and proxy.txt; empty: the program's directory
    QString workDir;     // have.txt and StartURL.txt of the runs; empty: the current directory
    QDate today;         // the date defaults; null: today
    // The day a run takes for today when the "to" contract date is left at its default;
    // empty: `today` when set, else the calendar's day.
    std::function<QDate()> currentDay;
    QString mutexName;  // the runs' named mutex; empty: the product's name
};

// The program's only window: the inputs of a run, run control (start, pause, stop, automatic
// restart) through its watch, the tray icon, and the controls the runs report into.
class MainWindow : public QWidget, public RunReport {
    Q_OBJECT
public:
    explicit MainWindow(MainWindowOptions options = {}, QWidget* parent = nullptr);
    ~MainWindow() override;

    QObject* context() override { return this; }

    // The controls; each one's object name is its member name.
    QProgressBar* progressBar = nullptr;
    QPlainTextEdit* logView = nullptr;
    QLabel* logLabel = nullptr;
    QPushButton* startButton = nullptr;
    QPushButton* stopButton = nullptr;
    QPushButton* pauseButton = nullptr;
    // The watch's timer that ends a failed phase's pause.
    QTimer* resumeTimer = nullptr;
    QCheckBox* testExportBox = nullptr;
    QSystemTrayIcon* trayIcon = nullptr;
    // The tray's hover hint while the portal is seen; a run that did not see it adds a line.
    static inline const QString kTrayHint =
        QStringLiteral("Монитор протоколов уклонения с госзакупок");
    QLabel* refusedContractsLabel = nullptr;
    QPlainTextEdit* resultsView = nullptr;
    QLabel* contractDatesLabel = nullptr;
    QLabel* contractToLabel = nullptr;
    DatePicker* contractFromPicker = nullptr;
    DatePicker* contractToPicker = nullptr;
    QLabel* refusalDatesLabel = nullptr;
    QLabel* refusalToLabel = nullptr;
    DatePicker* refusalFromPicker = nullptr;
    DatePicker* refusalToPicker = nullptr;
    QCheckBox* refusalFilterBox = nullptr;
    QSpinBox* threadCountEdit = nullptr;
    QLabel* threadCountLabel = nullptr;
    QLabel* contractsFoundLabel = nullptr;
    // The watch's timer of the automatic restart.
    QTimer* restartTimer = nullptr;
    QCheckBox* restartBox = nullptr;
    QCheckBox* proxyBox = nullptr;
    QLabel* refusalsQueuedLabel = nullptr;

    // Starts, steps and repeats the runs; the restart box sets whether it repeats them.
    RunWatch& Watch() { return *watch_; }

    // What the operator's actions set off.
    // The dates and the greeting of a new window.
    void SetDefaults();
    // settings.ini is read each time the window is shown and written when it is closed.
    void LoadSettings();
    void SaveSettings();
    void StartRun();
    void StopRun();
    void TogglePause();
    void FillTestExportDates();
    // A refusal date changed by the operator switches the refusal filter on.
    void TickRefusalFilter();
    void MinimizeToTray();
    // Brings the window back from the tray, or sends it there.
    void ToggleFromTray();

    // Shows the tray icon if the system has a tray; from then on it stays shown.
    void ShowTrayIcon();

signals:
    // The window was closed by the operator (after its settings were saved).
    void closed();

protected:
    // The controls the runs report into.
    int logLineCount() override;
    void clearLog() override;
    void appendLog(const QString& line) override;
    QStringList logLines() override;
    void setProgress(int maximum, int position, const QString& hint) override;
    void setCounters(const QString& contracts, const QString& queued) override;
    void setRunControlsEnabled(bool enabled) override;
    void appendResult(const QString& line) override;
    void showRefusalBalloon(const QString& title, const QString& text) override;

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
    // What the operator chose for the next run.
    RunChoice Choice() const;
    QString SettingsPath() const;
    QString ProgramPath(const QString& name) const;
    bool SelectAllOnCtrlA(QPlainTextEdit* view, QKeyEvent* event);
    QDate CurrentDay() const;

    MainWindowOptions options_;
    QDate today_;
    // The "to" contract date still holds its default: each run moves it to the current day, so
    // a watch left running for weeks keeps seeing new contracts.
    bool contractToFollowsToday_ = true;
    std::unique_ptr<RunWatch> watch_;
};
