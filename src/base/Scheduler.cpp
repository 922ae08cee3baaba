#include "base/Scheduler.h"

#include <pthread.h>
#include <algorithm>

namespace base {

std::shared_ptr<SystemTimeSource> SystemTimeSource::shared() {
    static auto clock = std::make_shared<SystemTimeSource>();
    return clock;
}

TimePoint ManualTimeSource::now() const {
    std::lock_guard lock(mutex_);
    return now_;
}

void ManualTimeSource::advance(Duration by) {
    std::vector<Scheduler*> schedulers;
    {
        std::lock_guard lock(mutex_);
        now_ += by;
        schedulers = schedulers_;
    }
    for (auto* s : schedulers) s->runDue();
}

void ManualTimeSource::attach(Scheduler* s) {
    std::lock_guard lock(mutex_);
    schedulers_.push_back(s);
}

void ManualTimeSource::detach(Scheduler* s) {
    std::lock_guard lock(mutex_);
    schedulers_.erase(std::remove(schedulers_.begin(), schedulers_.end(), s), schedulers_.end());
}

Scheduler::Scheduler(std::shared_ptr<TimeSource> clock) : clock_(std::move(clock)) {
    manual_ = dynamic_cast<ManualTimeSource*>(clock_.get());
    if (manual_) manual_->attach(this);
    else thread_ = std::thread([this] {
        pthread_setname_np(pthread_self(), "scheduler");
        loop();
    });
}

Scheduler::~Scheduler() {
    if (manual_) manual_->detach(this);
    stop();
}

void Scheduler::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        for (auto& [id, t] : timers_) t.cancelled->store(true);
        timers_.clear();
    }
    cv_.notify_all();
    if (thread_.joinable()) {
        if (thread_.get_id() == std::this_thread::get_id()) thread_.detach();
        else thread_.join();
    }
}

Scheduler& Scheduler::shared() {
    static Scheduler* s = new Scheduler();
    return *s;
}

Scheduler::TimerId Scheduler::after(Duration delay, Executor* executor, Task task) {
    std::lock_guard lock(mutex_);
    TimerId id = nextId_++;
    timers_[id] = Timer{clock_->now() + delay, {}, false, executor, std::make_shared<Task>(std::move(task)),
                        std::make_shared<std::atomic<bool>>(false)};
    cv_.notify_all();
    return id;
}

Scheduler::TimerId Scheduler::every(Duration interval, Executor* executor, Task task) {
    std::lock_guard lock(mutex_);
    TimerId id = nextId_++;
    if (interval <= Duration::zero()) interval = std::chrono::milliseconds(1);
    timers_[id] = Timer{clock_->now() + interval, interval, true, executor, std::make_shared<Task>(std::move(task)),
                        std::make_shared<std::atomic<bool>>(false)};
    cv_.notify_all();
    return id;
}

bool Scheduler::cancel(TimerId id) {
    std::lock_guard lock(mutex_);
    auto it = timers_.find(id);
    if (it == timers_.end()) return false;
    it->second.cancelled->store(true);
    timers_.erase(it);
    return true;
}

bool Scheduler::isPending(TimerId id) {
    std::lock_guard lock(mutex_);
    return timers_.count(id) > 0;
}

std::size_t Scheduler::pendingCount() {
    std::lock_guard lock(mutex_);
    return timers_.size();
}

void Scheduler::runDue() {
    for (;;) {
        TimerId id = 0;
        Executor* executor = nullptr;
        std::shared_ptr<Task> task;
        std::shared_ptr<std::atomic<bool>> cancelled;
        bool oneShot = false;
        {
            std::lock_guard lock(mutex_);
            if (stopping_) return;
            auto now = clock_->now();
            auto due = timers_.end();
            for (auto it = timers_.begin(); it != timers_.end(); ++it) {
                if (it->second.inFlight || it->second.deadline > now) continue;
                if (due == timers_.end() || it->second.deadline < due->second.deadline) due = it;
            }
            if (due == timers_.end()) return;
            id = due->first;
            executor = due->second.executor;
            task = due->second.task;
            cancelled = due->second.cancelled;
            if (due->second.repeating) {
                due->second.deadline += due->second.interval;
                // A timer that fell far behind skips the ticks it missed.
                if (due->second.deadline <= now) due->second.deadline = now + due->second.interval;
            } else {
                due->second.inFlight = true;
                oneShot = true;
            }
        }
        // A timer cancelled after it came due but before its executor ran it
        // does not fire.
        dispatch(executor, [this, id, task, cancelled, oneShot] {
            if (cancelled->load()) return;
            if (oneShot) {
                std::lock_guard lock(mutex_);
                timers_.erase(id);
            }
            (*task)();
        });
    }
}

void Scheduler::loop() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (timers_.empty()) {
            cv_.wait(lock);
            continue;
        }
        TimePoint next = TimePoint::max();
        for (auto& [id, t] : timers_)
            if (!t.inFlight) next = std::min(next, t.deadline);
        if (next == TimePoint::max()) {
            cv_.wait(lock);
            continue;
        }
        if (clock_->now() < next) {
            cv_.wait_until(lock, next);
            continue;
        }
        lock.unlock();
        runDue();
        lock.lock();
    }
}

}  // namespace base
