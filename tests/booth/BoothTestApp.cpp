#include <gtest/gtest.h>

#include <QThreadPool>

#include "sharing/Analytics.h"

namespace {

// The application object is never destroyed, so nothing waits for the
// screens' background work: a print still being read when the program ends
// would run into Qt's plugin loader as it is torn down, and a usage hit
// still being stored would log after the loggers are gone.
class DrainBackgroundWork : public ::testing::Environment {
public:
    void TearDown() override {
        QThreadPool::globalInstance()->waitForDone();
        GoogleTracker::sharedGoogleTracker().waitForPendingHits(std::chrono::seconds(30));
    }
};
[[maybe_unused]] ::testing::Environment* const kDrainBackgroundWork =
    ::testing::AddGlobalTestEnvironment(new DrainBackgroundWork);

}  // namespace
