#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <QApplication>
#include <QImage>
#include <QTest>

#include "BoothTestApp.h"
#include "TempDir.h"
#include "booth/HomeScreenTabItem.h"
#include "core/UserDefaults.h"

namespace {

class HomeScreenTest : public ::testing::Test {
protected:
    void SetUp() override {
        app();
        QImage image(64, 48, QImage::Format_RGB32);
        image.fill(Qt::blue);
        imagePath = QString::fromStdString(home.path()) + "/home.png";
        ASSERT_TRUE(image.save(imagePath));
    }
    testsupport::ScopedHome home;
    QString imagePath;
};

}  // namespace

TEST_F(HomeScreenTest, TheDisplaySettingsChooseColourAndImage) {
    auto& d = UserDefaults::standard();
    d.set("BACKGROUND_IMAGE", imagePath.toStdString());
    d.set("HOME_SCREEN_BACKGROUND", "#ff0000");
    HomeScreenTabItem screen;
    screen.resize(320, 240);
    EXPECT_EQ(screen.backgroundColour(), QColor(255, 0, 0));
    // The registered choice shows the image over the colour.
    EXPECT_TRUE(QTest::qWaitFor([&] { return screen.showsImage(); }, 5000));

    d.set("BACKGROUND_TYPE_SELECTION", 0);  // the colour only
    screen.refresh();
    EXPECT_FALSE(screen.showsImage());
    EXPECT_EQ(screen.grab().toImage().pixelColor(5, 5), QColor(255, 0, 0));

    d.set("HOME_SCREEN_BACKGROUND", "not a colour");  // hand-edited: the usual dark colour
    screen.refresh();
    EXPECT_EQ(screen.backgroundColour(), QColor(24, 28, 36));
}
