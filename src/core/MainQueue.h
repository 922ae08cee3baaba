#pragma once
// The Qt main thread as a base::Executor, for the kits and base timers.
#include "base/Executor.h"

class MainQueue : public base::Executor {
public:
    static MainQueue& shared();
    void post(base::Task task) override;  // queued to the main thread's event loop
    bool isCurrent() const override;
};

// Runs `task` on the main thread: inline when already there.
void runOnMainThread(base::Task task);
