#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <QAbstractButton>
#include <QButtonGroup>
#include <QDir>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <QTimer>

#include <thread>

#include "GreenScreenTestSupport.h"
#include "base/NotificationCenter.h"
#include "camera/CameraManager.h"
#include "camera/CameraManagerDelegate.h"
#include "camera/FolderCameraModel.h"
#include "core/Notifications.h"
#include "core/ProgressWindowController.h"
#include "core/UserDefaults.h"
#include "greenscreen/BackgroundImageSelectorPanel.h"
#include "greenscreen/GreenBackgroundsPreviewView.h"
#include "greenscreen/GreenScreenViews.h"
#include "greenscreen/GreenScreenWindowController.h"

namespace {

const QColor kScreenGreen(0, 204, 102);

QString shownMessage() { return ProgressWindowController::sharedPrgoressWindowController()->visibleMessage(); }

// Counts the posts of one notification.
struct Watch {
    explicit Watch(const char* name) {
        id = base::NotificationCenter::defaultCenter().addObserver(
            name, nullptr, nullptr, [this](const base::Notification& n) {
                ++count;
                if (auto* b = n.get<BackgroundImagePtr>(kSelectedImagesKey)) last = *b;
            });
    }
    ~Watch() { base::NotificationCenter::defaultCenter().removeObserver(id); }
    base::NotificationCenter::ObserverId id;
    int count = 0;
    BackgroundImagePtr last;
};

}  // namespace

class GreenScreenWindowTest : public GreenScreenTest {
protected:
    void SetUp() override {
        GreenScreenTest::SetUp();
        GreenScreenHooks::showAlert = [this](const QString& m, const QString& i, int style) {
            alerts << m + "|" + i + "|" + QString::number(style);
        };
        UserDefaults::standard().set("DATA_DIRECTORY", home.path() + "/data/");
        ProgressWindowController::sharedPrgoressWindowController()->close();
    }
    void TearDown() override { GreenScreenHooks::reset(); }
    QString image(const QString& name, const QImage& img) {
        const QString path = QString::fromStdString(dir.path()) + "/" + name;
        EXPECT_TRUE(img.save(path));
        return path;
    }
    void setBackgrounds(const QStringList& paths) {
        nlohmann::json entries = nlohmann::json::array();
        for (auto& p : paths) entries.push_back({{p.toStdString(), ""}});
        UserDefaults::standard().set("GREEN_SCREEN_BACKGROUNDS", entries);
    }
    std::unique_ptr<GreenScreenWindowController> openWindow(size_t backgrounds) {
        auto w = std::make_unique<GreenScreenWindowController>();
        w->show();
        EXPECT_TRUE(QTest::qWaitFor([&] { return w->backgroundImages().size() == backgrounds; }, 3000));
        EXPECT_TRUE(QTest::qWaitForWindowExposed(w.get()));
        return w;
    }
    QStringList alerts;
};

TEST_F(GreenScreenWindowTest, WithoutTheKeyingEngineGreenScreenStaysOff) {
    GreenScreenHooks::keyingEngineSupported = [] { return false; };
    auto w = openWindow(0);
    w->greenRemovalTypeRadioGroup()->button(0)->click();
    ASSERT_EQ(alerts.size(), 1);
    EXPECT_EQ(alerts[0], "GreenScreen can't be used with your graphics card as configured.|"
                         "Pleae make sure your graphics card supports OpenGL.|2");
    EXPECT_EQ(UserDefaults::standard().integer("GREEN_SCREEN_ON"), 2);
    EXPECT_TRUE(QTest::qWaitFor([&] { return w->greenRemovalTypeRadioGroup()->checkedId() == 2; }, 3000));

    GreenScreenHooks::keyingEngineSupported = [] { return true; };
    w->greenRemovalTypeRadioGroup()->button(1)->click();
    EXPECT_EQ(UserDefaults::standard().integer("GREEN_SCREEN_ON"), 1);
    EXPECT_EQ(alerts.size(), 1);
}

TEST_F(GreenScreenWindowTest, EachModeWritesItsOwnKeysAndSlidersShowWholePercentages) {
    auto w = openWindow(0);
    auto& d = UserDefaults::standard();
    EXPECT_EQ(w->sensitivitySilderValueLabel()->text(), "10");
    EXPECT_EQ(w->smoothnessSilderValueLabel()->text(), "11");
    w->imageSettingsTypeDidChanged(1);
    EXPECT_EQ(d.integer("GREEN_SCREEN_REMOVAL_WAY"), 1);
    EXPECT_TRUE(w->sensitivitySlighter()->isEnabled());
    w->setSensitivitySliderValue(0.29);
    EXPECT_EQ(w->sensitivitySilderValueLabel()->text(), "29");

    // Live-view mode: no camera, so live view cannot start and says so.
    w->settingsModeLabelsDidClicked("liveViewButton");
    EXPECT_EQ(w->settingsMode(), "LV");
    EXPECT_EQ(shownMessage(), "Live view can't be started, make sure camera is connected.");
    EXPECT_EQ(w->selectImageOrLiveViewButton()->objectName(), "toggleLiveViewButton");
    EXPECT_FALSE(w->sensitivitySlighter()->isEnabled()) << "the live view's way is still automatic";
    w->imageSettingsTypeDidChanged(1);
    EXPECT_EQ(d.integer("GREEN_SCREEN_REMOVAL_WAY_LV"), 1);
    w->imageSettingsTypeDidChanged(0);
    EXPECT_EQ(d.integer("GREEN_SCREEN_REMOVAL_WAY_LV"), 0);
    EXPECT_EQ(d.integer("GREEN_SCREEN_REMOVAL_WAY"), 1) << "the photo mode's way is untouched";
    EXPECT_EQ(w->sensitivitySilderValueLabel()->text(), "10") << "automatic resets the sliders";
}

TEST_F(GreenScreenWindowTest, RemovingTheBackgroundInUseMovesToTheFirstAndTheLastClearsTheChoice) {
    const QString a = image("a.png", flatImage(40, 30, Qt::red));
    const QString b = image("b.png", flatImage(40, 30, Qt::blue));
    const QString broken = QString::fromStdString(dir.path()) + "/gone.png";
    setBackgrounds({a, broken, b});
    auto w = openWindow(2);
    auto& d = UserDefaults::standard();
    EXPECT_EQ(d.object("GREEN_SCREEN_BACKGROUNDS")->size(), 2u) << "an unreadable background is dropped";

    // Selecting a thumbnail makes it the background in use.
    QTest::mouseClick(w->thumbnails()[0], Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return w->backgroundImagesInUse() == w->backgroundImages()[0]; }, 2000));
    EXPECT_EQ(*d.object("GREEN_SCREEN_BACKGROUNDS_TO_USE"), nlohmann::json({{a.toStdString(), ""}}));

    w->thumbnails()[0]->removeButton()->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return w->backgroundImages().size() == 1; }, 2000));
    ASSERT_TRUE(w->backgroundImagesInUse());
    EXPECT_EQ(w->backgroundImagesInUse()->imageURL, b);
    EXPECT_EQ(*d.object("GREEN_SCREEN_BACKGROUNDS_TO_USE"), nlohmann::json({{b.toStdString(), ""}}));
    EXPECT_EQ(*d.object("GREEN_SCREEN_BACKGROUNDS"), nlohmann::json::array({{{b.toStdString(), ""}}}));

    w->removeBackgroundImage(w->backgroundImages()[0]);
    EXPECT_TRUE(w->backgroundImages().empty());
    EXPECT_FALSE(w->backgroundImagesInUse());
    EXPECT_FALSE(d.has("GREEN_SCREEN_BACKGROUNDS_TO_USE"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return w->thumbnails().empty(); }, 3000));
}

TEST_F(GreenScreenWindowTest, AutomaticMergeKeysOntoTransparencyAndStoresTheFoundColour) {
    auto w = openWindow(0);
    QImage sample = flatImage(200, 150, kScreenGreen);
    QPainter(&sample).fillRect(80, 40, 40, 80, QColor(220, 170, 140));
    w->newBackgroundImageLoadedFromURL(image("sample.png", sample));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !w->mergedImage()->image().isNull(); }, 2000));
    EXPECT_TRUE(QFile::exists(QString::fromStdString(home.path()) + "/data/Temp/sample.png"));
    const QImage merged = w->mergedImage()->image().convertToFormat(QImage::Format_ARGB32);
    EXPECT_EQ(qAlpha(merged.pixel(10, 10)), 0) << "no background: keyed pixels are transparent";
    EXPECT_EQ(qAlpha(merged.pixel(100, 80)), 255);
    const auto stored = GreenScreenFilterSettings::initFromNSDefaults();
    EXPECT_EQ(stored.spotColor().rgb(), kScreenGreen.rgb());
    EXPECT_FLOAT_EQ(stored.sensitivity(), 0.1f);
    EXPECT_FLOAT_EQ(stored.smoothness(), 0.11f);
    EXPECT_EQ(w->keyColorBox()->color().rgb(), kScreenGreen.rgb());
}

TEST_F(GreenScreenWindowTest, PickingTheKeyColourReadsTheSamplePixelUnderThePointer) {
    UserDefaults::standard().set("GREEN_SCREEN_REMOVAL_WAY", 1);
    auto w = openWindow(0);
    EXPECT_TRUE(w->keyColorBox()->hasTrackingArea());
    w->newBackgroundImageLoadedFromURL(image("s.png", splitImage(200, 100, QColor(10, 200, 90), Qt::yellow)));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !w->mergedImage()->image().isNull(); }, 2000));

    QTest::mouseClick(w->keyColorBox(), Qt::LeftButton);
    EXPECT_TRUE(w->eyedropperActive());
    EXPECT_TRUE(w->mergedImage()->hasTrackingZone());
    EXPECT_EQ(w->mergedImage()->image(), w->sampleImage()) << "the unkeyed sample is shown while picking";

    // Outside the drawn image (the view is wider than 2:1 or taller): nothing.
    const QRectF frame = w->mergedImage()->imageFrame();
    ASSERT_FALSE(frame.isEmpty());
    // (QTest takes a null point for the centre, hence (1, 1).)
    QTest::mouseClick(w->mergedImage(), Qt::LeftButton, {}, QPoint(1, 1));
    if (frame.contains(QPointF(1, 1))) GTEST_SKIP() << "the image fills the view";
    EXPECT_TRUE(w->eyedropperActive());

    const QPoint onGreen = (frame.topLeft() + QPointF(frame.width() * 0.25, frame.height() / 2)).toPoint();
    QTest::mouseClick(w->mergedImage(), Qt::LeftButton, {}, onGreen);
    EXPECT_FALSE(w->eyedropperActive());
    EXPECT_FALSE(w->keyColorBox()->wasClicked);
    EXPECT_EQ(w->keyColorBox()->color().rgb(), qRgb(10, 200, 90));
    EXPECT_EQ(GreenScreenFilterSettings::initFromNSDefaults().spotColor().rgb(), qRgb(10, 200, 90));
}

TEST_F(GreenScreenWindowTest, ViewsAnnounceOnlyRealChanges) {
    Watch changed(kBackgroundImageChangedNotification), deleted(kBackgroundImageDeleteNotification);
    ThumbnailImageViewItem item;
    auto background = std::make_shared<BackgroundImage>();
    item.setRepresentedObject(background);
    item.setSelected(false);
    item.setSelected(true);
    item.setSelected(true);
    item.setSelected(false);
    EXPECT_EQ(changed.count, 1);
    EXPECT_EQ(changed.last, background);
    item.removeButton()->click();
    EXPECT_EQ(deleted.count, 1);

    // The swatch shows the pointing hand only once tracking is armed.
    KeyColorView swatch;
    EXPECT_NE(swatch.cursor().shape(), Qt::PointingHandCursor);
    swatch.addMouseTrackingArea();
    EXPECT_EQ(swatch.cursor().shape(), Qt::PointingHandCursor);
    swatch.removeMouseTrackingArea();
    EXPECT_NE(swatch.cursor().shape(), Qt::PointingHandCursor);
}

TEST_F(GreenScreenWindowTest, LiveViewFramesReachTheWindowOnItsOwnThreadNewestFirst) {
    auto w = openWindow(0);
    auto delegate = w->cameraDelegate();
    std::thread camera([&] {
        for (int i = 1; i <= 5; ++i) delegate->didReceivedLiveViewImage(flatImage(8, 8, QColor(i * 40, 0, 0)));
    });
    camera.join();
    // The newest frame is the one that stays.
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return !w->sampleImage().isNull() && w->sampleImage().pixel(0, 0) == qRgb(200, 0, 0); }, 3000));
}

TEST_F(GreenScreenWindowTest, PanelRequiresABackgroundAndHandsOverANewOneEachTime) {
    struct Receiver : BackgroundImageSelectorPanelDelegate {
        std::vector<BackgroundImagePtr> got;
        void userDidAddedNewBGAndOverlayImages(const BackgroundImagePtr& b) override { got.push_back(b); }
    } receiver;
    QString next;
    GreenScreenHooks::chooseImageFile = [&](QWidget*, const QStringList&) { return next; };
    const QString overlay = image("ov.png", flatImage(10, 10, Qt::white, QImage::Format_ARGB32));
    const QString first = image("first.png", flatImage(10, 10, Qt::red));
    const QString second = image("second.jpg", flatImage(10, 10, Qt::blue));

    auto panel = std::make_unique<BackgroundImageSelectorPanel>();
    panel->setDelegate(&receiver);
    panel->prepareToShowPanel();
    panel->show();
    next = overlay;
    panel->browseForImage("overlayButton");
    panel->saveButtonDidClicked();
    EXPECT_EQ(shownMessage(), "Background image is required.");
    EXPECT_TRUE(panel->isVisible());

    next = first;
    panel->browseForImage("backgroundButton");
    next = second;
    panel->browseForImage("backgroundButton");
    EXPECT_EQ(panel->backgroundImageName()->text(), "second.jpg");
    panel->saveButtonDidClicked();
    EXPECT_FALSE(panel->isVisible());
    ASSERT_TRUE(QTest::qWaitFor([&] { return receiver.got.size() == 1; }, 1000));
    EXPECT_EQ(receiver.got[0]->imageURL, second);
    EXPECT_EQ(receiver.got[0]->overlayImageURL, overlay);

    // The next background is a new object, without the last one's overlay.
    panel->prepareToShowPanel();
    next = first;
    panel->browseForImage("backgroundButton");
    panel->saveButtonDidClicked();
    ASSERT_TRUE(QTest::qWaitFor([&] { return receiver.got.size() == 2; }, 1000));
    EXPECT_NE(receiver.got[1], receiver.got[0]);
    EXPECT_EQ(receiver.got[1]->storedEntry(), nlohmann::json({{first.toStdString(), ""}}));

    // A hand-over still waiting when the panel goes is dropped.
    panel->prepareToShowPanel();
    panel->browseForImage("backgroundButton");
    panel->saveButtonDidClicked();
    panel.reset();
    // A timer started now, longer than the panel's wait, fires after the
    // hand-over would have.
    bool passed = false;
    QTimer::singleShot(100, [&] { passed = true; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return passed; }, 5000));
    EXPECT_EQ(receiver.got.size(), 2u);

    // Choosing nothing says so.
    BackgroundImageSelectorPanel again;
    next = "";
    again.browseForImage("backgroundButton");
    EXPECT_EQ(shownMessage(), "Unable to load the image, please try again.");
}

TEST_F(GreenScreenWindowTest, ChooserStopsAtItsEndsAndSpaceStartsTheSession) {
    Watch start(kUseDidPressedToStartSessionNotification);
    auto& d = UserDefaults::standard();
    GreenBackgroundsPreviewView chooser;
    // No backgrounds: a message, nothing shown; moving does nothing.
    EXPECT_FALSE(chooser.presentViewForGreenBackgroundSelection());
    EXPECT_EQ(shownMessage(), "\t\tNo Green Screen Backgrounds.\nPlease specify green screen backgrounds.");
    QTest::keyClick(&chooser, Qt::Key_Left);
    EXPECT_EQ(chooser.selectedIndex(), -1);

    setBackgrounds({image("a.png", flatImage(30, 20, Qt::red)), image("b.png", flatImage(30, 20, Qt::blue)),
                    image("c.png", flatImage(30, 20, Qt::white))});
    d.set("GREEN_SCREEN_BACKGROUND_SELECTION_TYPE", 1);
    ASSERT_TRUE(chooser.presentViewForGreenBackgroundSelection());
    EXPECT_TRUE(chooser.isVisible());
    EXPECT_EQ(chooser.selectedIndex(), 0);
    QTest::keyClick(&chooser, Qt::Key_Left);
    EXPECT_EQ(chooser.selectedIndex(), 0);
    for (int i = 0; i < 4; ++i) QTest::keyClick(&chooser, Qt::Key_Right);
    EXPECT_EQ(chooser.selectedIndex(), 2);
    (void)QTest::qWaitFor([&] { return chooser.goButtonBox()->isVisible(); }, 1000);
    EXPECT_TRUE(chooser.goButtonBox()->isVisible());
    EXPECT_EQ(start.count, 0);
    QTest::keyClick(&chooser, Qt::Key_Space);
    EXPECT_EQ(start.count, 1);
    const auto chosen = d.object("GREEN_SCREEN_BACKGROUNDS_TO_USE");
    ASSERT_TRUE(chosen);
    EXPECT_EQ(chosen->size(), 1u);
    EXPECT_EQ(chosen->begin().value(), "");
    EXPECT_TRUE(QString::fromStdString(chosen->begin().key()).endsWith("c.png"));

    // Automatic selection: nothing to choose, the session starts at once.
    GreenBackgroundsPreviewView automatic;
    d.set("GREEN_SCREEN_BACKGROUND_SELECTION_TYPE", 0);
    ASSERT_TRUE(automatic.presentViewForGreenBackgroundSelection());
    EXPECT_EQ(start.count, 2);
    EXPECT_FALSE(automatic.isVisible());
    ASSERT_TRUE(QTest::qWaitFor([&] { return automatic.backgroundImages().empty(); }, 3000));
}

TEST_F(GreenScreenWindowTest, ScreenshotShowsTheDemoCameraKeyedOntoABackground) {
    auto& d = UserDefaults::standard();
    QImage backdrop(320, 240, QImage::Format_RGB32);
    QPainter p(&backdrop);
    QLinearGradient g(0, 0, 320, 240);
    g.setColorAt(0, QColor(250, 170, 40));
    g.setColorAt(1, QColor(40, 60, 200));
    p.fillRect(backdrop.rect(), g);
    p.end();
    setBackgrounds({image("sunset.png", backdrop)});
    d.set("GREEN_SCREEN_BACKGROUNDS_TO_USE", {{image("sunset.png", backdrop).toStdString(), ""}});
    auto& camera = CameraManager::sharedCameraManager();
    camera.setCameraModel(std::make_shared<FolderCameraModel>(CameraManager::demoCameraFolder()));
    auto w = openWindow(1);
    w->resize(1200, 760);
    w->setCameraManager(&camera);
    w->settingsModeLabelsDidClicked("liveViewButton");  // starts the live view
    // The demo camera's green corner comes to show the backdrop's warm top left.
    auto corner = [&] {
        const QImage preview = w->mergedImage()->image().convertToFormat(QImage::Format_RGB32);
        return preview.isNull() ? qRgb(0, 0, 0) : preview.pixel(5, preview.height() / 4);
    };
    EXPECT_TRUE(QTest::qWaitFor([&] { return qRed(corner()) > 150 && qGreen(corner()) < qRed(corner()); }, 5000))
        << std::hex << corner();

    const QImage shot = w->grab().toImage();
    EXPECT_FALSE(shot.isNull());
    if (const char* out = std::getenv("FLASHWREN_SCREENSHOT")) shot.save(QString::fromLocal8Bit(out));
    w->close();
    EXPECT_FALSE(camera.isLiveViewRunning());
    camera.setCameraModel(nullptr);
}

TEST_F(GreenScreenWindowTest, EscapeInTheAddBackgroundPanelClosesThePanelOnly) {
    auto w = openWindow(0);
    w->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(w.get()));
    // A tool panel counts as active while its window is; the keys go to it.
    w->addBackgroundImagesButtonDidClicked();
    auto* panel = w->backgroundAndOverlaySelectorPanel();
    ASSERT_TRUE(QTest::qWaitFor([&] { return QGuiApplication::focusWindow() == panel->windowHandle(); }, 3000));
    QTest::keyClick(panel->windowHandle(), Qt::Key_Escape);
    EXPECT_FALSE(panel->isVisible());
    EXPECT_TRUE(w->isVisible());
}

// A pick left armed would store the colour of whatever the next click on the
// preview hits, perhaps a guest's shirt. Escape ends the pick and no more;
// closing the window ends it too.
TEST_F(GreenScreenWindowTest, EscapeOrClosingTheWindowCancelsAKeyColourPick) {
    UserDefaults::standard().set("GREEN_SCREEN_REMOVAL_WAY", 1);
    auto w = openWindow(0);
    w->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(w.get()));
    w->newBackgroundImageLoadedFromURL(image("s.png", splitImage(200, 100, QColor(10, 200, 90), Qt::yellow)));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !w->mergedImage()->image().isNull(); }, 2000));
    const QRgb stored = GreenScreenFilterSettings::initFromNSDefaults().spotColor().rgb();
    const QRgb swatch = w->keyColorBox()->color().rgb();
    auto onYellow = [&] {
        const QRectF frame = w->mergedImage()->imageFrame();
        return (frame.topLeft() + QPointF(frame.width() * 0.75, frame.height() / 2)).toPoint();
    };

    QTest::mouseClick(w->keyColorBox(), Qt::LeftButton);
    ASSERT_TRUE(w->eyedropperActive());
    QTest::mouseMove(w->mergedImage(), onYellow());
    QTest::keyClick(w.get(), Qt::Key_Escape);
    EXPECT_TRUE(w->isVisible()) << "Escape while picking closed the window";
    EXPECT_FALSE(w->eyedropperActive());
    EXPECT_EQ(w->keyColorBox()->color().rgb(), swatch) << "the hovered colour stays in the swatch";
    EXPECT_TRUE(w->keyColorBox()->hasTrackingArea()) << "the swatch no longer starts a pick";
    auto clickStoresNothing = [&](const char* when) {
        QTest::mouseClick(w->mergedImage(), Qt::LeftButton, {}, onYellow());
        EXPECT_EQ(GreenScreenFilterSettings::initFromNSDefaults().spotColor().rgb(), stored)
            << "one click on the preview stored a colour " << when;
        EXPECT_EQ(w->keyColorBox()->color().rgb(), swatch) << when;
    };
    clickStoresNothing("after Escape");

    QTest::mouseClick(w->keyColorBox(), Qt::LeftButton);
    ASSERT_TRUE(w->eyedropperActive());
    w->close();
    w->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(w.get()));
    EXPECT_FALSE(w->eyedropperActive());
    clickStoresNothing("after the window closed");
}
