#pragma once
// A serial queue without a thread of its own: tasks run one at a time, in
// order, on the shared thread pool. Cheap enough to make one per session,
// and safe to drop from inside one of its own tasks.
#include <memory>

#include "base/Executor.h"

class TRLSerialExecutor : public base::Executor {
public:
    explicit TRLSerialExecutor(base::Executor* target = nullptr);  // null: the shared pool
    ~TRLSerialExecutor() override;
    void post(base::Task task) override;
    bool isCurrent() const override;

private:
    struct State;
    std::shared_ptr<State> state_;
};
