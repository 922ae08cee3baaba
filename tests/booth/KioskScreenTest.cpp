// The booth on a kiosk: a screen larger than the booth's window and, often,
// no window manager. CTest also runs these on a bare X display at the
// booth's three screen sizes (see CMakeLists.txt).
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QStyleHints>
#include <QClipboard>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>

#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>

#include "BoothTestApp.h"
#include "TempDir.h"
#include "booth/AppController.h"
#include "booth/HomeScreenTabItem.h"
#include "booth/MainWindow.h"
#include "camera/CameraManager.h"
#include "camera/FolderCameraModel.h"
#include "base/NotificationCenter.h"
#include "core/Notifications.h"
#include "greenscreen/GreenScreenWindowController.h"
#include "preferences/Preferences.h"
#include "preferences/WRENPreferencesWindowController.h"
#include "sharing/FacebookLoginWebController.h"
#include "sharing/ShareWindows.h"
#include "sharing/TwitterLoginWindowController.h"
#include "booth/SharingScreenTabItem.h"
#include "core/UserDefaults.h"

namespace {

class KioskScreen : public ::testing::Test {
protected:
    void SetUp() override {
        if (!qApp) QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);  // for the log-in windows' pages
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
    static QWidget* preferencesWindow() { return Preferences::sharedWindowController()->window(); }
    static void tap(QPoint where) {  // through the X server, as a finger or the mouse gives it
        ASSERT_EQ(QProcess::execute("xdotool", {"mousemove", QString::number(where.x()), QString::number(where.y()),
                                                "click", "1"}), 0);
    }
    // Whether `window` has the keyboard, as Qt and the X server both see it
    // (Qt hears of a change only after the server made it).
    static bool hasKeys(const QWidget* window) {
        auto* x = qGuiApp->nativeInterface<QNativeInterface::QX11Application>()->connection();
        return QTest::qWaitFor([&] {
            std::unique_ptr<xcb_get_input_focus_reply_t, decltype(&std::free)> focus(
                xcb_get_input_focus_reply(x, xcb_get_input_focus(x), nullptr), &std::free);
            return QGuiApplication::focusWindow() == window->windowHandle() && focus &&
                   focus->focus == window->winId();
        }, 5000);
    }
    // Clicks `button` of a preferences pane, which runs its dialog until it
    // closes, and meanwhile does `withDialog` once the dialog has the keys.
    static bool clickToDialog(const QString& pane, const char* button, const std::function<void()>& withDialog) {
        auto* preferences = Preferences::sharedWindowController();
        preferences->setSelectedViewController(preferences->viewControllerForIdentifier(pane));
        bool answered = false;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            QWidget* dialog = QApplication::activeModalWidget();
            if (dialog && QGuiApplication::focusWindow() == dialog->windowHandle()) {
                poll.stop();
                answered = true;
                withDialog();
            }
        });
        poll.start(20);
        QTimer::singleShot(15000, &poll, [] {  // the test goes on when the keys never reach it
            if (QWidget* dialog = QApplication::activeModalWidget()) dialog->close();
        });
        preferences->selectedViewController()->view()->findChild<QPushButton*>(button)->click();
        return answered;
    }
    testsupport::ScopedHome home;
};

// The whole booth, started as the application starts it, with the demo camera.
struct Booth {
    Booth() {
        UserDefaults::standard().set("DATA_DIRECTORY", dataFolder.path() + "/");
        keepBoothOnLoopback();
        launched = controller.applicationDidFinishLaunching();
        CameraManager::sharedCameraManager().setCameraModel(
            std::make_shared<FolderCameraModel>(CameraManager::demoCameraFolder()));
    }
    ~Booth() { controller.applicationWillTerminate(); }
    testsupport::TempDir dataFolder;
    AppController controller;
    bool launched = false;
};

// Whether the X server stacks `upper` above `lower` (asked on the booth's own
// connection: every raise asked for before is done).
bool stackedAbove(const QWidget* upper, const QWidget* lower) {
    auto* x = qGuiApp->nativeInterface<QNativeInterface::QX11Application>()->connection();
    std::unique_ptr<xcb_query_tree_reply_t, decltype(&std::free)> tree(
        xcb_query_tree_reply(x, xcb_query_tree(x, xcb_setup_roots_iterator(xcb_get_setup(x)).data->root), nullptr),
        &std::free);
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    const xcb_window_t* end = children + xcb_query_tree_children_length(tree.get());
    return std::find(children, end, upper->winId()) > std::find(children, end, lower->winId());
}

// Sends key `code` at `time` to `window` as the X server sends a key.
void sendKey(QWindow* window, uint8_t type, xcb_keycode_t code, xcb_timestamp_t time) {
    auto* x = qGuiApp->nativeInterface<QNativeInterface::QX11Application>()->connection();
    xcb_key_press_event_t key{};
    key.response_type = type;
    key.detail = code;
    key.time = time;
    key.root = xcb_setup_roots_iterator(xcb_get_setup(x)).data->root;
    key.event = static_cast<xcb_window_t>(window->winId());
    key.same_screen = 1;
    xcb_send_event(x, 0, key.event, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&key));
    xcb_flush(x);
}

// Counts the presses `watched` (or the whole application) gets that `counts`.
struct PressCount : QObject {
    PressCount(QObject* watched, std::function<bool(QEvent*)> counts) : counts(std::move(counts)) {
        watched->installEventFilter(this);
    }
    bool eventFilter(QObject*, QEvent* event) override {
        if (counts(event)) ++n;
        return false;
    }
    std::function<bool(QEvent*)> counts;
    int n = 0;
};

// The X server's time now: that of a key pressed and let go.
xcb_timestamp_t serverTime() {
    xcb_timestamp_t time = 0;
    PressCount shift(qApp, [&](QEvent* e) {
        if (e->type() == QEvent::KeyRelease) time = static_cast<QKeyEvent*>(e)->timestamp();
        return false;
    });
    QProcess::execute("xdotool", {"key", "shift"});
    EXPECT_TRUE(QTest::qWaitFor([&] { return time != 0; }, 5000));
    return time;
}

// Names a window manager on the root window as the desktop conventions do,
// without one running; `selfNamed` false leaves the naming of one that died.
struct WindowManagerNaming {
    explicit WindowManagerNaming(bool selfNamed) {
        xcb_create_window(x, XCB_COPY_FROM_PARENT, window, root, 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                          XCB_COPY_FROM_PARENT, 0, nullptr);
        xcb_change_property(x, XCB_PROP_MODE_REPLACE, root, atom, XCB_ATOM_WINDOW, 32, 1, &window);
        if (selfNamed) xcb_change_property(x, XCB_PROP_MODE_REPLACE, window, atom, XCB_ATOM_WINDOW, 32, 1, &window);
        xcb_flush(x);
    }
    ~WindowManagerNaming() {
        xcb_delete_property(x, root, atom);
        xcb_destroy_window(x, window);
        xcb_flush(x);
    }
    xcb_connection_t* x = qGuiApp->nativeInterface<QNativeInterface::QX11Application>()->connection();
    xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(x)).data->root, window = xcb_generate_id(x);
    xcb_atom_t atom = [this] {
        std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
            xcb_intern_atom_reply(x, xcb_intern_atom(x, 0, 24, "_NET_SUPPORTING_WM_CHECK"), nullptr), &std::free);
        return reply->atom;
    }();
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

// The add-background panel is a window of its own: left open, it would stay
// over the guests' screens with its Browse... and Save for anyone to tap.
TEST_F(KioskScreen, TheAddBackgroundPanelClosesWithItsWindowOrItsCancel) {
    MainWindow booth;
    booth.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&booth));
    GreenScreenWindowController greenScreen;
    auto* panel = greenScreen.backgroundAndOverlaySelectorPanel();
    auto openPanel = [&](const std::string& name) {
        greenScreen.show();
        greenScreen.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&greenScreen)) << name;
        greenScreen.findChild<QAbstractButton*>("addBackgroundButton")->click();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(panel)) << name;
    };
    for (const char* how : {"Close button", "ctrl+w", "Escape"}) {
        openPanel(how);
        if (std::string(how) == "Close button") {
            // A finger on the window's Close, the panel keeping the keys.
            ASSERT_TRUE(hasKeys(panel));
            auto* close = greenScreen.findChild<QAbstractButton*>("closeButton");
            tap(close->mapToGlobal(close->rect().center()));
        } else {
            // The operator comes back to the window, and closes it.
            greenScreen.activateWindow();
            ASSERT_TRUE(QTest::qWaitForWindowActive(&greenScreen)) << how;
            press(how);
        }
        EXPECT_TRUE(QTest::qWaitFor([&] { return !greenScreen.isVisible(); }, 5000)) << how;
        EXPECT_TRUE(QTest::qWaitFor([&] { return !panel->isVisible(); }, 5000)) << how << " leaves the panel open";
        EXPECT_TRUE(hasKeys(&booth)) << how << ": the keys do not come back";
    }
    // The panel's own Cancel gives the keys back to its window.
    openPanel("Cancel");
    auto* cancel = panel->findChild<QAbstractButton*>("cancelButton");
    ASSERT_TRUE(cancel) << "the panel has no Cancel";
    tap(cancel->mapToGlobal(cancel->rect().center()));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !panel->isVisible(); }, 5000));
    EXPECT_TRUE(hasKeys(&greenScreen));
    greenScreen.close();
    EXPECT_TRUE(hasKeys(&booth));
}

TEST_F(KioskScreen, CtrlWAndEscapeCloseTheOperatorsWindowsAndTheKeysComeBack) {
    MainWindow booth;
    booth.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&booth));
    GreenScreenWindowController greenScreen;
    int closed = 0;
    const auto watch = base::NotificationCenter::defaultCenter().addObserver(
        kGreenScreenWindowDidClosed, nullptr, nullptr, [&](const base::Notification&) { ++closed; });
    for (const char* keys : {"ctrl+w", "Escape"}) {
        for (QWidget* window : {preferencesWindow(), static_cast<QWidget*>(&greenScreen)}) {
            const std::string name = keys + (" on " + window->objectName().toStdString());
            window->show();
            window->activateWindow();
            ASSERT_TRUE(QTest::qWaitForWindowActive(window)) << name;
            press(keys);
            EXPECT_TRUE(QTest::qWaitFor([&] { return !window->isVisible(); }, 5000)) << name << " leaves it open";
            EXPECT_TRUE(QTest::qWaitForWindowActive(&booth)) << name << ": the keys stay with the closed window";
        }
    }
    base::NotificationCenter::defaultCenter().removeObserver(watch);
    EXPECT_EQ(closed, 2) << "the green-screen window closes as its close box closes it";

    // An open list takes its Escape first.
    auto* preferences = Preferences::sharedWindowController();
    Preferences::showPreferences();
    preferences->setSelectedViewController(preferences->viewControllerForIdentifier("SoundPreferences"));
    auto* list = preferences->selectedViewController()->view()->findChild<QComboBox*>();
    ASSERT_TRUE(list);
    ASSERT_TRUE(QTest::qWaitForWindowActive(preferencesWindow()));
    list->showPopup();
    ASSERT_TRUE(QTest::qWaitFor([&] { return list->view()->isVisible(); }, 5000));
    press("Escape");
    EXPECT_TRUE(QTest::qWaitFor([&] { return !list->view()->isVisible(); }, 5000));
    EXPECT_TRUE(preferencesWindow()->isVisible()) << "Escape closes the list and the preferences";

    // A dialog of the preferences gives the keys back to the preferences.
    QDialog question(preferencesWindow());
    question.setModal(true);
    question.show();
    question.activateWindow();
    ASSERT_TRUE(QTest::qWaitFor([&] { return QGuiApplication::focusWindow() == question.windowHandle(); }, 5000));
    press("Escape");
    EXPECT_TRUE(QTest::qWaitFor([&] { return !question.isVisible(); }, 5000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return QGuiApplication::focusWindow() == preferencesWindow()->windowHandle(); },
                                5000));
    preferencesWindow()->close();
}

TEST_F(KioskScreen, OnceALogInOrShareWindowClosesF11WorksWithNoTap) {
    MainWindow booth;
    booth.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&booth));
    const QRect normal = booth.geometry();
    auto f11Works = [&](const char* closed) {
        EXPECT_TRUE(QTest::qWaitForWindowActive(&booth)) << "the keys stay with the closed " << closed;
        press("F11");
        EXPECT_TRUE(QTest::qWaitFor([&] { return booth.geometry() == screenArea(); }, 5000)) << closed;
        press("F11");
        EXPECT_TRUE(QTest::qWaitFor([&] { return booth.geometry() == normal; }, 5000));
    };
    FacebookLoginWebController facebook;
    facebook.window()->show();
    facebook.window()->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(facebook.window()));
    press("Escape");
    f11Works("log-in window");
    ShareViaEmailWindowController email;
    email.showWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(email.window()));
    email.closeWindow();  // as its Close button does
    f11Works("e-mail window");
}

TEST_F(KioskScreen, OperatorsWindowsShowACloseButtonOnlyWhereNoWindowManagerDrawsACloseBox) {
    GreenScreenWindowController greenScreen;
    auto buttonsShown = [&] {
        int shown = 0;
        for (QWidget* window : {preferencesWindow(), static_cast<QWidget*>(&greenScreen)}) {
            window->show();
            auto* button = window->findChild<QAbstractButton*>("closeButton");
            if (QTest::qWaitForWindowExposed(window) && button && button->isVisible()) {
                ++shown;
                EXPECT_GE(std::min(button->width(), button->height()), 44) << "about a fingertip";
                EXPECT_TRUE(screenArea().contains(QRect(button->mapToGlobal(QPoint(0, 0)), button->size())));
            }
            window->close();
        }
        return shown;
    };
    EXPECT_EQ(buttonsShown(), 2) << "no window manager";
    for (auto* pane : Preferences::sharedWindowController()->viewControllers()) {
        Preferences::sharedWindowController()->setSelectedViewController(pane);
        EXPECT_EQ(buttonsShown(), 2) << pane->identifier().toStdString() << " leaves the toolbar no room for it";
    }
    {
        WindowManagerNaming running(true);
        EXPECT_EQ(buttonsShown(), 0) << "a window manager draws close boxes";
    }
    {
        WindowManagerNaming gone(false);
        EXPECT_EQ(buttonsShown(), 2) << "a window manager that died draws nothing";
    }
}

// A key held down repeats, and so does one pressed on a busy machine: a late
// repeat would switch the booth back over a share window shown since, and
// take the keyboard from it.
TEST_F(KioskScreen, F11SwitchesOncePerPressAndLeavesTheKeysToAWindowShownSince) {
    MainWindow booth;
    booth.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&booth));
    xcb_keycode_t f11 = 0;
    PressCount repeats(qApp, [&f11](QEvent* e) {
        if (e->type() != QEvent::ShortcutOverride || static_cast<QKeyEvent*>(e)->key() != Qt::Key_F11) return false;
        f11 = static_cast<xcb_keycode_t>(static_cast<QKeyEvent*>(e)->nativeScanCode());
        return static_cast<QKeyEvent*>(e)->isAutoRepeat();
    });
    int switches = 0;
    QObject::connect(&booth, &MainWindow::fullScreenChanged, [&] { ++switches; });
    ASSERT_EQ(QProcess::execute("xdotool", {"keydown", "F11"}), 0);
    const bool repeated = QTest::qWaitFor([&] { return repeats.n >= 2; }, 5000);
    ASSERT_EQ(QProcess::execute("xdotool", {"keyup", "F11"}), 0);
    ASSERT_TRUE(repeated) << "the X server repeats no key";
    EXPECT_EQ(switches, 1) << "the repeats switch it back and forth";
    booth.toggleFullScreen();

    // A repeat whose press reached the booth after its release (a busy
    // machine), which the toolkit takes for a press of its own.
    switches = 0;
    PressCount releases(qApp, [](QEvent* e) {
        return e->type() == QEvent::KeyRelease && static_cast<QKeyEvent*>(e)->key() == Qt::Key_F11;
    });
    PressCount presses(qApp, [](QEvent* e) {
        return e->type() == QEvent::ShortcutOverride && static_cast<QKeyEvent*>(e)->key() == Qt::Key_F11;
    });
    const xcb_timestamp_t now = serverTime();
    for (auto [type, time] : {std::pair(XCB_KEY_PRESS, now - 3), {XCB_KEY_RELEASE, now - 2}, {XCB_KEY_PRESS, now - 2},
                              {XCB_KEY_RELEASE, now - 1}}) {
        PressCount& heard = type == XCB_KEY_PRESS ? presses : releases;
        const int before = heard.n;
        sendKey(booth.windowHandle(), type, f11, time);
        ASSERT_TRUE(QTest::qWaitFor([&] { return heard.n > before; }, 5000));
    }
    EXPECT_EQ(switches, 1) << "a repeat taken for a press switches back";
    if (booth.isFullScreenShown()) booth.toggleFullScreen();

    // A repeat the toolkit could not tell from a press, switching after a
    // share window showed, leaves it the keyboard.
    ShareViaEmailWindowController email;
    email.showWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(email.window()));
    PressCount shift(qApp, [](QEvent* e) { return e->type() == QEvent::KeyRelease; });
    press("shift");  // the time the booth knows moves on
    ASSERT_TRUE(QTest::qWaitFor([&] { return shift.n > 0; }, 5000));
    booth.toggleFullScreen();
    auto* x = qGuiApp->nativeInterface<QNativeInterface::QX11Application>()->connection();
    std::unique_ptr<xcb_get_input_focus_reply_t, decltype(&std::free)> focus(
        xcb_get_input_focus_reply(x, xcb_get_input_focus(x), nullptr), &std::free);
    EXPECT_EQ(focus->focus, email.window()->winId()) << "the booth took the keyboard";
    booth.toggleFullScreen();
    email.closeWindow();
}

TEST_F(KioskScreen, EachPreferencesDialogGivesTheKeysBackToThePreferences) {
    MainWindow booth;
    booth.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&booth));
    for (auto [pane, button] : {std::pair("DisplayPreferences", "chooseBackgroundImage"),
                                {"DisplayPreferences", "chooseHomeScreenColour"},
                                {"GeneralPreferences", "changeDataDirectory"},
                                {"GeneralPreferences", "resetAllStats"}}) {
        Preferences::showPreferences();
        ASSERT_TRUE(hasKeys(preferencesWindow())) << button;
        EXPECT_TRUE(clickToDialog(pane, button, [] { press("Escape"); })) << button;
        EXPECT_TRUE(hasKeys(preferencesWindow())) << "the keys leave the preferences with the " << button << " dialog";
        press("Escape");
        EXPECT_TRUE(QTest::qWaitFor([&] { return !preferencesWindow()->isVisible(); }, 5000)) << button;
        EXPECT_TRUE(hasKeys(&booth)) << button;
        preferencesWindow()->hide();
    }
    // Closed with a tap on their Close button, they leave the keys to the booth.
    Preferences::showPreferences();
    ASSERT_TRUE(clickToDialog("DisplayPreferences", "chooseHomeScreenColour", [] { press("Escape"); }));
    ASSERT_TRUE(hasKeys(preferencesWindow()));
    // Even where Qt still names the booth's window as the one with the keys
    // when the tap takes them to the preferences.
    booth.activateWindow();
    ASSERT_TRUE(hasKeys(&booth));
    auto* close = preferencesWindow()->findChild<QAbstractButton*>("closeButton");
    tap(close->mapToGlobal(close->rect().center()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !preferencesWindow()->isVisible(); }, 5000));
    EXPECT_TRUE(hasKeys(&booth));
    press("F11");
    EXPECT_TRUE(QTest::qWaitFor([&] { return booth.geometry() == screenArea(); }, 5000)) << "F11 is dead";
    booth.toggleFullScreen();
}

TEST_F(KioskScreen, WhileAnOperatorsWindowIsOpenNoGuestGetsInAndTheOperatorGetsOut) {
    Booth booth;
    ASSERT_TRUE(booth.launched);
    MainWindow* main = booth.controller.mainWindow();
    PressCount taps(main->homeScreen(), [](QEvent* e) {
        return e->type() == QEvent::MouseButtonPress || e->type() == QEvent::MouseButtonDblClick;
    });
    // Beside any operator's window: they open in the middle.
    auto tapHome = [&] {
        const int before = taps.n;
        tap(main->geometry().topLeft() + QPoint(8, 8));
        return QTest::qWaitFor([&] { return taps.n > before; }, 5000);
    };
    for (bool preferences : {true, false}) {
        if (preferences) Preferences::showPreferences();
        else booth.controller.openGreenScreenWindow();
        QWidget* window = preferences ? preferencesWindow() : booth.controller.greenScreenWindow();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
        EXPECT_TRUE(tapHome());
        QTest::keyClick(main->homeScreen(), Qt::Key_Space);
        EXPECT_EQ(booth.controller.currentScreen(), AppController::Screen::Home) << window->objectName().toStdString();
        // The tap left the keys with the operator's window.
        EXPECT_TRUE(hasKeys(window)) << window->objectName().toStdString();
        press("Escape");
        EXPECT_TRUE(QTest::qWaitFor([&] { return !window->isVisible(); }, 5000)) << window->objectName().toStdString();
        window->close();
    }

    // A tap beside, or a second launch, leaves the add-background panel over
    // its window, with the keys.
    booth.controller.openGreenScreenWindow();
    QWidget* greenScreen = booth.controller.greenScreenWindow();
    ASSERT_TRUE(hasKeys(greenScreen));
    greenScreen->findChild<QAbstractButton*>("addBackgroundButton")->click();
    QWidget* panel = booth.controller.greenScreenWindow()->backgroundAndOverlaySelectorPanel();
    ASSERT_TRUE(hasKeys(panel));
    for (const char* how : {"tap beside", "second launch"}) {
        if (std::string(how) == "tap beside") EXPECT_TRUE(tapHome());
        else booth.controller.bringWindowForward();
        EXPECT_TRUE(QTest::qWaitFor([&] { return stackedAbove(panel, greenScreen) && stackedAbove(greenScreen, main); },
                                    5000))
            << how << " hides the panel";
        EXPECT_TRUE(hasKeys(panel)) << how;
    }
    press("Escape");
    EXPECT_TRUE(hasKeys(greenScreen)) << "the panel's Escape";
    press("Escape");
    EXPECT_TRUE(hasKeys(main));
    EXPECT_FALSE(greenScreen->isVisible());

    // In a dialog Ctrl+Q quits, and a second launch leaves the dialog on top.
    Preferences::showPreferences();
    QSignalSpy quits(&booth.controller, &AppController::quitRequested);
    bool mainOnTop = true;
    EXPECT_TRUE(clickToDialog("DisplayPreferences", "chooseHomeScreenColour", [&] {
        press("ctrl+q");
        QTest::qWaitFor([&] { return quits.count() > 0; }, 5000);
        booth.controller.bringWindowForward();
        mainOnTop = stackedAbove(main, QApplication::activeModalWidget());
        press("Escape");
    }));
    EXPECT_EQ(quits.count(), 1) << "Ctrl+Q in a dialog";
    EXPECT_FALSE(mainOnTop) << "the main window covers the dialog";
    ASSERT_TRUE(hasKeys(preferencesWindow()));
    press("Escape");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !preferencesWindow()->isVisible(); }, 5000));
    // The operator gone, a guest's tap starts a session.
    EXPECT_TRUE(tapHome());
    EXPECT_EQ(booth.controller.currentScreen(), AppController::Screen::Session);
}

// A camera plugged in again launches the booth again while a guest types her
// address: her window stays on top with the keys, and what she types goes on.
TEST_F(KioskScreen, ASecondLaunchLeavesAGuestTypingInHerWindow) {
    Booth booth;
    ASSERT_TRUE(booth.launched);
    MainWindow* main = booth.controller.mainWindow();
    ASSERT_TRUE(hasKeys(main));
    ShareViaEmailWindowController email;
    email.showWindow();
    ASSERT_TRUE(hasKeys(email.window()));
    press("a");
    ASSERT_TRUE(QTest::qWaitFor([&] { return email.field()->text() == "a"; }, 5000));
    booth.controller.bringWindowForward();
    EXPECT_TRUE(QTest::qWaitFor([&] { return stackedAbove(email.window(), main); }, 5000)) << "it went under";
    EXPECT_TRUE(hasKeys(email.window()));
    press("b");
    EXPECT_TRUE(QTest::qWaitFor([&] { return email.field()->text() == "ab"; }, 5000))
        << email.field()->text().toStdString();
    email.closeWindow();
    EXPECT_TRUE(hasKeys(main));
}

// The second tap of a double tap that closes a guest's window lands where the
// window was: on the final screen it would tap Done, or open a log-in again.
TEST_F(KioskScreen, ATapThatClosesAGuestWindowIsAllItsDoubleTapDoes) {
    MainWindow booth;
    booth.show();
    booth.selectScreen(booth.sharingScreen());
    ASSERT_TRUE(QTest::qWaitForWindowActive(&booth));
    // A long double-tap interval, so that the second tap surely falls in it.
    const int interval = QGuiApplication::styleHints()->mouseDoubleClickInterval();
    QGuiApplication::styleHints()->setMouseDoubleClickInterval(2000);
    std::vector<std::unique_ptr<PressCount>> beneath;
    for (QWidget* widget : booth.findChildren<QWidget*>())
        beneath.push_back(std::make_unique<PressCount>(widget, [](QEvent* e) {
            return e->type() == QEvent::MouseButtonPress || e->type() == QEvent::MouseButtonDblClick;
        }));
    auto tapsBeneath = [&] {
        int n = 0;
        for (const auto& count : beneath) n += count->n;
        return n;
    };
    PressCount shift(qApp, [](QEvent* e) { return e->type() == QEvent::KeyRelease; });
    auto doubleTap = [&](QWidget* window, const char* button) {
        auto* close = window->findChild<QPushButton*>(button);
        ASSERT_TRUE(close && QTest::qWaitForWindowExposed(window)) << button;
        const QPoint where = close->mapToGlobal(close->rect().center());
        tap(where);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !window->isVisible(); }, 5000)) << button;
        tap(where);
        const int keys = shift.n;
        press("shift");  // comes after the second tap
        ASSERT_TRUE(QTest::qWaitFor([&] { return shift.n > keys; }, 5000));
        EXPECT_EQ(tapsBeneath(), 0) << "the second tap on " << button << " reaches the screen beneath";
        // Once the interval is over, the screen takes taps again.
        EXPECT_TRUE(QTest::qWaitFor([&] {
            tap(where);
            return QTest::qWaitFor([&] { return tapsBeneath() > 0; }, 300);
        }, 10000)) << "the screen beneath takes no tap after " << button;
        for (const auto& count : beneath) count->n = 0;
    };

    FacebookLoginWebController facebook;
    facebook.loadFacebookLoginPage("about:blank");
    ASSERT_TRUE(QTest::qWaitFor([&] { return facebook.window()->isVisible(); }, 10000));
    doubleTap(facebook.window(), "cancelButton");
    TwitterLoginWindowController twitter(nullptr, QString());
    twitter.windowDidLoad();
    doubleTap(twitter.window(), "CloseButton");
    QGuiApplication::styleHints()->setMouseDoubleClickInterval(interval);
}

// What a guest copied or selected, in any of their windows, is gone at the
// end of their session, and no guest field takes a middle-click paste.
TEST_F(KioskScreen, NothingAGuestCopiedOrSelectedOutlivesTheirSession) {
    MainWindow booth;
    booth.show();
    booth.selectScreen(booth.sharingScreen());
    ASSERT_TRUE(QTest::qWaitForWindowActive(&booth));
    QClipboard* clipboard = QGuiApplication::clipboard();
    ASSERT_TRUE(clipboard->supportsSelection());
    TwitterLoginWindowController twitter(nullptr, QString());
    twitter.window()->show();
    QTest::keyClicks(twitter.pinField(), "4711");
    QTest::keyClick(twitter.pinField(), Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(twitter.pinField(), Qt::Key_C, Qt::ControlModifier);
    ASSERT_EQ(clipboard->text().toStdString(), "4711");
    twitter.closeMe();
    ShareViaSMSWindowController sms;
    sms.showWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(sms.window()));
    QTest::keyClicks(sms.mobileNumberField(), "15123456");
    QTest::keyClick(sms.mobileNumberField(), Qt::Key_Home, Qt::ShiftModifier);
    ASSERT_EQ(clipboard->text(QClipboard::Selection).toStdString(), "15123456");

    booth.sharingScreen()->cleanUp();
    // Asked of the X server: the booth holds neither any more.
    EXPECT_FALSE(clipboard->ownsClipboard());
    EXPECT_EQ(clipboard->text().toStdString(), "");
    EXPECT_FALSE(clipboard->ownsSelection());
    EXPECT_EQ(clipboard->text(QClipboard::Selection).toStdString(), "");

    // Whatever is selected, a middle click in a guest field pastes nothing.
    sms.field()->end(false);
    QTest::keyClick(sms.mobileNumberField(), Qt::Key_Home, Qt::ShiftModifier);
    sms.closeWindow();
    ShareViaEmailWindowController email;
    email.showWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(email.window()));
    ASSERT_FALSE(clipboard->text(QClipboard::Selection).isEmpty());
    PressCount shift(qApp, [](QEvent* e) { return e->type() == QEvent::KeyRelease; });
    const QPoint field = email.emailField()->mapToGlobal(email.emailField()->rect().center());
    ASSERT_EQ(QProcess::execute("xdotool", {"mousemove", QString::number(field.x()), QString::number(field.y()),
                                            "click", "2"}), 0);
    press("shift");  // comes after the click
    ASSERT_TRUE(QTest::qWaitFor([&] { return shift.n > 0; }, 5000));
    EXPECT_EQ(email.emailField()->text().toStdString(), "");
    email.closeWindow();
}

