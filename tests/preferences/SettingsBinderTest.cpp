// A number field in a pane and its setting stay in step both ways.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <QDoubleSpinBox>
#include <QSpinBox>

#include "PreferencesTestMain.h"
#include "preferences/SettingsBinder.h"

TEST(SettingsBinder, NumberFieldsShowTheStoredValueAndStoreWhatIsTyped) {
    testApp();
    testsupport::ScopedHome home;
    auto& d = UserDefaults::standard();
    d.set("MAX_PRINTS_PER_EVENT", 7);
    d.set("seconds_between_shots", 2.5);
    SettingsBinder binder;
    QSpinBox prints;
    prints.setRange(0, 100);
    QDoubleSpinBox seconds;
    seconds.setRange(0, 60);
    binder.bindSpinBox(&prints, "MAX_PRINTS_PER_EVENT");
    binder.bindDoubleSpinBox(&seconds, "seconds_between_shots");
    EXPECT_EQ(prints.value(), 7);
    EXPECT_DOUBLE_EQ(seconds.value(), 2.5);

    d.set("MAX_PRINTS_PER_EVENT", 12);  // changed elsewhere, say by a reset
    d.set("seconds_between_shots", 4.0);
    QCoreApplication::processEvents();
    EXPECT_EQ(prints.value(), 12);
    EXPECT_DOUBLE_EQ(seconds.value(), 4.0);

    prints.setValue(3);
    seconds.setValue(1.5);
    EXPECT_EQ(d.integer("MAX_PRINTS_PER_EVENT"), 3);
    EXPECT_DOUBLE_EQ(d.real("seconds_between_shots"), 1.5);
}
