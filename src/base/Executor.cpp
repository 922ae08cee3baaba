#include "base/Executor.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include <spdlog/spdlog.h>

namespace base {

namespace {
thread_local const void* tCurrentExecutor = nullptr;

void nameThread(const std::string& name) {
    std::string shortName = name.size() > 15 ? name.substr(name.size() - 15) : name;
    pthread_setname_np(pthread_self(), shortName.c_str());
}

QueueLabelSlot gQueueLabels[kQueueLabelSlotCount];

// Holds a slot of the label table for as long as the thread runs its queue.
// A thread that finds every slot taken simply goes unlabelled.
class QueueLabel {
public:
    explicit QueueLabel(const std::string& label) {
        const auto tid = static_cast<std::int32_t>(::gettid());
        for (auto& candidate : gQueueLabels) {
            std::int32_t free = 0;
            if (candidate.tid.load(std::memory_order_relaxed) == 0 && candidate.tid.compare_exchange_strong(free, tid)) {
                candidate.label.store(label.c_str());
                slot_ = &candidate;
                return;
            }
        }
    }
    ~QueueLabel() {
        if (!slot_) return;
        slot_->label.store(nullptr);
        slot_->tid.store(0);
    }
    QueueLabel(const QueueLabel&) = delete;
    QueueLabel& operator=(const QueueLabel&) = delete;

private:
    QueueLabelSlot* slot_ = nullptr;
};
}  // namespace

const QueueLabelSlot* queueLabelSlots() { return gQueueLabels; }

// What a queue's thread uses. The thread holds it by shared pointer, so a
// queue destroyed from its own task leaves the thread nothing freed to touch.
struct SerialQueue::State {
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<Task> tasks;
    bool stopping = false;
};

struct ThreadPool::State {
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<Task> tasks;
    bool stopping = false;
};

namespace {

// Runs tasks until the owner stops the queue and nothing is left. The state
// is also what isCurrent() compares with: it lives as long as the thread, so
// no later queue can take its address while a task still asks.
template <class State>
void runQueue(const std::shared_ptr<State>& state) {
    tCurrentExecutor = state.get();
    for (;;) {
        Task task;
        {
            std::unique_lock lock(state->mutex);
            state->cv.wait(lock, [&] { return state->stopping || !state->tasks.empty(); });
            if (state->tasks.empty()) return;  // stopping and drained
            task = std::move(state->tasks.front());
            state->tasks.pop_front();
        }
        if (task) task();
    }
}

template <class State>
void stopQueue(State& state) {
    {
        std::lock_guard lock(state.mutex);
        state.stopping = true;
    }
    state.cv.notify_all();
}

// Notifies under the lock: once it is released the task may run, and its
// running may let the owner destroy the queue, so the poster must touch
// nothing of the state after the unlock.
template <class State>
void postTo(State& state, Task task) {
    std::lock_guard lock(state.mutex);
    state.tasks.push_back(std::move(task));
    state.cv.notify_one();
}

}  // namespace

SerialQueue::SerialQueue(std::string name) : name_(std::move(name)), state_(std::make_shared<State>()) {
    thread_ = std::thread([state = state_, name = name_] {
        nameThread(name);
        QueueLabel label(name);
        runQueue(state);
    });
}

SerialQueue::~SerialQueue() {
    stopQueue(*state_);
    if (thread_.joinable()) {
        if (thread_.get_id() == std::this_thread::get_id()) thread_.detach();
        else thread_.join();
    }
}

void SerialQueue::post(Task task) { postTo(*state_, std::move(task)); }

bool SerialQueue::isCurrent() const { return tCurrentExecutor == state_.get(); }

void SerialQueue::sync(const Task& task) {
    if (isCurrent()) {
        task();
        return;
    }
    std::promise<void> done;
    auto future = done.get_future();
    post([&] {
        task();
        done.set_value();
    });
    future.wait();
}

void SerialQueue::drain() { sync([] {}); }

ThreadPool::ThreadPool(std::size_t threads, std::string name)
    : name_(std::move(name)), state_(std::make_shared<State>()) {
    if (threads == 0) threads = std::max(2u, std::thread::hardware_concurrency());
    for (std::size_t i = 0; i < threads; ++i)
        workers_.emplace_back([state = state_, name = name_, number = i + 1] {
            // The number stays when a long name is cut to the system's 15 bytes.
            const std::string suffix = "-" + std::to_string(number);
            std::string stem = name.substr(0, 15 - std::min<std::size_t>(suffix.size(), 15));
            while (!stem.empty() && (stem.back() == '-' || stem.back() == '.' || stem.back() == '_')) stem.pop_back();
            nameThread(stem + suffix);
            QueueLabel label(name);
            runQueue(state);
        });
}

ThreadPool::~ThreadPool() {
    stopQueue(*state_);
    for (auto& t : workers_) {
        if (t.get_id() == std::this_thread::get_id()) t.detach();
        else if (t.joinable()) t.join();
    }
}

void ThreadPool::post(Task task) { postTo(*state_, std::move(task)); }

bool ThreadPool::isCurrent() const { return tCurrentExecutor == state_.get(); }

// Holds the logger the shared pool's workers may still use at exit; a
// global, so that nothing takes it for a leak.
std::shared_ptr<spdlog::logger>* keptForTheWorkers = nullptr;

ThreadPool& ThreadPool::shared() {
    // Never destroyed: work may run at exit. Such work may also log after
    // the logging library has let its loggers go with the other statics, so
    // the default logger of the time is kept, with its sinks, to the end.
    static ThreadPool* pool = [] {
        keptForTheWorkers = new std::shared_ptr<spdlog::logger>(spdlog::default_logger());
        return new ThreadPool();
    }();
    return *pool;
}

void ManualExecutor::post(Task task) {
    // Notify under the lock: the pumping thread may destroy the executor as
    // soon as it sees the task, so nothing may touch it after the unlock.
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
    cv_.notify_all();
}

bool ManualExecutor::isCurrent() const { return std::this_thread::get_id() == owner_; }

std::size_t ManualExecutor::runPending() {
    std::size_t ran = 0;
    for (;;) {
        Task task;
        {
            std::lock_guard lock(mutex_);
            if (tasks_.empty()) return ran;
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        if (task) task();
        ++ran;
    }
}

bool ManualExecutor::runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        runPending();
        if (done()) return true;
        std::unique_lock lock(mutex_);
        if (!cv_.wait_until(lock, deadline, [&] { return !tasks_.empty(); })) {
            lock.unlock();
            runPending();
            return done();
        }
    }
}

std::size_t ManualExecutor::pendingCount() {
    std::lock_guard lock(mutex_);
    return tasks_.size();
}

void dispatch(Executor* executor, Task task) {
    if (executor) executor->post(std::move(task));
    else task();
}

}  // namespace base
