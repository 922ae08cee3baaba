#include <gtest/gtest.h>

#include <filesystem>

#include "TallyTestSupport.h"
#include "TempDir.h"
#include "kits/tally/Tally.h"
#include "kits/trellis/BBXUserDefaults.h"

using base::Json;

// The kit starts once per process, so its whole life is one test.
TEST(TallyKit, DefersToTheCrashKitThenStartsOnceAndLogsThroughTheController) {
    testsupport::ScopedHome home;
    auto core = std::make_shared<tallytest::FakeCore>();
    BBXUserDefaults defaults(home.path() + "/defaults");
    base::NotificationCenter center;
    base::Scheduler scheduler(std::make_shared<base::ManualTimeSource>());
    BBXAnalyticsController::Environment env;
    env.core = core;
    env.defaults = &defaults;
    env.notificationCenter = &center;
    env.scheduler = &scheduler;
    Tally::setEnvironment(env);
    std::string root = Tally::analyticsRootDirectory();
    EXPECT_EQ(root.rfind(home.path(), 0), 0u);  // under the test's own caches folder

    // With the crash kit present, it is the one asked to start.
    int crashKitStarts = 0;
    TRLKitDescriptor crashKit;
    crashKit.className = "Blackbox";
    crashKit.bundleIdentifier = [] { return std::string("io.blackbox.mac"); };
    crashKit.kitDisplayVersion = [] { return std::string("1.0"); };
    crashKit.initializeIfNeeded = [&] { ++crashKitStarts; };
    TRLKitRegistry::registerKit(crashKit);
    Tally::kitDescriptor().initializeIfNeeded();
    TRLKitRegistry::unregisterKit("Blackbox");
    EXPECT_EQ(crashKitStarts, 1);
    EXPECT_FALSE(Tally::sharedInstance().analyticsController());

    // Not started: logging does nothing.
    Tally::logSearchWithQuery("ignored");
    EXPECT_FALSE(std::filesystem::exists(root));

    Tally::startWithBetaToken(std::string("2:first"));
    Tally::startWithBetaToken(std::string("2:second"));
    auto controller = Tally::sharedInstance().analyticsController();
    ASSERT_TRUE(controller);
    EXPECT_EQ(controller->betaToken(), "2:first");

    Tally::logPurchaseWithPrice(9.99, "EUR", true, "print", "photo", "id-1", {{"booth", "north"}});
    Tally::logCustomEventWithName("session_started", {{"photos", 4}});
    Tally::logCustomEventWithName(std::nullopt);  // no name, no event
    for (int i = 0; i < 300; ++i) Tally::logCustomEventWithName("burst", {{"i", i}});
    // Quitting writes whatever is still queued before it returns.
    Tally::applicationWillTerminate();

    std::map<std::string, int> keys;
    Json purchase;
    for (const auto& line : tallytest::storedLines(root)) {
        ++keys[line.key];
        if (line.key != "predefined") continue;
        auto json = base::parseJson(*line.payload);
        ASSERT_TRUE(json);
        purchase = *json;
    }
    EXPECT_EQ(keys["app_installed"], 1);
    EXPECT_EQ(keys["app_launched"], 1);
    EXPECT_EQ(keys["app_terminated"], 1);
    EXPECT_EQ(keys["custom"], 301);
    EXPECT_EQ(keys["predefined"], 1);
    EXPECT_EQ(purchase["predefined_type"], "purchase");
    EXPECT_EQ(purchase["predefined_attributes"]["item_price"], 9990000);
    EXPECT_EQ(purchase["predefined_attributes"]["item_type"], "photo");
    EXPECT_EQ(purchase["predefined_attributes"]["item_id"], "id-1");
    EXPECT_EQ(purchase["custom_attributes"]["booth"], "north");
    EXPECT_FALSE(purchase["eventId"].get<std::string>().empty());
}
