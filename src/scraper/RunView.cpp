#include "scraper/RunView.h"

#include <QMetaObject>
#include <QThread>

void CallOnView(RunView& view, const std::function<void()>& call) {
    QObject* context = view.context();
    if (QThread::currentThread() == context->thread()) {
        call();
        return;
    }
    QMetaObject::invokeMethod(context, call, Qt::BlockingQueuedConnection);
}
