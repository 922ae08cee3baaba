#include "kits/trellis/TRLSerialExecutor.h"

#include <deque>
#include <mutex>

namespace {
thread_local const void* tCurrentStrand = nullptr;
}

struct TRLSerialExecutor::State : std::enable_shared_from_this<TRLSerialExecutor::State> {
    base::Executor* target;
    std::mutex mutex;
    std::deque<base::Task> tasks;
    bool running = false;

    void drain() {
        const void* saved = tCurrentStrand;
        tCurrentStrand = this;
        for (;;) {
            base::Task task;
            {
                std::lock_guard lock(mutex);
                if (tasks.empty()) {
                    running = false;
                    break;
                }
                task = std::move(tasks.front());
                tasks.pop_front();
            }
            if (task) task();
        }
        tCurrentStrand = saved;
    }
};

TRLSerialExecutor::TRLSerialExecutor(base::Executor* target) : state_(std::make_shared<State>()) {
    state_->target = target ? target : &base::ThreadPool::shared();
}

TRLSerialExecutor::~TRLSerialExecutor() = default;  // queued tasks still run; they keep the state alive

void TRLSerialExecutor::post(base::Task task) {
    bool start = false;
    {
        std::lock_guard lock(state_->mutex);
        state_->tasks.push_back(std::move(task));
        if (!state_->running) state_->running = start = true;
    }
    if (start) {
        auto state = state_;
        state->target->post([state] { state->drain(); });
    }
}

bool TRLSerialExecutor::isCurrent() const { return tCurrentStrand == state_.get(); }
