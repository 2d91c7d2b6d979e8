#include "fetch/LogSink.h"

#include <QMetaObject>
#include <QThread>

void CallOnSinkThread(LogSink& sink, const std::function<void()>& call) {
    QObject* context = sink.context();
    if (QThread::currentThread() == context->thread()) {
        call();
        return;
    }
    QMetaObject::invokeMethod(context, call, Qt::BlockingQueuedConnection);
}
