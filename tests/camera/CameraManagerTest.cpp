#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QTest>
#include <QThread>

#include <atomic>
#include <mutex>

#include "TempDir.h"
#include "base/NotificationCenter.h"
#include "base/Scheduler.h"
#include "camera/CameraErrors.h"
#include "camera/CameraManager.h"
#include "camera/FolderCameraModel.h"
#include "core/Notifications.h"

namespace {

QCoreApplication& app() {
    static int argc = 1;
    static char name[] = "test_camera";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* instance = new QCoreApplication(argc, argv);
    return *instance;
}

class RecordingDelegate : public CameraManagerDelegate {
public:
    void didDownloadedImageAtPath(const QString& path) override {
        onMainThread = onMainThread && QThread::currentThread() == app().thread();
        std::lock_guard lock(mutex);
        downloaded << path;
    }
    void deviceReadyToTakePhoto() override { ++ready; }
    void didReceivedLiveViewImage(const QImage& image) override {
        if (QThread::currentThread() != app().thread()) framesOffMain = true;
        if (!image.isNull()) ++frames;
    }
    void didFailedToTakePicture() override { ++failures; }
    void didStartedLiveView() override { ++liveViewStarts; }

    QStringList paths() {
        std::lock_guard lock(mutex);
        return downloaded;
    }

    std::mutex mutex;
    QStringList downloaded;
    std::atomic<int> ready{0}, frames{0}, failures{0}, liveViewStarts{0};
    std::atomic<bool> framesOffMain{false};
    std::atomic<bool> onMainThread{true};
};

void writeImage(const QString& path, QColor color) {
    QImage image(64, 48, QImage::Format_RGB32);
    image.fill(color);
    ASSERT_TRUE(image.save(path));
}

class CameraManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        app();
        QDir().mkpath(photos());
        writeImage(photos() + "/a.jpg", Qt::red);
        writeImage(photos() + "/b.png", Qt::blue);
        QFile text(photos() + "/notes.txt");
        ASSERT_TRUE(text.open(QIODevice::WriteOnly));
        text.write("not a photo");
        text.close();
        model = std::make_shared<FolderCameraModel>(photos());
        model->setIncomingFolder(incoming());
        manager().setCameraModel(model);
        manager().setDelegate(delegate);
        manager().setLiveViewIdleTimeout(std::chrono::seconds(600));
    }
    void TearDown() override {
        manager().endLiveView();
        manager().setDelegate(nullptr);
        manager().disconnectCamera();
    }
    static CameraManager& manager() { return CameraManager::sharedCameraManager(); }
    QString photos() const { return QString::fromStdString(dir.path()) + "/photos"; }
    QString incoming() const { return QString::fromStdString(dir.path()) + "/data/incoming"; }

    // Moves the live-view frames forward one 50 ms tick at a time and waits
    // until those frames were handed on, so "no frame came" is exact.
    void tick(int count) {
        for (int i = 0; i < count; ++i) clock->advance(std::chrono::milliseconds(50));
        model->waitForFramesInFlight();
    }

    testsupport::ScopedHome home;
    testsupport::TempDir dir;
    std::shared_ptr<base::ManualTimeSource> clock = std::make_shared<base::ManualTimeSource>();
    base::Scheduler frameTimer{clock};
    std::shared_ptr<FolderCameraModel> model;
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
};

TEST_F(CameraManagerTest, PicturesArriveInIncomingOnTheMainThreadInTurn) {
    for (int i = 0; i < 3; ++i) manager().takePicture();
    ASSERT_TRUE(QTest::qWaitFor([&] { return delegate->paths().size() == 3; }, 3000));
    EXPECT_TRUE(delegate->onMainThread);
    const QStringList paths = delegate->paths();
    EXPECT_EQ(paths.size(), QSet<QString>(paths.begin(), paths.end()).size()) << "each photo gets a file name of its own";
    for (const QString& path : paths) {
        EXPECT_TRUE(path.startsWith(incoming())) << path.toStdString();
        EXPECT_FALSE(QImage(path).isNull());
    }
    // The folder's images are served in name order and start again: a, b, a.
    EXPECT_EQ(QImage(paths[0]).pixelColor(1, 1).red() > 200, true);
    EXPECT_EQ(QImage(paths[1]).pixelColor(1, 1).blue() > 200, true);
    EXPECT_EQ(QImage(paths[2]).pixelColor(1, 1).red() > 200, true);
    EXPECT_TRUE(paths[1].endsWith(".png"));
}

TEST_F(CameraManagerTest, ReadinessFollowsTheFolder) {
    EXPECT_TRUE(manager().isDeviceReadyForNewSession());
    EXPECT_TRUE(QTest::qWaitFor([&] { return delegate->ready > 0; }, 1000));

    QDir(photos()).removeRecursively();
    QDir().mkpath(photos());
    EXPECT_FALSE(manager().isDeviceReadyForNewSession()) << "a folder without images cannot serve a session";
    writeImage(photos() + "/c.jpg", Qt::green);
    EXPECT_TRUE(manager().isDeviceReadyForNewSession()) << "the folder is read again before each session";

    manager().setCameraModel(nullptr);
    EXPECT_FALSE(manager().isDeviceReadyForNewSession());
}

TEST_F(CameraManagerTest, TakingAPictureWithoutACameraReportsCodeZero) {
    std::atomic<int> code{-1};
    auto id = base::NotificationCenter::defaultCenter().addObserver(
        kShowMessageNotification, nullptr, nullptr, [&](const base::Notification& n) {
            if (auto* c = n.get<int>("MessageCode")) code = *c;
        });
    manager().setCameraModel(nullptr);
    manager().takePicture();
    EXPECT_TRUE(QTest::qWaitFor([&] { return delegate->failures == 1; }, 2000));
    EXPECT_EQ(code, CameraMessageNoCamera);
    base::NotificationCenter::defaultCenter().removeObserver(id);
}

TEST_F(CameraManagerTest, ACameraThatCannotCopyReportsADownloadFailure) {
    std::atomic<int> code{-1};
    auto id = base::NotificationCenter::defaultCenter().addObserver(
        kShowMessageNotification, nullptr, nullptr, [&](const base::Notification& n) {
            if (auto* c = n.get<int>("MessageCode")) code = *c;
        });
    // The incoming folder cannot be made: a file stands in its way.
    QFile blocker(QString::fromStdString(dir.path()) + "/blocked");
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    model->setIncomingFolder(QString::fromStdString(dir.path()) + "/blocked/incoming");
    manager().takePicture();
    EXPECT_TRUE(QTest::qWaitFor([&] { return delegate->failures == 1; }, 2000));
    EXPECT_EQ(code, CameraMessageDownloadFailed);
    EXPECT_TRUE(delegate->paths().isEmpty());
    base::NotificationCenter::defaultCenter().removeObserver(id);
}

TEST_F(CameraManagerTest, LiveViewFramesStopWhenPausedOrEnded) {
    model->setLiveViewScheduler(&frameTimer);
    ASSERT_TRUE(manager().startLiveView());
    tick(3);
    EXPECT_EQ(delegate->frames, 3);
    EXPECT_TRUE(delegate->framesOffMain) << "frames arrive on the live-view thread";
    EXPECT_TRUE(QTest::qWaitFor([&] { return delegate->liveViewStarts == 1; }, 1000));

    manager().pauseLiveView();
    tick(5);
    EXPECT_EQ(delegate->frames, 3);
    manager().resumeLiveView();
    tick(1);
    EXPECT_EQ(delegate->frames, 4);

    // Starting again while paused (a new session) shows frames again.
    manager().pauseLiveView();
    ASSERT_TRUE(manager().startLiveView());
    tick(1);
    EXPECT_EQ(delegate->frames, 5);

    manager().endLiveView();
    EXPECT_FALSE(manager().isLiveViewRunning());
    EXPECT_EQ(frameTimer.pendingCount(), 0u) << "an ended live view keeps no timer running";
    tick(5);
    EXPECT_EQ(delegate->frames, 5);
}

TEST_F(CameraManagerTest, LiveViewEndsByItselfAfterTheIdleTime) {
    manager().setLiveViewIdleTimeout(std::chrono::milliseconds(200));
    ASSERT_TRUE(manager().startLiveView());
    EXPECT_TRUE(manager().isLiveViewRunning());
    EXPECT_TRUE(QTest::qWaitFor([&] { return !manager().isLiveViewRunning(); }, 3000));
}

TEST_F(CameraManagerTest, AReplacedCameraIsNoLongerHeard) {
    auto old = model;
    old->setResponseDelay(std::chrono::milliseconds(200));
    std::thread shooter([old] { old->takePicture(); });
    // While the old camera is still busy, a new one takes over.
    manager().setCameraModel(std::make_shared<FolderCameraModel>(photos()));
    shooter.join();
    QCoreApplication::sendPostedEvents();  // whatever it reported has arrived
    EXPECT_TRUE(delegate->paths().isEmpty());
}

TEST_F(CameraManagerTest, ASilentCameraNeverReports) {
    model->setAnswersRequests(false);
    manager().takePicture();  // runs to its end on this thread
    QCoreApplication::sendPostedEvents();
    EXPECT_TRUE(delegate->paths().isEmpty());
    EXPECT_EQ(delegate->failures, 0);
    EXPECT_EQ(model->picturesTaken(), 1);
}

TEST(CameraErrorsTest, EveryCodeHasItsOwnTextAndOthersReadAsUnknown) {
    QSet<QString> texts;
    for (int code = 0; code <= 11; ++code) {
        const QString text = CameraErrors::messageForCode(code);
        EXPECT_FALSE(text.isEmpty());
        texts.insert(text);
    }
    EXPECT_EQ(texts.size(), 12);
    EXPECT_EQ(CameraErrors::messageForCode(12), CameraErrors::messageForCode(CameraMessageUnknown));
    EXPECT_EQ(CameraErrors::messageForCode(-1), CameraErrors::messageForCode(CameraMessageUnknown));
}

}  // namespace
