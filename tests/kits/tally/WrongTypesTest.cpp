// The analytics kit reads the information dictionary and the downloaded
// settings, both of which a person or a server can get wrong: a value of the
// wrong type reads as absent and never throws out of the kit.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "TallyTestSupport.h"
#include "TempDir.h"
#include "kits/tally/BBXAnalyticsController.h"
#include "kits/trellis/BBXUserDefaults.h"

using base::Json;

namespace {

// Values no key of the kit takes: text where a switch or number belongs, and
// the rest where text or a dictionary belongs.
const Json kWrongValues[] = {Json("true"), Json(nullptr), Json::array({1, 2}), Json::object({{"a", 1}})};
const Json kNumbers[] = {Json(42), Json(-1.5), Json(1e300), Json(true)};

TEST(TallyWrongTypes, AnExtensionEntryOfTheWrongTypeIsNotAnExtension) {
    EXPECT_TRUE(BBXAnalyticsController::supported(Json::array()));
    for (const auto* list : {&kWrongValues, &kNumbers}) {
        for (const Json& wrong : *list) {
            if (!wrong.is_object())
                EXPECT_TRUE(BBXAnalyticsController::supported({{"NSExtension", wrong}})) << wrong.dump();
            if (!wrong.is_string())
                EXPECT_TRUE(
                    BBXAnalyticsController::supported({{"NSExtension", {{"NSExtensionPointIdentifier", wrong}}}}))
                    << wrong.dump();
        }
    }
    // Only a real extension point turns analytics off.
    EXPECT_FALSE(BBXAnalyticsController::supported(
        {{"NSExtension", {{"NSExtensionPointIdentifier", "com.example.share-services"}}}}));
}

TEST(TallyWrongTypes, SettingsOfTheWrongTypeSwitchNothingOn) {
    testsupport::ScopedHome home;
    BBXUserDefaults defaults(home.path() + "/defaults");
    base::Scheduler scheduler(std::make_shared<base::ManualTimeSource>());
    base::NotificationCenter center;
    BBXAnalyticsController::Environment env;
    env.core = std::make_shared<tallytest::FakeCore>();
    env.defaults = &defaults;
    env.timestampGenerator = std::make_shared<tallytest::FakeTimestamps>();
    env.scheduler = &scheduler;
    env.notificationCenter = &center;
    auto c = BBXAnalyticsController::create("S1", home.path() + "/analytics", std::nullopt, env);
    ASSERT_TRUE(c);
    auto apply = [&](const Json& settings) {
        c->setSettings(settings);
        c->flush();
    };

    for (const Json& wrong : kWrongValues) {
        // A document that is no dictionary is no settings at all.
        apply(wrong);
        if (!wrong.is_object()) {
            c->setSettings(std::nullopt);
            c->flush();
            const bool absent = c->analyticsFeatureSwitchEnabled();
            apply(wrong);
            EXPECT_EQ(c->analyticsFeatureSwitchEnabled(), absent) << wrong.dump();
        }
        // Each section and the main switch of the wrong type.
        for (const Json& settings :
             {Json{{"features", wrong}, {"analytics", wrong}}, Json{{"features", {{"collect_analytics", wrong}}}}}) {
            apply(settings);
            EXPECT_FALSE(c->analyticsFeatureSwitchEnabled()) << settings.dump();
        }
    }
    for (const auto* list : {&kWrongValues, &kNumbers}) {
        for (const Json& wrong : *list) {
            apply(Json{{"features", {{"collect_analytics", true}}},
                       {"analytics",
                        {{"url", wrong},
                         {"track_custom_events", Json::array({true})},
                         {"track_predefined_events", Json("yes")},
                         {"flush_interval_secs", wrong},
                         {"max_byte_size_per_file", wrong},
                         {"max_pending_send_file_count", wrong},
                         {"sampling_rate", wrong}}}});
            EXPECT_TRUE(c->analyticsFeatureSwitchEnabled());
            EXPECT_FALSE(c->customEventsFeatureSwitchEnabled()) << wrong.dump();
            EXPECT_FALSE(c->predefinedEventsFeatureSwitchEnabled()) << wrong.dump();
        }
    }
}

}  // namespace
