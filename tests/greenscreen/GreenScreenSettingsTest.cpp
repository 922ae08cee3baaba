#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>

#include "GreenScreenTestSupport.h"
#include "core/UserDefaults.h"
#include "greenscreen/GreenScreenFilterSettings.h"

class GreenScreenSettingsTest : public GreenScreenTest {};

TEST_F(GreenScreenSettingsTest, EmptyOrColourlessSettingsGiveTheDefaults) {
    for (int round = 0; round < 2; ++round) {
        for (auto s : {GreenScreenFilterSettings::initFromNSDefaults(),
                       GreenScreenFilterSettings::initFromNSDefaultsForLiveView()}) {
            EXPECT_FLOAT_EQ(s.sensitivity(), 0.1f);
            EXPECT_FLOAT_EQ(s.smoothness(), 0.11f);
            EXPECT_EQ(s.spotColor().rgba(), qRgba(0, 255, 0, 255));
        }
        // Stored numbers without a colour are ignored.
        auto& d = UserDefaults::standard();
        d.set("GREEN_SCREEN_SENSITIVITY", 0.7);
        d.set("GREEN_SCREEN_SMOOTHNESS", 0.7);
        d.set("GREEN_SCREEN_SENSITIVITY_LV", 0.7);
    }
}

TEST_F(GreenScreenSettingsTest, EachModeRoundTripsWithoutTouchingTheOther) {
    const QColor photoKey = QColor::fromRgbF(0.1f, 0.7f, 0.3f, 1.0f);
    GreenScreenFilterSettings::initWithSettingsWithSmoothness(0.29f, 0.37f, photoKey).saveInDefaults();
    auto& d = UserDefaults::standard();
    EXPECT_FALSE(d.has("GREEN_SCREEN_REPLACEMENT_COLOR_LV"));
    EXPECT_FALSE(d.has("GREEN_SCREEN_SENSITIVITY_LV"));
    EXPECT_FALSE(d.has("GREEN_SCREEN_SMOOTHNESS_LV"));

    const auto photo = GreenScreenFilterSettings::initFromNSDefaults();
    EXPECT_EQ(photo.sensitivity(), 0.29f);  // exactly: stored widened, read back as float
    EXPECT_EQ(photo.smoothness(), 0.37f);
    EXPECT_EQ(photo.spotColor(), photoKey);
    EXPECT_FLOAT_EQ(GreenScreenFilterSettings::initFromNSDefaultsForLiveView().sensitivity(), 0.1f);

    GreenScreenFilterSettings::initWithSettingsWithSmoothness(0.5f, 0.05f, QColor(0, 0, 255)).saveInDefaultsForLiveView();
    const auto live = GreenScreenFilterSettings::initFromNSDefaultsForLiveView();
    EXPECT_EQ(live.sensitivity(), 0.5f);
    EXPECT_EQ(live.spotColor().rgb(), qRgb(0, 0, 255));
    EXPECT_EQ(GreenScreenFilterSettings::initFromNSDefaults().sensitivity(), 0.29f);

    // The store survives a reload from disk (written behind, flushed at quit).
    ASSERT_TRUE(d.synchronize());
    UserDefaults reread(d.path());
    EXPECT_TRUE(reread.has("GREEN_SCREEN_REPLACEMENT_COLOR"));
    EXPECT_NEAR(reread.real("GREEN_SCREEN_SENSITIVITY_LV"), 0.5, 1e-7);
}

TEST_F(GreenScreenSettingsTest, UnreadableColourFallsBackAndMissingNumbersReadAsZero) {
    auto& d = UserDefaults::standard();
    d.set("GREEN_SCREEN_REPLACEMENT_COLOR", "not a colour");
    d.set("GREEN_SCREEN_SENSITIVITY", 0.8);
    auto s = GreenScreenFilterSettings::initFromNSDefaults();
    EXPECT_FLOAT_EQ(s.sensitivity(), 0.1f);
    EXPECT_EQ(s.spotColor().rgb(), qRgb(0, 255, 0));
    d.set("GREEN_SCREEN_REPLACEMENT_COLOR", nlohmann::json::array({0.5, 2.0, 0.0, 1.0}));
    EXPECT_EQ(GreenScreenFilterSettings::initFromNSDefaults().spotColor().rgb(), qRgb(0, 255, 0));

    d.set("GREEN_SCREEN_REPLACEMENT_COLOR", nlohmann::json::array({1.0, 0.0, 0.0, 1.0}));
    d.remove("GREEN_SCREEN_SMOOTHNESS");
    s = GreenScreenFilterSettings::initFromNSDefaults();
    EXPECT_EQ(s.spotColor().rgb(), qRgb(255, 0, 0));
    EXPECT_FLOAT_EQ(s.sensitivity(), 0.8f);
    EXPECT_FLOAT_EQ(s.smoothness(), 0.0f);
    EXPECT_TRUE(s.description().startsWith("Sensitivity=0.800000 Smoothness=0.000000 KeyColor="));
}

// Stored numbers come from a file anyone can edit: whatever they hold, the
// engine gets numbers it can key with.
TEST_F(GreenScreenSettingsTest, StoredNumbersOutsideTheRangeAreClampedAndUnusableOnesReplaced) {
    auto& d = UserDefaults::standard();
    struct Case {
        double sensitivity, smoothness;
        float expectedSensitivity, expectedSmoothness;
    };
    const double nan = std::nan("");
    const double inf = std::numeric_limits<double>::infinity();
    for (const Case& c : {Case{nan, nan, 0.1f, 0.11f}, Case{-0.5, 7.0, 0.0f, 1.0f}, Case{0.3, 4e-42, 0.3f, 0.11f},
                          Case{inf, -inf, 0.1f, 0.11f}, Case{1e-300, 0.25, 0.1f, 0.25f}, Case{0.0, 1.0, 0.0f, 1.0f}}) {
        for (bool live : {false, true}) {
            const auto key = [live](const char* k) {
                return live ? GreenScreenFilterSettings::liveViewKey(k).toStdString() : std::string(k);
            };
            d.set(key("GREEN_SCREEN_REPLACEMENT_COLOR"), nlohmann::json::array({0.0, 0.8, 0.4, 1.0}));
            d.set(key("GREEN_SCREEN_SENSITIVITY"), c.sensitivity);
            d.set(key("GREEN_SCREEN_SMOOTHNESS"), c.smoothness);
            const auto s = live ? GreenScreenFilterSettings::initFromNSDefaultsForLiveView()
                                : GreenScreenFilterSettings::initFromNSDefaults();
            EXPECT_EQ(s.sensitivity(), c.expectedSensitivity) << c.sensitivity << " live " << live;
            EXPECT_EQ(s.smoothness(), c.expectedSmoothness) << c.smoothness << " live " << live;
            EXPECT_EQ(s.spotColor().rgb(), qRgb(0, 204, 102));
        }
    }
}
