#include "base/Executor.h"

#include <pthread.h>

namespace base {

namespace {
thread_local const void* tCurrentExecutor = nullptr;

void nameThread(const std::string& name) {
    std::string shortName = name.size() > 15 ? name.substr(name.size() - 15) : name;
    pthread_setname_np(pthread_self(), shortName.c_str());
}
}  // namespace

SerialQueue::SerialQueue(std::string name) : name_(std::move(name)) {
    thread_ = std::thread([this] { run(); });
}

SerialQueue::~SerialQueue() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) {
        if (thread_.get_id() == std::this_thread::get_id()) thread_.detach();
        else thread_.join();
    }
}

void SerialQueue::post(Task task) {
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    cv_.notify_one();
}

bool SerialQueue::isCurrent() const { return tCurrentExecutor == this; }

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

void SerialQueue::run() {
    nameThread(name_);
    tCurrentExecutor = this;
    for (;;) {
        Task task;
        {
            std::unique_lock lock(mutex_);
            cv_.wait(lock, [&] { return stopping_ || !tasks_.empty(); });
            if (tasks_.empty()) return;  // stopping and drained
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        if (task) task();
    }
}

ThreadPool::ThreadPool(std::size_t threads) {
    if (threads == 0) threads = std::max(2u, std::thread::hardware_concurrency());
    for (std::size_t i = 0; i < threads; ++i) workers_.emplace_back([this] { run(); });
}

ThreadPool::~ThreadPool() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    cv_.notify_all();
    for (auto& t : workers_) {
        if (t.get_id() == std::this_thread::get_id()) t.detach();
        else if (t.joinable()) t.join();
    }
}

void ThreadPool::post(Task task) {
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    cv_.notify_one();
}

bool ThreadPool::isCurrent() const { return tCurrentExecutor == this; }

ThreadPool& ThreadPool::shared() {
    static ThreadPool* pool = new ThreadPool();  // never destroyed: work may run at exit
    return *pool;
}

void ThreadPool::run() {
    nameThread("global-queue");
    tCurrentExecutor = this;
    for (;;) {
        Task task;
        {
            std::unique_lock lock(mutex_);
            cv_.wait(lock, [&] { return stopping_ || !tasks_.empty(); });
            if (tasks_.empty()) return;
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        if (task) task();
    }
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
