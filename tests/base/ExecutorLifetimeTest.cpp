#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include <cstdlib>

#include <spdlog/spdlog.h>

#include "base/Executor.h"
#include "ChildProcess.h"

using namespace std::chrono_literals;

// An owner may drop its queue from inside one of the queue's own tasks (a
// session that ends itself). The queue must survive on its thread until the
// tasks already queued have run, and touch no freed memory doing so; run
// under AddressSanitizer (scripts/test-sanitizers.sh) to see the latter.

TEST(ExecutorLifetime, SerialQueueReleasedFromItsOwnTaskRunsWhatWasQueued) {
    for (int round = 0; round < 20; ++round) {
        auto* queue = new base::SerialQueue("test.self-release");
        std::promise<void> posted, later;
        queue->post([queue, gate = posted.get_future().share()] {
            gate.wait();
            delete queue;
        });
        queue->post([&] { later.set_value(); });
        posted.set_value();
        ASSERT_EQ(later.get_future().wait_for(5s), std::future_status::ready) << "round " << round;
    }
}

TEST(ExecutorLifetime, ThreadPoolReleasedFromOneOfItsWorkersFinishesItsWork) {
    for (int round = 0; round < 20; ++round) {
        auto* pool = new base::ThreadPool(3);
        std::atomic<int> ran{0};
        std::promise<void> done;
        std::promise<void> posted;
        auto gate = posted.get_future().share();
        constexpr int kTasks = 50;
        for (int i = 0; i < kTasks; ++i)
            pool->post([&, pool, i, gate] {
                if (i == 0) {
                    gate.wait();
                    delete pool;
                }
                if (++ran == kTasks) done.set_value();
            });
        posted.set_value();
        ASSERT_EQ(done.get_future().wait_for(5s), std::future_status::ready) << "round " << round;
    }
}

// A task posted from another thread (a network completion) may be the one
// whose running lets the owner drop the queue. The poster must be done with
// the queue by then: waking its thread after letting go of the lock would
// touch a freed condition. ThreadSanitizer reports that on every round.
TEST(ExecutorLifetime, AQueueDroppedOnceAnotherThreadsTaskRanLeavesThatThreadNothingFreed) {
    auto dropAfterForeignPost = [](auto make) {
        for (int round = 0; round < 200; ++round) {
            auto* executor = make();
            std::promise<void> ran;
            std::thread poster([&] { executor->post([&] { ran.set_value(); }); });
            ASSERT_EQ(ran.get_future().wait_for(5s), std::future_status::ready) << "round " << round;
            delete executor;
            poster.join();
        }
    };
    dropAfterForeignPost([] { return new base::SerialQueue("test.foreign-post"); });
    dropAfterForeignPost([] { return new base::ThreadPool(2); });
}

// The shared pool's workers are never joined: a task may log while the
// program ends and the logging library lets its loggers go with the statics.
// The copy below ends with a worker logging all the while; the sanitizer
// builds see a logger used after it was freed.
TEST(ExecutorLifetime, WorkThatLogsWhileTheProgramEndsFindsItsLoggerAlive) {
    using testsupport::ChildProcess;
    if (ChildProcess::childMode()) {
        spdlog::set_level(spdlog::level::off);  // the level is still read at every line
        auto started = std::make_shared<std::promise<void>>();
        base::ThreadPool::shared().post([started] {
            started->set_value();
            for (;;) spdlog::info("still working");
        });
        started->get_future().wait();
        std::exit(0);
    }
    ChildProcess child("ending");
    EXPECT_TRUE(child.succeeds(60s)) << child.output();
}
