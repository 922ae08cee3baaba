// The booth on a kiosk: a screen larger than the booth's window and, often,
// no window manager. CTest also runs these on a bare X display at the
// booth's three screen sizes (see CMakeLists.txt).
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <QApplication>
#include <QDialog>
#include <QGuiApplication>
#include <QProcess>
#include <QAbstractButton>
#include <QPushButton>
#include <QStandardPaths>
#include <QScreen>
#include <QTest>

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>

#include "BoothTestApp.h"
#include "TempDir.h"
#include "booth/MainWindow.h"
#include "greenscreen/GreenScreenWindowController.h"
#include "preferences/Preferences.h"
#include "preferences/WRENPreferencesWindowController.h"
#include "sharing/FacebookLoginWebController.h"
#include "sharing/ShareWindows.h"

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
    // Keys as the operator presses them, through the X server: they reach
    // the window that has the keyboard, if any.
    static void press(const char* keys) {
        const QString xdotool = QStandardPaths::findExecutable("xdotool");
        ASSERT_FALSE(xdotool.isEmpty()) << "xdotool is not installed";
        ASSERT_EQ(QProcess::execute(xdotool, {"key", keys}), 0);
    }
    // The window with the keyboard as the X server sees it once it has done
    // every request sent so far.
    static WId xKeyboardWindow() {
        xcb_connection_t* x = qGuiApp->nativeInterface<QNativeInterface::QX11Application>()->connection();
        std::unique_ptr<xcb_get_input_focus_reply_t, decltype(&std::free)> reply(
            xcb_get_input_focus_reply(x, xcb_get_input_focus(x), nullptr), &std::free);
        return reply ? reply->focus : 0;
    }
    static QWidget* preferencesWindow() { return Preferences::sharedWindowController()->window(); }
    testsupport::ScopedHome home;
};

// Names a window manager on the root window as the desktop conventions do,
// without one running: `selfNamed` false leaves the naming of one that died.
class WindowManagerNaming {
public:
    explicit WindowManagerNaming(bool selfNamed) {
        root_ = xcb_setup_roots_iterator(xcb_get_setup(x_)).data->root;
        const char name[] = "_NET_SUPPORTING_WM_CHECK";
        std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> atom(
            xcb_intern_atom_reply(x_, xcb_intern_atom(x_, 0, sizeof name - 1, name), nullptr), &std::free);
        atom_ = atom->atom;
        window_ = xcb_generate_id(x_);
        xcb_create_window(x_, XCB_COPY_FROM_PARENT, window_, root_, 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                          XCB_COPY_FROM_PARENT, 0, nullptr);
        xcb_change_property(x_, XCB_PROP_MODE_REPLACE, root_, atom_, XCB_ATOM_WINDOW, 32, 1, &window_);
        if (selfNamed) xcb_change_property(x_, XCB_PROP_MODE_REPLACE, window_, atom_, XCB_ATOM_WINDOW, 32, 1, &window_);
        xcb_flush(x_);
    }
    ~WindowManagerNaming() {
        xcb_delete_property(x_, root_, atom_);
        xcb_destroy_window(x_, window_);
        xcb_flush(x_);
    }

private:
    xcb_connection_t* x_ = qGuiApp->nativeInterface<QNativeInterface::QX11Application>()->connection();
    xcb_window_t root_ = 0, window_ = 0;
    xcb_atom_t atom_ = 0;
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

TEST_F(KioskScreen, CtrlWAndEscapeCloseTheOperatorsWindowsAndTheKeysGoBackToTheBooth) {
    MainWindow booth;
    booth.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&booth));
    GreenScreenWindowController greenScreen;
    for (const char* keys : {"ctrl+w", "Escape"}) {
        const std::string name = keys;
        Preferences::showPreferences();
        ASSERT_TRUE(QTest::qWaitForWindowActive(preferencesWindow())) << name;
        press(keys);
        EXPECT_TRUE(QTest::qWaitFor([] { return !preferencesWindow()->isVisible(); }, 5000))
            << name << " leaves the preferences open";
        EXPECT_TRUE(QTest::qWaitForWindowActive(&booth)) << name << ": the keys stay with the closed preferences";

        greenScreen.show();
        greenScreen.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&greenScreen)) << name;
        press(keys);
        EXPECT_TRUE(QTest::qWaitFor([&] { return !greenScreen.isVisible(); }, 5000))
            << name << " leaves the green-screen window open";
        EXPECT_TRUE(QTest::qWaitForWindowActive(&booth)) << name << ": the keys stay with the closed green screen";
    }

    // A dialog of the preferences gives the keys back to the preferences.
    Preferences::showPreferences();
    ASSERT_TRUE(QTest::qWaitForWindowActive(preferencesWindow()));
    QDialog question(preferencesWindow());
    question.setModal(true);
    question.show();
    question.activateWindow();
    ASSERT_TRUE(QTest::qWaitFor([&] { return QGuiApplication::focusWindow() == question.windowHandle(); }, 5000));
    press("Escape");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !question.isVisible(); }, 5000));
    EXPECT_TRUE(QTest::qWaitForWindowActive(preferencesWindow())) << "the keys stay with the closed dialog";
    EXPECT_TRUE(preferencesWindow()->isVisible());
    preferencesWindow()->close();
}

TEST_F(KioskScreen, OnceALogInOrShareWindowClosesF11WorksWithNoTap) {
    MainWindow booth;
    booth.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&booth));
    const QRect normal = booth.geometry();
    auto f11CoversTheScreen = [&](const char* after) {
        EXPECT_TRUE(QTest::qWaitForWindowActive(&booth)) << "the keys stay with the closed " << after;
        press("F11");
        EXPECT_TRUE(QTest::qWaitFor([&] { return booth.geometry() == screenArea(); }, 5000))
            << "F11 after the " << after << " does nothing";
        press("F11");
        EXPECT_TRUE(QTest::qWaitFor([&] { return booth.geometry() == normal; }, 5000));
    };

    FacebookLoginWebController facebook;
    facebook.window()->show();
    facebook.window()->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(facebook.window()));
    press("Escape");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !facebook.window()->isVisible(); }, 5000));
    f11CoversTheScreen("log-in window");

    ShareViaEmailWindowController email;
    email.showWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(email.window()));
    auto* close = email.window()->findChild<QWidget*>("CloseButton");
    ASSERT_TRUE(close);
    QTest::mouseClick(close, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !email.window()->isVisible(); }, 5000));
    f11CoversTheScreen("e-mail window");

    // A window shown as another closes keeps the keys it was given.
    email.showWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(email.window()));
    email.closeWindow();
    facebook.window()->show();
    facebook.window()->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(facebook.window()));
    QCoreApplication::processEvents();
    EXPECT_EQ(xKeyboardWindow(), facebook.window()->winId()) << "the booth took the keys from the window just shown";
    facebook.window()->close();
}

TEST_F(KioskScreen, OperatorsWindowsShowACloseButtonOnlyWhereNoWindowManagerDrawsACloseBox) {
    GreenScreenWindowController greenScreen;
    auto closeButtonsShown = [&](const char* where) {
        Preferences::showPreferences();
        greenScreen.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(preferencesWindow()));
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&greenScreen));
        int shown = 0;
        for (QWidget* window : {preferencesWindow(), static_cast<QWidget*>(&greenScreen)}) {
            auto* button = window->findChild<QAbstractButton*>("closeButton");
            EXPECT_TRUE(button) << window->objectName().toStdString();
            if (!button || !button->isVisible()) continue;
            ++shown;
            // About a fingertip, and on the screen.
            EXPECT_GE(std::min(button->width(), button->height()), 44) << where;
            const QRect place(button->mapToGlobal(QPoint(0, 0)), button->size());
            EXPECT_TRUE(screenArea().contains(place)) << where;
        }
        preferencesWindow()->close();
        greenScreen.close();
        return shown;
    };
    EXPECT_EQ(closeButtonsShown("no window manager"), 2);
    // Every pane leaves the toolbar room for it.
    auto* preferences = Preferences::sharedWindowController();
    Preferences::showPreferences();
    for (auto* pane : preferences->viewControllers()) {
        preferences->setSelectedViewController(pane);
        auto* button = preferencesWindow()->findChild<QAbstractButton*>("closeButton");
        EXPECT_TRUE(QTest::qWaitFor([&] { return button->isVisible(); }, 2000))
            << pane->identifier().toStdString() << " hides the Close button";
    }
    preferencesWindow()->close();
    {
        WindowManagerNaming running(true);
        EXPECT_EQ(closeButtonsShown("a window manager"), 0);
    }
    {
        WindowManagerNaming gone(false);
        EXPECT_EQ(closeButtonsShown("a window manager that died"), 2);
    }
    EXPECT_EQ(closeButtonsShown("once it is gone"), 2);
}
