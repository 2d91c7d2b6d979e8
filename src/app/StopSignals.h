#pragma once

#include <QObject>

class QSocketNotifier;

// SIGTERM and SIGINT as a Qt signal on the thread that creates this (through a pipe, the one
// thing a signal handler may safely touch). A second signal ends the process at once. One per
// process.
class StopSignals : public QObject {
    Q_OBJECT
public:
    explicit StopSignals(QObject* parent = nullptr);
    ~StopSignals() override;

signals:
    void stopRequested();

private:
    QSocketNotifier* notifier_ = nullptr;
};
