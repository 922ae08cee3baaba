#include <gtest/gtest.h>

#include <QThreadPool>
#include <QtGlobal>

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

// The web engine starts once a process, with the flags of whichever test
// comes first, so every test of the program gets them from the start. Root
// in a container has no user namespace for the renderer's sandbox.
[[maybe_unused]] const bool kWebEngineFlags = [] {
    qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS", "--disable-gpu --no-sandbox");
    return true;
}();

}  // namespace
