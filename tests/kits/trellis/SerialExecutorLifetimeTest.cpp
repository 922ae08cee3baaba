#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>

#include "kits/trellis/TRLSerialExecutor.h"

using namespace std::chrono_literals;

// A session may drop its strand from inside one of the strand's tasks; the
// tasks already queued still run, in order, and nothing freed is touched
// (AddressSanitizer, scripts/test-sanitizers.sh, checks the latter).
TEST(ExecutorLifetime, SerialExecutorReleasedFromItsOwnTaskRunsWhatWasQueued) {
    base::ThreadPool pool(2);
    for (int round = 0; round < 20; ++round) {
        auto* strand = new TRLSerialExecutor(&pool);
        std::promise<void> posted, later;
        std::atomic<bool> inOrder{false};
        strand->post([strand, &inOrder, gate = posted.get_future().share()] {
            gate.wait();
            EXPECT_TRUE(strand->isCurrent());
            delete strand;
            inOrder = true;
        });
        strand->post([&] {
            EXPECT_TRUE(inOrder.load());
            later.set_value();
        });
        posted.set_value();
        ASSERT_EQ(later.get_future().wait_for(5s), std::future_status::ready) << "round " << round;
    }
}
