#pragma once
// The Qt main thread as a base::Executor, for the kits and base timers.
#include <deque>
#include <mutex>

#include "base/Executor.h"

class MainQueue : public base::Executor {
public:
    static MainQueue& shared();
    void post(base::Task task) override;  // queued to the main thread's event loop
    bool isCurrent() const override;

private:
    void runNext();
    void discardPending();

    std::mutex mutex_;
    // The tasks wait here, not in Qt's event queue: what is still waiting
    // when the application goes is let go of by us, outside Qt's locks.
    std::deque<base::Task> tasks_;
    const void* postRoutineFor_ = nullptr;
};

// Runs `task` on the main thread: inline when already there.
void runOnMainThread(base::Task task);
