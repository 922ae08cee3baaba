#pragma once
// Executors: where a piece of work runs. The kits receive the application's
// main queue as an Executor; serial queues and the shared pool are ours.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstddef>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <optional>
#include <vector>
#include <chrono>

namespace base {

using Task = std::function<void()>;

class Executor {
public:
    virtual ~Executor() = default;
    // Runs the task later, never inline.
    virtual void post(Task task) = 0;
    // True when the calling thread is this executor's own thread.
    virtual bool isCurrent() const { return false; }
};

// Which queue each of our threads serves, for crash reports: fixed slots
// of a kernel thread id and the queue's label (a C string that lives as long
// as the thread), claimed and released without locks, so that a dying
// process can read them.
struct QueueLabelSlot {
    std::atomic<std::int32_t> tid{0};  // 0: free
    std::atomic<const char*> label{nullptr};
};
inline constexpr std::size_t kQueueLabelSlotCount = 256;
const QueueLabelSlot* queueLabelSlots();

// One named thread running tasks first in, first out.
class SerialQueue : public Executor {
public:
    explicit SerialQueue(std::string name);
    // Runs what is queued, then joins. Called from one of the queue's own
    // tasks it cannot join: the thread then keeps the queue's state alive,
    // runs what is queued and ends on its own.
    ~SerialQueue() override;
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    void post(Task task) override;
    bool isCurrent() const override;
    // Runs the task and waits for it; on the queue's own thread it runs inline.
    void sync(const Task& task);
    template <class F>
    auto syncResult(F&& f) -> std::invoke_result_t<F&> {
        using R = std::invoke_result_t<F&>;
        if constexpr (std::is_void_v<R>) {
            sync([&] { f(); });
        } else {
            std::optional<R> out;
            sync([&] { out.emplace(f()); });
            return std::move(*out);
        }
    }
    const std::string& name() const { return name_; }
    // Waits until every task posted before this call has run.
    void drain();

    struct State;  // shared with the thread, which may outlive the queue

private:
    std::string name_;
    std::shared_ptr<State> state_;
    std::thread thread_;
};

// A fixed set of worker threads: the "global queue".
class ThreadPool : public Executor {
public:
    // 0 threads: one per core, at least 2. The workers are named after the
    // pool and numbered; the pool's name is their queue's label.
    explicit ThreadPool(std::size_t threads = 0, std::string name = "global-queue");
    // Runs what is queued, then joins; from one of its own workers, that
    // worker is left to finish the queue on the shared state.
    ~ThreadPool() override;
    void post(Task task) override;
    bool isCurrent() const override;
    static ThreadPool& shared();
    std::size_t size() const { return workers_.size(); }
    const std::string& name() const { return name_; }

    struct State;

private:
    std::string name_;
    std::shared_ptr<State> state_;
    std::vector<std::thread> workers_;
};

// Queues tasks until the owner pumps them: a main queue for tests and
// for programs without an event loop.
class ManualExecutor : public Executor {
public:
    void post(Task task) override;
    bool isCurrent() const override;
    // Runs what is queued now (and what those tasks post), returns how many ran.
    std::size_t runPending();
    // Pumps until `done` is true or the time-out passes; returns `done()`.
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
    std::size_t pendingCount();
    // The thread that pumps counts as the executor's own.
    void adoptCurrentThread() { owner_ = std::this_thread::get_id(); }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<Task> tasks_;
    std::thread::id owner_ = std::this_thread::get_id();
};

// Runs the task on the executor, or inline when the executor is null.
void dispatch(Executor* executor, Task task);

}  // namespace base
