// The round button, the link label and the centred text field, alone and
// where the panes use them.
#include <gtest/gtest.h>

#include <QMouseEvent>
#include <QSignalSpy>
#include <QTest>

#include "PreferencesTestMain.h"
#include "preferences/CustomControls.h"
#include "preferences/GeneralPreferencesViewController.h"
#include "preferences/PreferencePane.h"
#include "preferences/SharingPreferencesViewController.h"
#include "preferences/SoundPreferencesViewController.h"

namespace {

class CustomControls : public ::testing::Test {
protected:
    void SetUp() override { testApp(); }
    testsupport::ScopedHome home;
};

// The fill at the button's centre, as drawn now.
QColor centreFill(RoundButton& button) {
    const QImage shot = button.grab().toImage();
    return shot.pixelColor(shot.width() / 2, shot.height() / 2);
}

}  // namespace

TEST_F(CustomControls, ARoundButtonIsASquareOfTheSmallerSideAndNeverBelow115) {
    RoundButton button("Go");
    for (auto [requested, expected] : std::vector<std::pair<QSize, QSize>>{
             {{200, 150}, {150, 150}}, {{100, 300}, {115, 115}}, {{116, 116}, {116, 116}}, {{115, 400}, {115, 115}}}) {
        button.setFrame(QRect(QPoint(7, 9), requested));
        EXPECT_EQ(button.geometry(), QRect(QPoint(7, 9), expected)) << requested.width() << "x" << requested.height();
    }
}

TEST_F(CustomControls, ARoundButtonPlacesItsImageAndTitleByItsWidth) {
    RoundButton button;
    QPixmap image(64, 64);
    image.fill(Qt::red);
    button.setIcon(QIcon(image));
    button.setFrame({0, 0, 150, 150});
    EXPECT_EQ(button.imageRect(), QRect(22, 22, 105, 105));
    button.setFrame({0, 0, 115, 115});
    EXPECT_EQ(button.imageRect().topLeft().x(), 5);
    button.setText("Share");
    button.setFrame({0, 0, 150, 150});
    EXPECT_EQ(button.imageRect().x(), 10);
    EXPECT_EQ(button.titleLeft(), 52);
}

TEST_F(CustomControls, ADisabledRoundButtonUnderTheMouseIsDarkGreyWithAWhiteOutline) {
    QWidget window;
    window.resize(300, 300);
    auto* button = new RoundButton("Print", &window);
    button->setFrame({50, 50, 150, 150});
    button->setEnabled(false);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    QTest::mouseMove(&window, QPoint(5, 5));
    QTest::mouseMove(&window, QPoint(125, 125));
    ASSERT_TRUE(QTest::qWaitFor([&] { return button->hover(); }, 2000)) << "a disabled button still sees the mouse";
    EXPECT_EQ(centreFill(*button), QColor(Qt::darkGray));
    EXPECT_EQ(button->outlineColor(), QColor(Qt::white));

    QTest::mouseMove(&window, QPoint(5, 5));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !button->hover(); }, 2000));
    EXPECT_EQ(centreFill(*button), QColor(Qt::darkGray)) << "disabled stays dark grey";
    EXPECT_EQ(button->outlineColor(), QColor(0xcc, 0xcc, 0xcc));
    button->setEnabled(true);
    EXPECT_EQ(centreFill(*button), QColor(0x2f, 0x2f, 0x2f));
}

// A touch screen leaves the pointer where the finger lifted: the release
// ends the hover look, and a button shown again under that resting pointer
// (the next guest's final screen) comes up plain.
TEST_F(CustomControls, ATapLeavesNoHoverLookBehind) {
    QWidget window;
    window.resize(300, 300);
    auto* button = new RoundButton("Share", &window);
    button->setFrame({50, 50, 150, 150});
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    QPointingDevice touchScreen("booth touch screen", 1, QInputDevice::DeviceType::TouchScreen,
                                QPointingDevice::PointerType::Finger, QInputDevice::Capability::Position, 1, 0);
    QTest::touchEvent(&window, &touchScreen).press(0, QPoint(125, 125));
    QTest::touchEvent(&window, &touchScreen).release(0, QPoint(125, 125));
    EXPECT_EQ(centreFill(*button), QColor(0x2f, 0x2f, 0x2f));

    // A touch screen that reports itself as a mouse.
    QTest::mouseMove(&window, QPoint(120, 120));
    ASSERT_TRUE(QTest::qWaitFor([&] { return button->hover(); }, 2000));
    QTest::mouseClick(button, Qt::LeftButton, Qt::NoModifier, QPoint(70, 70));
    EXPECT_EQ(centreFill(*button), QColor(0x2f, 0x2f, 0x2f));
    EXPECT_EQ(button->outlineColor(), QColor(0xcc, 0xcc, 0xcc));

    button->hide();
    button->show();
    QCoreApplication::processEvents();
    EXPECT_FALSE(button->hover());
}

TEST_F(CustomControls, AnyWindowsResizeClearsThePressedLookForOneDrawing) {
    // The button's own window stays hidden, so only the test draws it.
    QWidget holder;
    auto* button = new RoundButton("Done", &holder);
    button->setFrame({0, 0, 150, 150});
    QWidget other;
    other.resize(200, 200);
    other.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&other));
    button->grab();  // whatever the showing left behind is drawn

    button->setDown(true);
    EXPECT_EQ(centreFill(*button), QColor(Qt::darkGray)) << "pressed";
    other.resize(260, 240);
    QCoreApplication::processEvents();
    EXPECT_TRUE(button->screenResize());
    EXPECT_EQ(centreFill(*button), QColor(0x2f, 0x2f, 0x2f)) << "the drawing after a resize is not pressed";
    EXPECT_FALSE(button->screenResize());
    EXPECT_EQ(centreFill(*button), QColor(Qt::darkGray)) << "only that one drawing";
}

TEST_F(CustomControls, ALinkLabelSendsOneActionPerClickAndIsNeverEdited) {
    QWidget window;
    auto* link = new ClickableLabelTextField("Open the web site", &window);
    link->resize(200, 30);
    window.resize(240, 60);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    QSignalSpy clicks(link, &ClickableLabelTextField::clicked);
    QTest::mouseClick(link, Qt::LeftButton);
    EXPECT_EQ(clicks.count(), 1);
    // A double click arrives as press, release, press, double click, release:
    // two clicks, two actions.
    QTest::mouseClick(link, Qt::LeftButton);
    QTest::mousePress(link, Qt::LeftButton);
    QMouseEvent twice(QEvent::MouseButtonDblClick, QPointF(5, 5), link->mapToGlobal(QPointF(5, 5)), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(link, &twice);
    QTest::mouseRelease(link, Qt::LeftButton);
    EXPECT_EQ(clicks.count(), 3);
    EXPECT_EQ(link->selectedText(), QString());
    EXPECT_FALSE(link->hasFocus());
}

TEST_F(CustomControls, CentredTextSitsInTheMiddleThreePointsInFromEachSide) {
    const QRectF fits = VerticallyCenteredTextField::drawingRectForBounds({0, 0, 200, 40}, 16);
    EXPECT_EQ(fits, QRectF(3, 12, 194, 16));
    const QRectF tall = VerticallyCenteredTextField::drawingRectForBounds({10, 10, 200, 12}, 16);
    EXPECT_EQ(tall, QRectF(13, 10, 194, 12)) << "text taller than the field is not moved";

    // While editing, the text's middle stays the field's middle.
    QWidget window;
    auto* field = new VerticallyCenteredTextField(&window);
    field->setText("/home/booth/Pictures");
    field->setGeometry(0, 0, 300, 60);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    field->setFocus();
    field->setCursorPosition(3);
    EXPECT_NEAR(field->inputMethodQuery(Qt::ImCursorRectangle).toRect().center().y(), 30, 4);
}

TEST_F(CustomControls, ThePanesUseThemForLinksAndShownPaths) {
    SharingPreferencesViewController sharing;
    QStringList opened;
    sharing.openURL = [&](const QString& url) { opened << url; };
    for (const char* name : {"manageOnlineAlbums", "aboutPhotosOnTheWebSite", "openTwilioWebsiteButton"}) {
        auto* link = sharing.view()->findChild<ClickableLabelTextField*>(name);
        ASSERT_TRUE(link) << name;
        QTest::mouseClick(link, Qt::LeftButton);
    }
    EXPECT_EQ(opened, (QStringList{"https://www.glimmerly.com/login",
                                   "https://support.flashwren.com/enhanced-sharing-and-deleting-photos",
                                   "https://www.twilio.com/"}));
    PrintPreferencesViewController print;
    print.openURL = [&](const QString& url) { opened << url; };
    auto* help = print.view()->findChild<ClickableLabelTextField*>("printerSetupHelp");
    ASSERT_TRUE(help);
    QTest::mouseClick(help, Qt::LeftButton);
    EXPECT_EQ(opened.size(), 4);

    // Read-only paths and colours are shown centred.
    GeneralPreferencesViewController general;
    DisplayPrefrencesViewController display;
    SoundPreferencesViewController sound;
    EXPECT_TRUE(general.view()->findChild<VerticallyCenteredTextField*>("DATA_DIRECTORY"));
    EXPECT_TRUE(display.view()->findChild<VerticallyCenteredTextField*>("BACKGROUND_IMAGE"));
    EXPECT_TRUE(display.view()->findChild<VerticallyCenteredTextField*>("HOME_SCREEN_BACKGROUND"));
    EXPECT_TRUE(sound.view()->findChild<VerticallyCenteredTextField*>("customPathField"));
}
