#pragma once
// Runs work off the interface thread and hands its result back there, to a
// receiver that may be gone by then (the result is then dropped).
#include <QFutureWatcher>
#include <QObject>
#include <QtConcurrent/QtConcurrentRun>

#include <functional>
#include <utility>

template <class Work, class Done>
void runInBackground(QObject* context, Work&& work, Done&& done) {
    using R = std::invoke_result_t<Work>;
    auto* watcher = new QFutureWatcher<R>(context);
    QObject::connect(watcher, &QFutureWatcherBase::finished, context,
                     [watcher, done = std::forward<Done>(done)]() mutable {
                         if constexpr (std::is_void_v<R>) {
                             done();
                         } else {
                             done(watcher->result());
                         }
                         watcher->deleteLater();
                     });
    watcher->setFuture(QtConcurrent::run(std::forward<Work>(work)));
}
