// A session ends in a print however its photos came: dropped in a format or
// spelling the camera never uses, or after a camera that failed twice.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <QApplication>
#include <QDir>
#include <QDropEvent>
#include <QFile>
#include <QMimeData>
#include <QTest>
#include <QUrl>

#include <atomic>

#include "BoothTestApp.h"
#include "TempDir.h"
#include "booth/AppController.h"
#include "booth/HomeScreenTabItem.h"
#include "booth/MainWindow.h"
#include "camera/CameraErrors.h"
#include "camera/CameraManager.h"
#include "camera/FolderCameraModel.h"
#include "core/PhotoSession.h"
#include "core/UserDefaults.h"
#include "gallery/ManageHTTPServer.h"

namespace {

// The demo camera, failing its first pictures as a camera that cannot focus
// does, or telling of each photo twice.
class FlakyCamera : public FolderCameraModel {
public:
    using FolderCameraModel::FolderCameraModel;
    void takePicture() override {
        if (failuresLeft.fetch_sub(1) > 0) return reportFailure(CameraMessageFocusFailed);
        FolderCameraModel::takePicture();
        if (!reportTwice) return;
        // Some cameras announce one download twice.
        const auto newest = QDir(incomingFolder()).entryInfoList(QDir::Files, QDir::Time);
        if (!newest.isEmpty()) reportDownloaded(newest.first().absoluteFilePath());
    }
    std::atomic<int> failuresLeft{0};
    std::atomic<bool> reportTwice{false};
};

class SessionArrivals : public ::testing::Test {
protected:
    void SetUp() override {
        app();
        auto& defaults = UserDefaults::standard();
        defaults.set("DATA_DIRECTORY", home.path() + "/data/");
        defaults.set("seconds_between_shots", 0);
        defaults.set("PHOTO_ARRIVAL_CHECK_SECONDS", 0);
        defaults.set("seconds_between_groups", 30);
        defaults.set("CAMERA_RESPONSE_TIMEOUT", 5);
        keepBoothOnLoopback();
        ASSERT_TRUE(controller.applicationDidFinishLaunching());
        camera = std::make_shared<FlakyCamera>(CameraManager::demoCameraFolder());
        CameraManager::sharedCameraManager().setCameraModel(camera);
    }
    void TearDown() override { controller.applicationWillTerminate(); }

    bool reachesSharing() {
        return QTest::qWaitFor([&] { return controller.currentScreen() == AppController::Screen::Sharing; }, 15000);
    }
    void drop(const QStringList& paths) {
        QMimeData mime;
        QList<QUrl> urls;
        for (const QString& p : paths) urls << QUrl::fromLocalFile(p);
        mime.setUrls(urls);
        auto* view = controller.mainWindow()->contentView();
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(view, &enter);
        QDropEvent event(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(view, &event);
    }

    testsupport::ScopedHome home;
    testsupport::TempDir scratch;
    AppController controller;
    std::shared_ptr<FlakyCamera> camera;
};

TEST_F(SessionArrivals, PhotosDroppedAsGifInCapitalsOrWithoutASuffixMakeAPrint) {
    QImage guest(800, 600, QImage::Format_RGB32);
    guest.fill(Qt::magenta);
    const QString gif = QString::fromStdString(scratch.file("party.gif"));
    const QString shouted = QString::fromStdString(scratch.file("IMG_0001.JPG"));
    QFile file(gif);  // Qt writes no GIF: a one-pixel one, byte by byte
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QByteArray::fromHex("47494638396101000100800000000000ffffff21f90401000000002c000000000100010000020244"
                                   "01003b"));
    file.close();
    ASSERT_TRUE(guest.save(shouted, "JPG"));
    const QString bare = QString::fromStdString(scratch.file("IMG_0042"));
    ASSERT_TRUE(guest.save(bare, "JPG"));
    drop({gif, shouted, bare});
    ASSERT_TRUE(reachesSharing()) << "the dropped photos were never counted as arrived";
    EXPECT_EQ(PhotoSession::session().imagesUsed.size(), 4);
}

TEST_F(SessionArrivals, APhotoAnnouncedTwiceFillsOneSlot) {
    camera->reportTwice = true;
    QTest::mouseClick(controller.mainWindow()->homeScreen(), Qt::LeftButton);
    ASSERT_TRUE(reachesSharing());
    const QStringList used = PhotoSession::session().imagesUsed;
    EXPECT_EQ(QSet<QString>(used.begin(), used.end()).size(), 4) << used.join(", ").toStdString();
}

TEST_F(SessionArrivals, TwoFailedPicturesAreTriedAgain) {
    camera->failuresLeft = 2;
    QTest::mouseClick(controller.mainWindow()->homeScreen(), Qt::LeftButton);
    ASSERT_TRUE(reachesSharing());
    EXPECT_EQ(camera->picturesTaken(), 4);
}

}  // namespace
