#pragma once

#include <QObject>
#include <QString>
#include <functional>

// Where fetch workers and notices write their log lines: the part of a run's events
// that the layers below the run driver may use. Calls run on the sink's thread (the thread of
// context()) in the order they were made; the caller never waits for them.
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

// Runs `call` on the sink's thread: at once when called there, else queued behind the calls
// made before it. `call` may run after the caller has moved on, so it holds values, not
// references to the caller's state.
void CallOnSinkThread(LogSink& sink, std::function<void()> call);
