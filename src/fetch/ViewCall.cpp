#include <QMetaObject>
#include <QThread>

#include "fetch/LogSink.h"

void CallOnView(LogSink& view, const std::function<void()>& call) {
    QObject* context = view.context();
    if (QThread::currentThread() == context->thread()) {
        call();
        return;
    }
    QMetaObject::invokeMethod(context, call, Qt::BlockingQueuedConnection);
}
