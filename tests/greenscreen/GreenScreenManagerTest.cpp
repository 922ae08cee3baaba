#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <QDir>
#include <QFile>
#include <QPainter>

#include <future>
#include <string>
#include <vector>

#include "GreenScreenTestSupport.h"
#include "base/Executor.h"
#include "camera/CameraManager.h"
#include "camera/FolderCameraModel.h"
#include "core/UserDefaults.h"
#include "greenscreen/GreenScreenManager.h"

namespace {

const QColor kScreenGreen(0, 204, 102);
const QColor kSkin(230, 180, 150);

struct CountingDelegate : GreenScreenManagerDelegate {
    std::vector<QString> photos;
    void doneGreenReplacement(const QString& photoPath) override { photos.push_back(photoPath); }
};

QByteArray fileBytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

}  // namespace

class GreenScreenManagerTest : public GreenScreenTest {
protected:
    void SetUp() override {
        GreenScreenTest::SetUp();
        data = QString::fromStdString(dir.path()) + "/data";
        QDir().mkpath(data + "/incoming");
        QDir().mkpath(data + "/Green Screen");
    }
    QString image(const QString& name, const QImage& image) {
        const QString path = QString::fromStdString(dir.path()) + "/" + name;
        EXPECT_TRUE(image.save(path));
        return path;
    }
    void setBackgrounds(const std::vector<std::pair<QString, QString>>& list) {
        nlohmann::json entries = nlohmann::json::array();
        for (auto& [bg, ov] : list) entries.push_back({{bg.toStdString(), ov.toStdString()}});
        UserDefaults::standard().set("GREEN_SCREEN_BACKGROUNDS", entries);
    }
    // A captured photo: green screen on the left, the guest on the right.
    QString photo(const QString& name = "photo.jpg") {
        const QString path = data + "/incoming/" + name;
        EXPECT_TRUE(splitImage(60, 40, kScreenGreen, kSkin).save(path, "JPEG", 95));
        return path;
    }
    QString data;
    base::ManualExecutor mainQueue;
};

TEST_F(GreenScreenManagerTest, AutomaticSelectionTakesTheBackgroundsInTurnAcrossSessions) {
    const QString a = image("a.png", flatImage(8, 8, Qt::red));
    const QString b = image("b.png", flatImage(8, 8, Qt::blue));
    const QString c = image("c.png", flatImage(8, 8, Qt::white));
    setBackgrounds({{a, ""}, {b, ""}, {c, ""}});
    const std::vector<QString> order = {a, b, c};
    const int start = GreenScreenManager::currentRotationIndex();
    const int first = start + 1 >= 3 ? 0 : start + 1;

    std::vector<QString> used;
    for (int session = 0; session < 2; ++session) {
        GreenScreenManager manager;
        used.push_back(manager.backgrounds()->imageURL);
        manager.updateBackgroundImageIndex();  // the session's second photo
        manager.waitUntilIdle();
        used.push_back(manager.backgrounds()->imageURL);
        EXPECT_EQ(manager.backgroundImages().size(), 3u);
    }
    for (int i = 0; i < 4; ++i) EXPECT_EQ(used[i], order[(first + i) % 3]) << i;

    // One background: always it, and the turn does not move.
    setBackgrounds({{b, ""}});
    const int before = GreenScreenManager::currentRotationIndex();
    GreenScreenManager single;
    single.updateBackgroundImageIndex();
    single.waitUntilIdle();
    EXPECT_EQ(single.backgrounds()->imageURL, b);
    EXPECT_EQ(GreenScreenManager::currentRotationIndex(), before);
}

TEST_F(GreenScreenManagerTest, MissingBackgroundsRaiseTheExceptionAndBadEntriesAreSkipped) {
    auto expectNoBackground = [] {
        try {
            GreenScreenManager manager;
            ADD_FAILURE() << "created without backgrounds";
        } catch (const NoGreenScreenBackgroundException& e) {
            EXPECT_STREQ(e.name(), "NoGreenScreenBackgroundException");
            EXPECT_EQ(e.reason(), "\t\tNo Green Screen Backgrounds.\nPlease specify green screen backgrounds.");
        }
    };
    expectNoBackground();  // automatic, empty list
    auto& d = UserDefaults::standard();
    d.set("GREEN_SCREEN_BACKGROUND_SELECTION_TYPE", 1);
    expectNoBackground();  // manual, no choice
    d.set("GREEN_SCREEN_BACKGROUNDS_TO_USE", nlohmann::json::object());
    expectNoBackground();
    d.set("GREEN_SCREEN_BACKGROUNDS_TO_USE", nlohmann::json::array({1, 2}));
    expectNoBackground();

    const QString a = image("a.png", flatImage(8, 8, Qt::red));
    d.set("GREEN_SCREEN_BACKGROUNDS_TO_USE", {{a.toStdString(), ""}});
    GreenScreenManager manual;
    EXPECT_EQ(manual.backgrounds()->imageURL, a);
    EXPECT_TRUE(manual.backgrounds()->overlayImageURL.isEmpty());

    // Automatic: malformed entries are skipped; running again does not list twice.
    d.set("GREEN_SCREEN_BACKGROUND_SELECTION_TYPE", 0);
    d.set("GREEN_SCREEN_BACKGROUNDS",
          nlohmann::json::array({{{a.toStdString(), ""}}, 5, nlohmann::json::object(), {{"", ""}},
                                 {{"/x.png", 7}}, {{"/y.png", "/o.png"}}}));
    GreenScreenManager automatic;
    ASSERT_EQ(automatic.backgroundImages().size(), 2u);
    EXPECT_EQ(automatic.backgroundImages()[1]->overlayImageURL, "/o.png");
    automatic.initImages();
    EXPECT_EQ(automatic.backgroundImages().size(), 2u);
}

TEST_F(GreenScreenManagerTest, KeyedPhotoReplacesTheCapturedOneWithACopyAndTheDelegateHearsOnce) {
    QImage overlay(60, 40, QImage::Format_ARGB32);
    overlay.fill(Qt::transparent);
    QPainter(&overlay).fillRect(0, 0, 60, 5, Qt::white);
    setBackgrounds({{image("bg.png", flatImage(30, 20, QColor(200, 0, 0))), image("ov.png", overlay)}});
    const QString path = photo();
    auto delegate = std::make_shared<CountingDelegate>();
    {
        GreenScreenManager manager;
        manager.setCallbackExecutor(&mainQueue);
        manager.setDelegate(delegate);
        manager.replaceBackgroundInImageFromURL(path);
    }  // the manager finishes its photo before it goes
    mainQueue.runPending();
    ASSERT_EQ(delegate->photos, std::vector<QString>{path});

    const QByteArray keyed = fileBytes(path);
    EXPECT_EQ(keyed, fileBytes(data + "/Green Screen/photo.jpg"));
    const QImage result(path);
    ASSERT_FALSE(result.isNull());
    EXPECT_COLOR_NEAR(result.pixel(10, 20), qRgb(200, 0, 0), 12);  // the screen, keyed out automatically
    EXPECT_COLOR_NEAR(result.pixel(50, 20), kSkin.rgb(), 12);      // the guest, kept
    EXPECT_COLOR_NEAR(result.pixel(50, 1), qRgb(255, 255, 255), 12);  // the overlay, over both
    // Nothing is left behind in the photo's folder but the photo.
    EXPECT_EQ(QDir(data + "/incoming").entryList(QDir::Files), QStringList{"photo.jpg"});
}

TEST_F(GreenScreenManagerTest, PhotosThatCannotBeKeyedStayAsTheyWere) {
    setBackgrounds({{QString::fromStdString(dir.path()) + "/missing.png", ""}});
    const QString good = photo("a.jpg");
    const QString broken = data + "/incoming/b.jpg";
    {
        QFile f(broken);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("not a jpeg");
    }
    const QByteArray goodBefore = fileBytes(good);
    auto delegate = std::make_shared<CountingDelegate>();
    GreenScreenManager manager;
    manager.setCallbackExecutor(&mainQueue);
    manager.setDelegate(delegate);
    manager.replaceBackgroundInImageFromURL(good);
    manager.replaceBackgroundInImageFromURL(broken);
    manager.waitUntilIdle();
    mainQueue.runPending();
    EXPECT_EQ(delegate->photos, (std::vector<QString>{good, broken}));
    EXPECT_EQ(fileBytes(good), goodBefore);
    EXPECT_EQ(fileBytes(broken), QByteArray("not a jpeg"));
    EXPECT_FALSE(QFile::exists(data + "/Green Screen/a.jpg"));
}

TEST_F(GreenScreenManagerTest, MirroredLiveViewUsesAMirroredBackgroundButPhotosDoNot) {
    auto& d = UserDefaults::standard();
    d.set("MirrorLiveView", true);
    QImage overlay(60, 40, QImage::Format_ARGB32);
    overlay.fill(Qt::transparent);
    QPainter(&overlay).fillRect(0, 0, 10, 5, Qt::white);  // top left only
    setBackgrounds({{image("bg.png", splitImage(60, 40, Qt::red, Qt::blue)), image("ov.png", overlay)}});
    GreenScreenManager manager;
    const QImage frame = flatImage(60, 40, kScreenGreen);

    manager.setImageNumber(-1);
    QImage live = manager.replaceBackgroundInImageForLiveView(frame);
    ASSERT_FALSE(live.isNull());
    EXPECT_COLOR_NEAR(live.pixel(5, 20), qRgb(0, 0, 255), 2);   // mirrored background
    EXPECT_COLOR_NEAR(live.pixel(5, 2), qRgb(255, 255, 255), 2);  // the overlay is not mirrored
    EXPECT_COLOR_NEAR(live.pixel(55, 2), qRgb(255, 0, 0), 2);

    const QString path = data + "/incoming/p.jpg";
    ASSERT_TRUE(frame.save(path, "JPEG", 95));
    manager.setCallbackExecutor(&mainQueue);
    manager.replaceBackgroundInImageFromURL(path);
    manager.waitUntilIdle();
    const QImage keyed(path);
    EXPECT_COLOR_NEAR(keyed.pixel(5, 20), qRgb(255, 0, 0), 12);
    EXPECT_COLOR_NEAR(keyed.pixel(55, 20), qRgb(0, 0, 255), 12);
    EXPECT_COLOR_NEAR(keyed.pixel(5, 2), qRgb(255, 255, 255), 12);

    // After a photo the live view keeps the photo's (unmirrored) background.
    live = manager.replaceBackgroundInImageForLiveView(frame);
    EXPECT_COLOR_NEAR(live.pixel(5, 20), qRgb(255, 0, 0), 2);
}

TEST_F(GreenScreenManagerTest, TransparentBackgroundAreasAreWhiteInTheSavedPhoto) {
    // Left: nothing; top right: half-transparent red; bottom right: opaque blue.
    QImage background(60, 40, QImage::Format_ARGB32);
    background.fill(Qt::transparent);
    {
        QPainter p(&background);
        p.setCompositionMode(QPainter::CompositionMode_Source);
        p.fillRect(30, 0, 30, 20, QColor(255, 0, 0, 128));
        p.fillRect(30, 20, 30, 20, QColor(0, 0, 255));
    }
    setBackgrounds({{image("holes.png", background), ""}});
    const QString path = data + "/incoming/screen.jpg";
    ASSERT_TRUE(flatImage(60, 40, kScreenGreen).save(path, "JPEG", 95));
    GreenScreenManager manager;
    manager.setCallbackExecutor(&mainQueue);
    manager.replaceBackgroundInImageFromURL(path);
    manager.waitUntilIdle();

    const QImage keyed(path);
    ASSERT_FALSE(keyed.isNull());
    EXPECT_EQ(fileBytes(path), fileBytes(data + "/Green Screen/screen.jpg"));
    EXPECT_COLOR_NEAR(keyed.pixel(10, 20), qRgb(255, 255, 255), 12);
    EXPECT_COLOR_NEAR(keyed.pixel(45, 8), qRgb(255, 127, 127), 12);
    EXPECT_COLOR_NEAR(keyed.pixel(45, 32), qRgb(0, 0, 255), 12);
}

TEST_F(GreenScreenManagerTest, LiveViewKeepsFlowingWhileAPhotoIsWritten) {
    setBackgrounds({{image("bg.png", flatImage(60, 40, QColor(200, 0, 0))), ""}});
    GreenScreenManager manager;
    manager.setCallbackExecutor(&mainQueue);
    std::promise<void> entered, release;
    std::shared_future<void> released = release.get_future().share();
    manager.setPhotoWriteHook([&entered, released](const QString&) {
        entered.set_value();
        released.wait();
    });
    const QString path = photo();
    manager.replaceBackgroundInImageFromURL(path);
    entered.get_future().wait();  // the photo is keyed and about to be encoded

    const QImage frame = flatImage(60, 40, kScreenGreen);
    for (int i = 0; i < 3; ++i) {
        const QImage live = manager.replaceBackgroundInImageForLiveView(frame);
        ASSERT_FALSE(live.isNull()) << "frame " << i << " was dropped";
        EXPECT_COLOR_NEAR(live.pixel(30, 20), qRgb(200, 0, 0), 2);
    }
    release.set_value();
    manager.waitUntilIdle();
    EXPECT_COLOR_NEAR(QImage(path).pixel(10, 20), qRgb(200, 0, 0), 12);
}

TEST_F(GreenScreenManagerTest, NextBackgroundIsPreparedAtThePhotoSizeBeforeThePhotoArrives) {
    const QString a = image("a.png", flatImage(12, 8, QColor(200, 0, 0)));
    const QString b = image("b.png", flatImage(12, 8, QColor(0, 0, 200)));
    setBackgrounds({{a, ""}, {b, ""}});
    std::vector<QString> used;
    {
        GreenScreenManager manager;
        manager.setCallbackExecutor(&mainQueue);
        const QString first = photo("1.jpg");
        manager.replaceBackgroundInImageFromURL(first);
        manager.waitUntilIdle();
        used.push_back(manager.backgrounds()->imageURL);

        // The booth picks the next background as the countdown starts.
        manager.updateBackgroundImageIndex();
        manager.waitUntilIdle();
        const auto prepared = manager.preparedPhotoBackground();
        ASSERT_TRUE(prepared.background);
        EXPECT_EQ(prepared.background, manager.backgrounds());
        EXPECT_EQ(prepared.size, QSize(60, 40));
        EXPECT_EQ(prepared.background->imageURL, used[0] == a ? b : a);

        const QString second = photo("2.jpg");
        manager.replaceBackgroundInImageFromURL(second);
        manager.waitUntilIdle();
        const QRgb expected = prepared.background->imageURL == a ? qRgb(200, 0, 0) : qRgb(0, 0, 200);
        EXPECT_COLOR_NEAR(QImage(second).pixel(10, 20), expected, 12);
        EXPECT_COLOR_NEAR(QImage(second).pixel(50, 20), kSkin.rgb(), 12);
    }
    // The next session prepares its first background at the size photos came in.
    GreenScreenManager next;
    next.waitUntilIdle();
    const auto prepared = next.preparedPhotoBackground();
    EXPECT_EQ(prepared.background, next.backgrounds());
    EXPECT_EQ(prepared.size, QSize(60, 40));

    // A photo of another size is still keyed whole, and sets the size prepared next.
    const QString small = data + "/incoming/small.jpg";
    ASSERT_TRUE(splitImage(30, 20, kScreenGreen, kSkin).save(small, "JPEG", 95));
    next.setCallbackExecutor(&mainQueue);
    next.replaceBackgroundInImageFromURL(small);
    next.waitUntilIdle();
    const QImage keyed(small);
    ASSERT_EQ(keyed.size(), QSize(30, 20));
    EXPECT_COLOR_NEAR(keyed.pixel(25, 10), kSkin.rgb(), 12);
    EXPECT_GT(colorDistance(keyed.pixel(5, 10), kScreenGreen.rgb()), 100);  // keyed out
    next.updateBackgroundImageIndex();
    next.waitUntilIdle();
    EXPECT_EQ(next.preparedPhotoBackground().size, QSize(30, 20));
    EXPECT_EQ(next.preparedPhotoBackground().background, next.backgrounds());
}

// The first session after the booth starts has no earlier photo to go by:
// the camera tells the size, so its first photo need not wait for a scale.
TEST_F(GreenScreenManagerTest, FirstBackgroundIsPreparedAtTheSizeTheCameraTells) {
    setBackgrounds({{image("a.png", flatImage(12, 8, QColor(200, 0, 0))), ""}});
    const QString shots = QString::fromStdString(dir.path()) + "/camera";
    QDir().mkpath(shots);
    ASSERT_TRUE(flatImage(52, 38, kScreenGreen).save(shots + "/1.jpg"));  // no other test keys this size
    auto& cameras = CameraManager::sharedCameraManager();
    cameras.setCameraModel(std::make_shared<FolderCameraModel>(shots));
    GreenScreenManager manager;
    manager.waitUntilIdle();
    const auto prepared = manager.preparedPhotoBackground();
    cameras.setCameraModel(nullptr);
    EXPECT_EQ(prepared.size, QSize(52, 38));
    EXPECT_EQ(prepared.background, manager.backgrounds());
}
