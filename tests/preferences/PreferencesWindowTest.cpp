#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <QGuiApplication>
#include <QAbstractButton>
#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QScreen>
#include <QTest>

#include "PreferencesTestMain.h"
#include "preferences/Preferences.h"
#include "preferences/WRENPreferencesWindowController.h"

namespace {

class FakePane : public WRENPreferencesViewController {
public:
    FakePane(QString id, QSize size, bool resizable, bool refuse = false)
        : refuse_(refuse), id_(std::move(id)), resizable_(resizable) {
        view_ = new QLabel(id_);
        view_->resize(size);
    }
    ~FakePane() override { delete view_; }
    QString identifier() const override { return id_; }
    QIcon toolbarItemImage() const override { return QIcon(); }
    QString toolbarItemLabel() const override { return id_ + " label"; }
    QWidget* view() override { return view_; }
    std::optional<bool> hasResizableWidth() const override { return resizable_; }
    std::optional<bool> hasResizableHeight() const override { return resizable_; }
    bool commitEditing() override { return !refuse_; }
    void perfWindowDidOpended() override { ++opened; }
    void viewWillAppear() override { ++appeared; }
    void viewDidDisappear() override { ++disappeared; }
    int opened = 0, appeared = 0, disappeared = 0;
    bool refuse_;

private:
    QString id_;
    bool resizable_;
    QWidget* view_;
};

class PreferencesWindow : public ::testing::Test {
protected:
    void SetUp() override { testApp(); }
    testsupport::ScopedHome home;
};

}  // namespace

TEST_F(PreferencesWindow, FirstOpeningShowsTheFirstPaneAndRemembersTheChoiceAcrossWindows) {
    FakePane general("GeneralPreferences", {400, 300}, false), sounds("SoundPreferences", {500, 200}, false);
    {
        WRENPreferencesWindowController w({&general, &sounds}, "Prefs");
        EXPECT_EQ(w.selectedViewController(), &general);
        EXPECT_EQ(UserDefaults::standard().string("WRENPreferences Selected Identifier View"), "GeneralPreferences");
        EXPECT_EQ(w.window()->windowTitle(), "Prefs");
        w.setSelectedViewController(&sounds);
        EXPECT_EQ(general.disappeared, 1);
    }
    general.opened = sounds.opened = 0;
    WRENPreferencesWindowController again({&general, &sounds}, "Prefs");
    EXPECT_EQ(again.selectedViewController(), &sounds);
    again.showWindow();
    EXPECT_EQ(sounds.opened, 1);
    EXPECT_EQ(general.opened, 0);
}

TEST_F(PreferencesWindow, AStoredIdentifierNoPaneHasFallsBackToTheFirst) {
    UserDefaults::standard().set("WRENPreferences Selected Identifier View", "Gone");
    FakePane a("A", {300, 200}, false);
    WRENPreferencesWindowController w({nullptr, &a});
    EXPECT_EQ(w.selectedViewController(), &a);
    EXPECT_EQ(w.window()->windowTitle(), "A label");  // no title given: follows the pane
}

TEST_F(PreferencesWindow, PaneSizesRespectTheMinimumAndResizability) {
    UserDefaults::standard().set("WRENPreferences Fixed Frame", "{{0, 0}, {900, 900}}");
    UserDefaults::standard().set("WRENPreferences Grows Frame", "{{0, 0}, {100, 700}}");
    FakePane fixed("Fixed", {400, 300}, false), grows("Grows", {400, 300}, true);
    WRENPreferencesWindowController w({&fixed, &grows});
    EXPECT_EQ(fixed.view()->size(), QSize(400, 300));
    EXPECT_FALSE(w.isResizable());
    w.setSelectedViewController(&grows);
    // Width below the minimum is raised; the larger height is kept.
    EXPECT_EQ(grows.view()->size(), QSize(400, 700));
    EXPECT_TRUE(w.isResizable());
}

TEST_F(PreferencesWindow, StepsWrapAroundAndSkipPlaceholders) {
    FakePane a("A", {100, 100}, false), b("B", {100, 100}, false), c("C", {100, 100}, false);
    WRENPreferencesWindowController w({&a, nullptr, &b, &c});
    w.goPreviousTab();
    EXPECT_EQ(w.selectedViewController(), &c);
    w.goNextTab();
    EXPECT_EQ(w.selectedViewController(), &a);
    w.goNextTab();
    EXPECT_EQ(w.selectedViewController(), &b);
    w.selectControllerAtIndex(4);  // equal to the number of entries: nothing
    EXPECT_EQ(w.selectedViewController(), &b);
    w.selectControllerAtIndex(0);
    EXPECT_EQ(w.selectedViewController(), &a);
}

TEST_F(PreferencesWindow, TheDesktopsTabKeysStepThroughThePanes) {
    FakePane a("A", {200, 100}, false), b("B", {200, 100}, false), c("C", {200, 100}, false);
    auto* field = new QLineEdit(b.view());  // typing in a pane does not keep the keys from the window
    WRENPreferencesWindowController w({&a, nullptr, &b, &c});
    w.showWindow();
    w.window()->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(w.window()));
    auto press = [&](Qt::Key key, Qt::KeyboardModifiers modifiers) {
        QWidget* target = QApplication::focusWidget() ? QApplication::focusWidget() : w.window();
        QTest::keyClick(target, key, modifiers);
    };
    press(Qt::Key_Tab, Qt::ControlModifier);
    EXPECT_EQ(w.selectedViewController(), &b);
    field->setFocus();
    press(Qt::Key_Tab, Qt::ControlModifier);
    EXPECT_EQ(w.selectedViewController(), &c);
    press(Qt::Key_PageDown, Qt::ControlModifier);
    EXPECT_EQ(w.selectedViewController(), &a) << "wraps at the end";
    press(Qt::Key_Backtab, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(w.selectedViewController(), &c) << "wraps at the start";
    press(Qt::Key_Tab, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(w.selectedViewController(), &b);
    press(Qt::Key_PageUp, Qt::ControlModifier);
    EXPECT_EQ(w.selectedViewController(), &a);
    press(Qt::Key_Tab, Qt::NoModifier);
    EXPECT_EQ(w.selectedViewController(), &a) << "Tab alone only moves the focus";
}

TEST_F(PreferencesWindow, EveryPaneOfTheBoothShowsItsOwnToolbarImage) {
    std::vector<WRENPreferencesViewController*> panes = Preferences::makePanes();
    {
        WRENPreferencesWindowController w(panes, "flashwren Preferences");
        std::vector<QImage> drawn;
        for (auto* pane : panes) {
            const std::string id = pane->identifier().toStdString();
            EXPECT_FALSE(pane->toolbarItemImage().isNull()) << id;
            auto* item = w.toolbar()->findChild<QAction*>(pane->identifier());
            ASSERT_TRUE(item) << id;
            const QImage image = item->icon().pixmap(w.toolbar()->iconSize()).toImage();
            ASSERT_FALSE(image.isNull()) << id;
            int ink = 0;
            for (int y = 0; y < image.height(); ++y)
                for (int x = 0; x < image.width(); ++x) ink += qAlpha(image.pixel(x, y)) > 128;
            EXPECT_GT(ink, image.width() * image.height() / 20) << id << ": something is drawn";
            for (const QImage& other : drawn) EXPECT_NE(image, other) << id << " looks like another pane";
            drawn.push_back(image);
        }
    }
    for (auto* pane : panes) delete pane;
}

TEST_F(PreferencesWindow, APaneWithAnOpenEditKeepsTheSelectionAndTheWindow) {
    FakePane a("A", {100, 100}, false, true), b("B", {100, 100}, false);
    WRENPreferencesWindowController w({&a, &b});
    w.setSelectedViewController(&b);
    EXPECT_EQ(w.selectedViewController(), &a);
    EXPECT_FALSE(w.windowShouldClose());
    a.refuse_ = false;
    EXPECT_TRUE(w.windowShouldClose());
}

TEST_F(PreferencesWindow, EscapeAndTheCloseButtonCloseAsTheCloseBoxDoes) {
    FakePane pane("A", {300, 200}, false, true);
    WRENPreferencesWindowController w({&pane});
    w.showWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(w.window()));
    QTest::keyClick(w.window()->windowHandle(), Qt::Key_Escape);
    EXPECT_TRUE(w.window()->isVisible()) << "a pane with an edit open keeps the window";
    pane.refuse_ = false;
    QTest::keyClick(w.window()->windowHandle(), Qt::Key_Escape);
    EXPECT_FALSE(w.window()->isVisible());

    // Nothing draws a close box here: a finger closes the window.
    w.showWindow();
    auto* button = w.window()->findChild<QAbstractButton*>("closeButton");
    ASSERT_TRUE(button && button->isVisible());
    QTest::mouseClick(button, Qt::LeftButton);
    EXPECT_FALSE(w.window()->isVisible());
}

TEST_F(PreferencesWindow, AStoredPositionOffEveryScreenOpensTheWindowWithinReach) {
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    FakePane a("A", {300, 200}, false);
    for (auto stored : {"{-5000, -5000}", "{90000, 40}", "{40, 90000}"}) {
        UserDefaults::standard().set("WRENPreferences Frame Top Left", stored);
        WRENPreferencesWindowController w({&a});
        const QRect frame = w.window()->frameGeometry();
        EXPECT_TRUE(area.contains(frame)) << stored << " opened at " << frame.x() << "," << frame.y();
        // Opening alone does not overwrite what was stored.
        EXPECT_EQ(UserDefaults::standard().string("WRENPreferences Frame Top Left"), stored);
    }
    // A position on the screen is kept as it is.
    const QPoint inside = area.topLeft() + QPoint(20, 30);
    UserDefaults::standard().set("WRENPreferences Frame Top Left",
                                 WRENPreferencesWindowController::stringFromPoint(inside).toStdString());
    WRENPreferencesWindowController w({&a});
    EXPECT_EQ(w.window()->frameGeometry().topLeft(), inside);
}

TEST(PreferencesWindowPlacement, TheTopLeftIsClampedToTheNearestScreenArea) {
    const QList<QRect> screens = {QRect(0, 0, 1920, 1080), QRect(1920, 0, 1280, 1024)};
    auto place = [&](QPoint p, QSize size = {400, 300}) {
        return WRENPreferencesWindowController::clampedTopLeft(p, size, screens);
    };
    EXPECT_EQ(place({2500, 100}), QPoint(2500, 100));           // on the second screen
    EXPECT_EQ(place({5000, 100}), QPoint(2800, 100));           // beyond it: its right edge
    EXPECT_EQ(place({-3000, -50}), QPoint(0, 0));               // left of all: the first
    EXPECT_EQ(place({100, 1000}), QPoint(100, 780));            // partly below: pulled up
    EXPECT_EQ(place({1800, 500}), QPoint(1520, 500));           // straddling: kept on its screen
    EXPECT_EQ(place({10, 10}, {3000, 2000}), QPoint(0, 0));     // larger than the screen
    EXPECT_EQ(WRENPreferencesWindowController::clampedTopLeft({-10, -10}, {400, 300}, {}), QPoint(-10, -10));
}

TEST(PreferencesStrings, RectAndPointTextsRoundTripAndRejectGarbage) {
    QRect r(3, -4, 500, 600);
    EXPECT_EQ(WRENPreferencesWindowController::rectFromString(WRENPreferencesWindowController::stringFromRect(r)), r);
    EXPECT_EQ(WRENPreferencesWindowController::stringFromRect(r), "{{3, -4}, {500, 600}}");
    EXPECT_EQ(WRENPreferencesWindowController::rectFromString("{{0, 0}, {12.6, 7}}"), QRect(0, 0, 13, 7));
    EXPECT_TRUE(WRENPreferencesWindowController::rectFromString("garbage").isNull());
    EXPECT_EQ(WRENPreferencesWindowController::pointFromString("{10, 20}").value(), QPoint(10, 20));
    EXPECT_FALSE(WRENPreferencesWindowController::pointFromString("{10}"));
}
