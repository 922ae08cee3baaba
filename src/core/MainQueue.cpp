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
    bool addPostRoutine = false;
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
        addPostRoutine = postRoutineFor_ != app;
        postRoutineFor_ = app;
    }
    if (addPostRoutine) qAddPostRoutine([] { MainQueue::shared().discardPending(); });
    // The event carries nothing of the task. Tasks that never ran are
    // otherwise destroyed by Qt while it holds its event-queue lock as the
    // application goes, and a task whose captures post an event on their way
    // out (a deleteLater in a destructor) would wait on that lock for ever.
    QMetaObject::invokeMethod(app, [] { MainQueue::shared().runNext(); }, Qt::QueuedConnection);
}

void MainQueue::runNext() {
    base::Task task;
    {
        std::lock_guard lock(mutex_);
        if (tasks_.empty()) return;
        task = std::move(tasks_.front());
        tasks_.pop_front();
    }
    task();
}

void MainQueue::discardPending() {
    // Destroying a task may post another; each round lets go of what came
    // meanwhile.
    for (int round = 0; round < 16; ++round) {
        std::deque<base::Task> left;
        {
            std::lock_guard lock(mutex_);
            postRoutineFor_ = nullptr;  // a later application registers again
            if (tasks_.empty()) return;
            left.swap(tasks_);
        }
        spdlog::info("MainQueue: {} task(s) left unrun at quit", left.size());
    }
}

bool MainQueue::isCurrent() const {
    auto* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

void runOnMainThread(base::Task task) {
    if (MainQueue::shared().isCurrent()) task();
    else MainQueue::shared().post(std::move(task));
}
