#pragma once
// Delayed calls and repeating timers whose clock tests can replace.
#include <chrono>
#include <cstdint>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <condition_variable>
#include <vector>

#include "base/Executor.h"

namespace base {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;
using Duration = Clock::duration;

class TimeSource {
public:
    virtual ~TimeSource() = default;
    virtual TimePoint now() const = 0;
};

class SystemTimeSource : public TimeSource {
public:
    TimePoint now() const override { return Clock::now(); }
    static std::shared_ptr<SystemTimeSource> shared();
};

class Scheduler;

// A clock that moves only when told: advancing it fires every timer that
// came due, in deadline order, on the calling thread's dispatch.
class ManualTimeSource : public TimeSource {
public:
    TimePoint now() const override;
    void advance(Duration by);
    void attach(Scheduler* s);
    void detach(Scheduler* s);

private:
    mutable std::mutex mutex_;
    TimePoint now_ = TimePoint{} + std::chrono::hours(1);
    std::vector<Scheduler*> schedulers_;
};

class Scheduler {
public:
    using TimerId = std::uint64_t;

    explicit Scheduler(std::shared_ptr<TimeSource> clock = SystemTimeSource::shared());
    ~Scheduler();
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    // Runs `task` on `executor` (inline on the timer thread when null) after `delay`.
    TimerId after(Duration delay, Executor* executor, Task task);
    // Runs `task` every `interval`, the first time after one interval.
    TimerId every(Duration interval, Executor* executor, Task task);
    // A cancelled timer never fires again; false when it was not pending.
    bool cancel(TimerId id);
    bool isPending(TimerId id);
    std::size_t pendingCount();
    // Cancels every timer and ends the timer thread, waiting for a task it is
    // running; timers added afterwards never fire.
    void stop();

    TimeSource& clock() { return *clock_; }
    // Fires every timer due at the clock's present time (used by ManualTimeSource).
    void runDue();
    static Scheduler& shared();

private:
    struct Timer {
        TimePoint deadline;
        Duration interval{};
        bool repeating = false;
        Executor* executor = nullptr;
        std::shared_ptr<Task> task;
        std::shared_ptr<std::atomic<bool>> cancelled;
        bool inFlight = false;  // a one-shot handed to its executor, not yet run
    };
    void loop();
    std::shared_ptr<TimeSource> clock_;
    ManualTimeSource* manual_ = nullptr;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::map<TimerId, Timer> timers_;
    TimerId nextId_ = 1;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace base
