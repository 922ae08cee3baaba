#include <gtest/gtest.h>

#include <QThreadPool>

namespace {

// The application object is never destroyed, so nothing waits for the
// screens' background work: a print still being read when the program ends
// would run into Qt's plugin loader as it is torn down.
class DrainBackgroundWork : public ::testing::Environment {
public:
    void TearDown() override { QThreadPool::globalInstance()->waitForDone(); }
};
[[maybe_unused]] ::testing::Environment* const kDrainBackgroundWork =
    ::testing::AddGlobalTestEnvironment(new DrainBackgroundWork);

}  // namespace
