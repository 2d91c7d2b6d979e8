#pragma once

#include <QObject>
#include <QString>
#include <functional>

// Where fetch workers and notices write their log lines: the part of a run's events
// that the layers below the run driver may use. Calls run on the sink's thread (the thread of
// context()) while the caller waits.
class LogSink {
public:
    virtual ~LogSink() = default;

    // An object living on the sink's thread; calls are delivered to it.
    virtual QObject* context() = 0;

    // A stamped line from a worker or a notice; never empties the log.
    virtual void WriteLog(const QString& text) = 0;
    // A line as it stands, without a stamp.
    virtual void AppendRawLine(const QString& line) = 0;
};

// Runs `call` on the sink's thread and waits until it has returned.
void CallOnSinkThread(LogSink& sink, const std::function<void()>& call);
