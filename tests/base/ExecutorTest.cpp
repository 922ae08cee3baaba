#include <gtest/gtest.h>

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/Executor.h"
#include "base/NotificationCenter.h"
#include "base/Scheduler.h"

using namespace std::chrono_literals;

TEST(SerialQueue, RunsTasksInOrderAndSyncInlineOnItsOwnThread) {
    base::SerialQueue q("test.serial");
    std::vector<int> seen;
    for (int i = 0; i < 100; ++i) q.post([&, i] { seen.push_back(i); });
    bool nestedRan = false;
    q.sync([&] {
        EXPECT_TRUE(q.isCurrent());
        q.sync([&] { nestedRan = true; });  // would deadlock if not inline
    });
    EXPECT_TRUE(nestedRan);
    ASSERT_EQ(seen.size(), 100u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(seen[i], i);
    EXPECT_FALSE(q.isCurrent());
    EXPECT_EQ(q.syncResult([] { return 42; }), 42);
}

TEST(SerialQueue, DestructorRunsWhatIsQueued) {
    std::atomic<int> count{0};
    {
        base::SerialQueue q("test.drain");
        for (int i = 0; i < 50; ++i) q.post([&] { ++count; });
    }
    EXPECT_EQ(count.load(), 50);
}

TEST(ThreadPool, RunsEveryTask) {
    // The pool goes first: its last task may still be posting to `main`.
    base::ManualExecutor main;
    std::atomic<int> count{0};
    base::ThreadPool pool(4);
    for (int i = 0; i < 1000; ++i) pool.post([&] { if (++count == 1000) main.post([] {}); });
    EXPECT_TRUE(main.runUntil([&] { return count.load() == 1000; }, 5s));
}

namespace {
// The label the table holds for a thread, by its kernel id.
std::string labelOf(pid_t tid) {
    const auto* slots = base::queueLabelSlots();
    for (std::size_t i = 0; i < base::kQueueLabelSlotCount; ++i)
        if (slots[i].tid.load() == tid) return slots[i].label.load() ? slots[i].label.load() : "";
    return "(none)";
}
std::string threadName() {
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    return name;
}
}  // namespace

TEST(QueueLabels, EachQueueThreadCarriesItsQueuesLabelWhileItRuns) {
    pid_t queueThread = 0;
    {
        base::SerialQueue q("io.example.booth.camera-queue");
        q.sync([&] {
            queueThread = ::gettid();
            EXPECT_EQ(labelOf(queueThread), "io.example.booth.camera-queue");
        });
    }
    EXPECT_EQ(labelOf(queueThread), "(none)");  // freed with the thread

    // Pool workers are numbered under the pool's name, which is their label;
    // a long name is cut so the number stays.
    base::ThreadPool pool(3, "booth.render-workers");
    std::mutex mutex;
    std::set<std::pair<std::string, std::string>> seen;
    base::ManualExecutor main;
    std::atomic<int> ran{0};
    for (int i = 0; i < 200; ++i)
        pool.post([&] {
            {
                std::lock_guard lock(mutex);
                seen.emplace(threadName(), labelOf(::gettid()));
            }
            if (++ran == 200) main.post([] {});
        });
    ASSERT_TRUE(main.runUntil([&] { return ran.load() == 200; }, 5s));
    for (const auto& [name, label] : seen) {
        EXPECT_EQ(label, "booth.render-workers");
        EXPECT_TRUE(name == "booth.render-1" || name == "booth.render-2" || name == "booth.render-3") << name;
    }
    EXPECT_EQ(labelOf(::gettid()), "(none)");
}

TEST(Scheduler, ManualClockFiresInDeadlineOrderAndCancelledTimersNever) {
    auto clock = std::make_shared<base::ManualTimeSource>();
    base::Scheduler s(clock);
    std::vector<std::string> fired;
    s.after(3s, nullptr, [&] { fired.push_back("three"); });
    s.after(1s, nullptr, [&] { fired.push_back("one"); });
    auto cancelled = s.after(2s, nullptr, [&] { fired.push_back("two"); });
    int ticks = 0;
    auto rep = s.every(1s, nullptr, [&] { ++ticks; });
    EXPECT_TRUE(s.cancel(cancelled));
    EXPECT_FALSE(s.cancel(cancelled));
    clock->advance(500ms);
    EXPECT_TRUE(fired.empty());
    clock->advance(3s);
    EXPECT_EQ(fired, (std::vector<std::string>{"one", "three"}));
    EXPECT_GE(ticks, 1);
    s.cancel(rep);
    int before = ticks;
    clock->advance(10s);
    EXPECT_EQ(ticks, before);
}

TEST(Scheduler, TimerCancelledAfterDueButBeforeItsExecutorRunsDoesNotFire) {
    auto clock = std::make_shared<base::ManualTimeSource>();
    base::Scheduler s(clock);
    base::ManualExecutor main;
    bool ran = false;
    auto id = s.after(1s, &main, [&] { ran = true; });
    clock->advance(2s);
    EXPECT_EQ(main.pendingCount(), 1u);
    EXPECT_TRUE(s.cancel(id));
    main.runPending();
    EXPECT_FALSE(ran);
}

TEST(Scheduler, RealClockFiresOnTheGivenExecutor) {
    base::Scheduler s;
    base::ManualExecutor main;
    bool ran = false;
    s.after(10ms, &main, [&] { ran = main.isCurrent(); });
    EXPECT_TRUE(main.runUntil([&] { return ran; }, 5s));
}

// A program stops its timers as it quits: none may fire while the process
// tears itself down.
TEST(Scheduler, StoppingWaitsForTheRunningTimerAndNothingFiresAfterwards) {
    base::Scheduler s;
    std::atomic<bool> started{false}, finished{false};
    std::atomic<int> ticks{0}, late{0};
    s.after(1ms, nullptr, [&] {
        started = true;
        std::this_thread::sleep_for(50ms);
        finished = true;
    });
    s.every(1ms, nullptr, [&] { ++ticks; });
    while (!started) std::this_thread::sleep_for(1ms);
    s.stop();
    EXPECT_TRUE(finished) << "stop returns once the running task is done";
    EXPECT_EQ(s.pendingCount(), 0u);
    const int ticksAtStop = ticks;
    s.after(1ms, nullptr, [&] { ++late; });
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(ticks, ticksAtStop);
    EXPECT_EQ(late, 0);

    auto clock = std::make_shared<base::ManualTimeSource>();
    base::Scheduler manual(clock);
    manual.stop();
    manual.after(1s, nullptr, [&] { ++late; });
    clock->advance(2s);
    EXPECT_EQ(late, 0) << "a stopped scheduler fires nothing on a manual clock either";
}

TEST(NotificationCenter, DeliversByNameAndSenderOnTheObserversExecutor) {
    base::NotificationCenter nc;
    base::ManualExecutor main;
    int any = 0, fromA = 0;
    std::string got;
    int a = 0, b = 0;
    auto id1 = nc.addObserver("N", nullptr, nullptr, [&](const base::Notification& n) {
        ++any;
        if (auto* v = n.get<std::string>("k")) got = *v;
    });
    nc.addObserver("N", &a, &main, [&](const base::Notification&) { ++fromA; });
    nc.post("N", &a, {{"k", std::string("v")}});
    nc.post("N", &b);
    nc.post("Other", &a);
    EXPECT_EQ(any, 2);
    EXPECT_EQ(got, "v");
    EXPECT_EQ(fromA, 0);
    main.runPending();
    EXPECT_EQ(fromA, 1);
    nc.removeObserver(id1);
    nc.post("N", &b);
    EXPECT_EQ(any, 2);
}

TEST(NotificationCenter, RemovedObserverIsNotCalledForAnAlreadyQueuedPost) {
    base::NotificationCenter nc;
    base::ManualExecutor main;
    int calls = 0;
    auto id = nc.addObserver("N", nullptr, &main, [&](const base::Notification&) { ++calls; });
    nc.post("N");
    nc.removeObserver(id);
    main.runPending();
    EXPECT_EQ(calls, 0);
}
