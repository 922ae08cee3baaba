#include "core/MainQueue.h"

#include <QCoreApplication>
#include <QThread>

#include "base/Log.h"

MainQueue& MainQueue::shared() {
    static MainQueue* queue = new MainQueue();
    return *queue;
}

void MainQueue::post(base::Task task) {
    auto* app = QCoreApplication::instance();
    if (!app) {
        spdlog::error("MainQueue: no application object, a task was dropped");
        return;
    }
    QMetaObject::invokeMethod(app, std::move(task), Qt::QueuedConnection);
}

bool MainQueue::isCurrent() const {
    auto* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

void runOnMainThread(base::Task task) {
    if (MainQueue::shared().isCurrent()) task();
    else MainQueue::shared().post(std::move(task));
}
