#include "fetch/LogSink.h"

#include <QMetaObject>
#include <QThread>

void CallOnSinkThread(LogSink& sink, std::function<void()> call) {
    QObject* context = sink.context();
    if (QThread::currentThread() == context->thread()) {
        call();
        return;
    }
    // Queued, not blocking: a run never waits on its face's thread, which may itself be busy
    // stopping that run.
    QMetaObject::invokeMethod(context, std::move(call), Qt::QueuedConnection);
}
