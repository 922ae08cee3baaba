// The booth on a kiosk: a screen larger than the booth's window and, often,
// no window manager. CTest also runs these on a bare X display at the
// booth's three screen sizes (see CMakeLists.txt).
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <QApplication>
#include <QGuiApplication>
#include <QScreen>
#include <QTest>

#include "BoothTestApp.h"
#include "TempDir.h"
#include "booth/MainWindow.h"
#include "greenscreen/GreenScreenWindowController.h"
#include "preferences/Preferences.h"

namespace {

class KioskScreen : public ::testing::Test {
protected:
    void SetUp() override {
        app();
        // Other platforms place and size windows themselves.
        if (QGuiApplication::platformName() != "xcb") GTEST_SKIP() << "needs an X display without a window manager";
    }
    static QRect screenArea() { return QGuiApplication::primaryScreen()->geometry(); }
    // Whether `window` is in the middle of the screen's free area, to a pixel.
    static bool centred(const QWidget* window) {
        const QPoint middle = QGuiApplication::primaryScreen()->availableGeometry().center();
        const QPoint offset = window->geometry().center() - middle;
        return std::abs(offset.x()) <= 1 && std::abs(offset.y()) <= 1;
    }
    testsupport::ScopedHome home;
};

}  // namespace

TEST_F(KioskScreen, F11CoversTheWholeScreenAndGivesItBack) {
    // Nothing but the booth itself gives its window the keyboard on a bare
    // display, and F11 must work before any guest has touched the screen.
    MainWindow window;
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window)) << "the shown window does not get the keyboard";
    const QRect normal = window.geometry();
    EXPECT_TRUE(screenArea().contains(normal)) << "the window does not fit its screen";
    EXPECT_TRUE(centred(&window));

    std::vector<bool> said;
    QObject::connect(&window, &MainWindow::fullScreenChanged, [&](bool full) { said.push_back(full); });
    QTest::keyClick(&window, Qt::Key_F11);
    EXPECT_TRUE(QTest::qWaitFor([&] { return window.geometry() == screenArea(); }, 5000))
        << "full screen: " << window.geometry().width() << "x" << window.geometry().height() << " at "
        << window.geometry().x() << "," << window.geometry().y();
    EXPECT_TRUE(window.isFullScreenShown());
    QTest::keyClick(&window, Qt::Key_F11);
    EXPECT_TRUE(QTest::qWaitFor([&] { return window.geometry() == normal; }, 5000)) << "the window's place comes back";
    EXPECT_EQ(said, (std::vector<bool>{true, false})) << "each change is told once";
    EXPECT_FALSE(window.isFullScreenShown());
}

TEST_F(KioskScreen, TheOperatorsWindowsOpenInTheMiddleOfTheScreen) {
    Preferences::showPreferences();
    QWidget* preferences = nullptr;
    for (QWidget* window : QApplication::topLevelWidgets())
        if (window->objectName() == "WRENPreferencesWindow") preferences = window;
    ASSERT_TRUE(preferences);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(preferences));
    EXPECT_TRUE(centred(preferences)) << "preferences at " << preferences->x() << "," << preferences->y();
    preferences->hide();

    GreenScreenWindowController greenScreen;
    greenScreen.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&greenScreen));
    EXPECT_TRUE(centred(&greenScreen)) << "green screen at " << greenScreen.x() << "," << greenScreen.y();
    EXPECT_TRUE(screenArea().contains(greenScreen.geometry()));
}
