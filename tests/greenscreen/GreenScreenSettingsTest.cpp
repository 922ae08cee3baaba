#include <gtest/gtest.h>

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

    // The store survives a reload from disk.
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
