// The main queue as the kits and timers use it: first posted, first run,
// from any thread; and what is still waiting when the application goes is
// let go of, not kept for ever nor left to block the exit.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "CoreTestSupport.h"
#include "Wait.h"
#include "core/MainQueue.h"

TEST(MainQueue, TasksRunInTheOrderTheyWerePosted) {
    testApp();
    std::mutex mutex;
    std::vector<int> ran;
    auto task = [&](int n) {
        return [&, n] {
            std::lock_guard lock(mutex);
            ran.push_back(n);
        };
    };
    for (int n = 0; n < 4; ++n) MainQueue::shared().post(task(n));
    std::thread([&] {
        for (int n = 4; n < 8; ++n) MainQueue::shared().post(task(n));
    }).join();
    ASSERT_TRUE(testsupport::waitUntil([&] {
        QCoreApplication::processEvents();
        std::lock_guard lock(mutex);
        return ran.size() == 8;
    }));
    EXPECT_EQ(ran, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7}));
}

namespace {

// Says on its way out that it was let go of, and (like a deleteLater in a
// destructor) may post once more as it goes.
struct Releases {
    const char* name;
    bool postsAgain;
    ~Releases() {
        testsupport::ChildProcess::report(name);
        if (postsAgain) MainQueue::shared().post([last = std::make_shared<Releases>("late", false)] {});
    }
};

}  // namespace

TEST(MainQueue, TasksLeftAtQuitAreLetGoOf) {
    if (testsupport::ChildProcess::childMode()) {
        {
            int argc = 1;
            char name[] = "main_queue_child";
            char* argv[] = {name, nullptr};
            QCoreApplication app(argc, argv);
            MainQueue::shared().post([held = std::make_shared<Releases>("first", false)] {});
            MainQueue::shared().post([held = std::make_shared<Releases>("second", true)] {});
        }
        testsupport::ChildProcess::report("gone");
        std::_Exit(0);  // no statics torn down: only the quit itself lets go
    }
    testsupport::ChildProcess child("quit");
    ASSERT_TRUE(child.started());
    child.readAllReports(std::chrono::seconds(60));
    ASSERT_TRUE(child.succeeds(std::chrono::seconds(60))) << "the quit hangs\n" << child.output();
    EXPECT_EQ(child.reportLines(), (std::vector<std::string>{"first", "second", "late", "gone"})) << child.output();
}
