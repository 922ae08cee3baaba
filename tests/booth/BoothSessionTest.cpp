#include <gtest/gtest.h>
#include <sqlite3.h>
#include <nlohmann/json.hpp>

#include <QApplication>
#include <QDir>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QTimer>
#include <QFile>
#include <QLabel>
#include <QMimeData>
#include <QPointingDevice>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <QUrl>
#include <QVBoxLayout>
#include <QWebEnginePage>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ChildProcess.h"
#include "LogCapture.h"
#include "LoopbackServer.h"
#include "SilentServer.h"
#include "BoothTestApp.h"
#include "SmallDisk.h"
#include "TempDir.h"
#include "base/Plist.h"
#include "booth/BoothPrinter.h"
#include "core/Reachability.h"
#include "base/NotificationCenter.h"
#include "booth/AppController.h"
#include "gallery/ManageHTTPServer.h"
#include "booth/HomeScreenTabItem.h"
#include "booth/SessionScreenTabItem.h"
#include "booth/ShareWindowButtons.h"
#include "booth/SharingScreenTabItem.h"
#include "greenscreen/GreenBackgroundsPreviewView.h"
#include "camera/CameraErrors.h"
#include "camera/CameraManager.h"
#include "camera/FolderCameraModel.h"
#include "core/Database.h"
#include "core/KeptRows.h"
#include "core/MediaItemHelper.h"
#include "core/MainQueue.h"
#include "core/Models.h"
#include "core/Notifications.h"
#include "core/PhotoSession.h"
#include "core/ProgressWindowController.h"
#include "core/UserDefaults.h"
#include "core/WrenUtils.h"
#include "kits/blackbox/BBXApplication.h"
#include "sharing/LoginWebView.h"
#include "sharing/RetryUploadToS3Service.h"
#include "sharing/ShareWindows.h"
#include "sharing/SocialSharingService.h"
#include "templates/TETemplateLibrary.h"

namespace {

// A usage-tracking hit in short: "screenview <name>" or "event <category>/<action>[/<label>[/<value>]]".
QString describeHit(const std::function<std::string(const char*)>& field) {
    if (field("t") == "screenview") return QString::fromStdString("screenview " + field("cd"));
    std::string text = "event " + field("ec") + "/" + field("ea");
    if (!field("el").empty()) text += "/" + field("el");
    if (!field("ev").empty()) text += "/" + field("ev");
    return QString::fromStdString(text);
}


// The usage-tracking hits stored while offline, in short and sorted.
QStringList storedHits() {
    const QString queue = WrenUtils::getAnalyticsQueueFolderPath();
    QStringList hits;
    for (const QString& name : QDir(queue).entryList({"*.plist"}, QDir::Files)) {
        auto hit = base::plistReadFile((queue + "/" + name).toStdString());
        if (!hit || !hit->is_object()) continue;
        hits << describeHit([&](const char* key) {
            auto it = hit->find(key);
            return it != hit->end() && it->is_string() ? it->get<std::string>() : std::string();
        });
    }
    hits.removeAll(QStringLiteral("event glimmerly/started"));  // the gallery's start, not a session's
    hits.sort();
    return hits;
}

// Runs what the interface thread's queue holds now: what was posted to it
// before this call has run when it returns.
bool drainMainQueue() {
    bool reached = false;
    MainQueue::shared().post([&] { reached = true; });
    return QTest::qWaitFor([&] { return reached; }, 10000);
}

// The demo camera, remembering on which thread pictures were asked for.
class WatchedCamera : public FolderCameraModel {
public:
    using FolderCameraModel::FolderCameraModel;
    void takePicture() override {
        if (QThread::currentThread() == app().thread()) askedOnMainThread = true;
        FolderCameraModel::takePicture();
        ++answered;  // the photo (or the failure) is on its way to the session
    }
    std::atomic<bool> askedOnMainThread{false};
    std::atomic<int> answered{0};
};

class BoothSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        app();
        auto& defaults = UserDefaults::standard();
        defaults.set("DATA_DIRECTORY", dataDirectory());
        defaults.set("seconds_between_shots", 0);
        defaults.set("PHOTO_ARRIVAL_CHECK_SECONDS", 0);
        defaults.set("seconds_between_groups", 1);
        defaults.set("CAMERA_RESPONSE_TIMEOUT", 1);
        keepBoothOnLoopback();
        beforeLaunch();
        ASSERT_TRUE(controller.applicationDidFinishLaunching());
        camera = std::make_shared<WatchedCamera>(CameraManager::demoCameraFolder());
        CameraManager::sharedCameraManager().setCameraModel(camera);
    }
    void TearDown() override {
        controller.applicationWillTerminate();
        WrenUtils::setFreeDiskSpaceProbe(nullptr);
        BoothPrinter::setOutputFile({});
    }

    virtual std::string dataDirectory() const { return home.path() + "/data/"; }
    virtual void beforeLaunch() {}
    HomeScreenTabItem* home_() { return controller.mainWindow()->homeScreen(); }
    SessionScreenTabItem* session() { return controller.mainWindow()->sessionScreen(); }
    SharingScreenTabItem* sharing() { return controller.mainWindow()->sharingScreen(); }
    QString message() { return ProgressWindowController::sharedPrgoressWindowController()->visibleMessage(); }
    bool waitForScreen(AppController::Screen screen, int ms = 8000) {
        return QTest::qWaitFor([&] { return controller.currentScreen() == screen; }, ms);
    }
    QStringList files(const QString& folder) { return QDir(folder).entryList(QDir::Files, QDir::Name); }
    // A guest's taps on the home screen, from the moment after a final screen
    // gave way when it takes none, until one starts a session.
    bool tapToStart() {
        return QTest::qWaitFor([&] {
            if (controller.currentScreen() == AppController::Screen::Home) QTest::mouseClick(home_(), Qt::LeftButton);
            return controller.currentScreen() != AppController::Screen::Home;
        }, 5000);
    }
    void drop(const QStringList& paths) {
        auto* mime = new QMimeData();
        QList<QUrl> urls;
        for (const QString& p : paths) urls << QUrl::fromLocalFile(p);
        mime->setUrls(urls);
        auto* view = controller.mainWindow()->contentView();
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(view, &enter);
        QDropEvent event(QPointF(10, 10), Qt::CopyAction, mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(view, &event);
        delete mime;
    }
    // Green screen on, with one plain blue background.
    void turnGreenScreenOnWithABlueBackdrop() {
        QImage backdrop(64, 48, QImage::Format_RGB32);
        backdrop.fill(QColor(20, 40, 220));
        const QString backdropPath = QString::fromStdString(scratch.path()) + "/backdrop.png";
        ASSERT_TRUE(backdrop.save(backdropPath));
        auto& defaults = UserDefaults::standard();
        defaults.set("GREEN_SCREEN_ON", 1);
        defaults.set("GREEN_SCREEN_BACKGROUNDS", nlohmann::json::array({{{backdropPath.toStdString(), ""}}}));
    }

    testsupport::ScopedHome home;
    testsupport::TempDir scratch;
    AppController controller;
    std::shared_ptr<WatchedCamera> camera;
};

TEST_F(BoothSessionTest, StartUpPreparesFoldersTemplatesAndSettings) {
    auto& defaults = UserDefaults::standard();
    for (const QString& folder : {WrenUtils::getIncomingFolderPath(), WrenUtils::getOriginalsFolderPath(),
                                  WrenUtils::getThumbFolderPath(), WrenUtils::getGreenScreenFolderPath(),
                                  WrenUtils::getTempFolderPath()})
        EXPECT_TRUE(QDir(folder).exists()) << folder.toStdString();
    EXPECT_EQ(QString::fromStdString(defaults.string("PHOTO_FOLDER_PATH")), WrenUtils::getPrintsFolderPath());
    EXPECT_TRUE(QFile::exists(WrenUtils::getTemplatesFolderPath() + "/Classic Strip/template.xml"));
    EXPECT_EQ(defaults.string("SELECTED_TEMPLATE"), "Classic Strip");
    EXPECT_FALSE(defaults.string("unique_random_user_id").empty());
    EXPECT_FALSE(defaults.string("APP_UUID").empty());
    EXPECT_TRUE(defaults.boolean("NSApplicationCrashOnExceptions"));
    // The crash kit's start-up check finds the booth's application and that setting.
    ASSERT_NE(BBXApplicationSharedApplication(), nullptr);
    EXPECT_TRUE(BBXApplicationSharedApplication()->crashOnExceptions());
    EXPECT_TRUE(WrenDatabase::shared().isOpen());
    EXPECT_EQ(controller.mainWindow()->selectedScreen(), home_());
    EXPECT_TRUE(controller.mainWindow()->isVisible());
}

TEST_F(BoothSessionTest, AClickRunsASessionToAPrintAndBackHome) {
    ASSERT_EQ(controller.currentScreen(), AppController::Screen::Home);
    QTest::mouseClick(home_(), Qt::LeftButton);
    EXPECT_EQ(controller.currentScreen(), AppController::Screen::Session);
    ASSERT_TRUE(waitForScreen(AppController::Screen::Sharing));

    const QString prints = WrenUtils::getPrintsFolderPath();
    const QStringList made = files(prints);
    ASSERT_EQ(made.size(), 1);
    EXPECT_EQ(files(prints + "/thumb"), made) << "the thumbnail has the print's name";
    EXPECT_EQ(QImage(prints + "/" + made[0]).size(), QSize(600, 1800));
    EXPECT_EQ(files(WrenUtils::getOriginalsFolderPath()).size(), 4) << "every photo is archived";
    EXPECT_FALSE(camera->askedOnMainThread) << "pictures are taken off the interface thread";

    auto& record = PhotoSession::session();
    EXPECT_EQ(record.printImagePath, prints + "/" + made[0]);
    EXPECT_EQ(record.imagesUsed.size(), 4);
    auto item = MediaItemModel::loadMediaItemWithID(record.printMediaID);
    ASSERT_TRUE(item);
    EXPECT_EQ(item->fileName, made[0]);
    EXPECT_EQ(sharing()->printPath(), record.printImagePath);

    ASSERT_TRUE(waitForScreen(AppController::Screen::Home, 4000)) << "the final screen counts down to home";

    // And again, with the space bar.
    QTest::keyClick(home_(), Qt::Key_Space);
    ASSERT_TRUE(waitForScreen(AppController::Screen::Sharing));
    EXPECT_EQ(files(prints).size(), 2);
    EXPECT_EQ(files(WrenUtils::getIncomingFolderPath()).size(), 4) << "incoming holds only this session's photos";
}

TEST_F(BoothSessionTest, ADoubleTapOnDoneStartsNoSession) {
    // Taps through the window, as the platform delivers them: each reaches
    // whatever screen shows under it at that moment.
    QWindow* window = controller.mainWindow()->windowHandle();
    QPointingDevice* finger = QTest::createTouchDevice();
    for (bool touch : {false, true}) {
        ASSERT_TRUE(tapToStart());
        ASSERT_TRUE(waitForScreen(AppController::Screen::Sharing));
        auto* done = sharing()->findChild<QPushButton*>("DoneButton");
        ASSERT_TRUE(done);
        const QPoint at = done->mapTo(controller.mainWindow(), done->rect().center());
        for (int tap = 0; tap < 2; ++tap) {
            if (touch) {
                QTest::touchEvent(window, finger).press(0, at, window);
                QTest::touchEvent(window, finger).release(0, at, window);
            } else {
                QTest::mousePress(window, Qt::LeftButton, {}, at);
                QTest::mouseRelease(window, Qt::LeftButton, {}, at);
            }
        }
        EXPECT_EQ(controller.currentScreen(), AppController::Screen::Home) << (touch ? "touch" : "mouse");
    }
}

TEST_F(BoothSessionTest, ACameraThatNeverAnswersTimesOutWithAMessage) {
    camera->setAnswersRequests(false);
    QTest::mouseClick(home_(), Qt::LeftButton);
    ASSERT_TRUE(waitForScreen(AppController::Screen::Home, 5000));
    EXPECT_EQ(message(), CameraErrors::messageForCode(CameraMessageTimedOut));
    EXPECT_TRUE(files(WrenUtils::getPrintsFolderPath()).isEmpty());

    // The booth stays usable.
    camera->setAnswersRequests(true);
    QTest::mouseClick(home_(), Qt::LeftButton);
    EXPECT_TRUE(waitForScreen(AppController::Screen::Sharing));
}

TEST_F(BoothSessionTest, APhotoArrivingAfterTheTimeOutIsIgnored) {
    UserDefaults::standard().set("CAMERA_RESPONSE_TIMEOUT", 0.3);
    camera->setResponseDelay(std::chrono::milliseconds(800));
    QTest::mouseClick(home_(), Qt::LeftButton);
    ASSERT_TRUE(waitForScreen(AppController::Screen::Home, 5000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return camera->answered == 1; }, 5000));
    ASSERT_TRUE(drainMainQueue()) << "the late photo lands";
    EXPECT_EQ(controller.currentScreen(), AppController::Screen::Home);
    EXPECT_FALSE(session()->isSessionRunning());
    EXPECT_TRUE(files(WrenUtils::getOriginalsFolderPath()).isEmpty());
}

TEST_F(BoothSessionTest, DroppedImagesTakeTheFirstSlotsAndOtherFilesAreRefused) {
    const QString notes = QString::fromStdString(scratch.file("notes.txt"));
    QFile text(notes);
    ASSERT_TRUE(text.open(QIODevice::WriteOnly));
    text.write("hello");
    text.close();
    drop({notes});
    EXPECT_TRUE(QTest::qWaitFor([&] { return message() == "Not an image: notes.txt"; }, 2000));
    EXPECT_EQ(controller.currentScreen(), AppController::Screen::Home);

    QImage guest(800, 600, QImage::Format_RGB32);
    guest.fill(Qt::magenta);
    const QString a = QString::fromStdString(scratch.file("guest-a.jpg"));
    const QString b = QString::fromStdString(scratch.file("guest-b.png"));
    ASSERT_TRUE(guest.save(a));
    ASSERT_TRUE(guest.save(b));
    drop({a, notes, b});
    ASSERT_TRUE(waitForScreen(AppController::Screen::Sharing));
    const QStringList originals = files(WrenUtils::getOriginalsFolderPath());
    EXPECT_EQ(originals.size(), 4);
    EXPECT_TRUE(originals.contains("guest-a.jpg"));
    EXPECT_TRUE(originals.contains("guest-b.png"));
    EXPECT_EQ(camera->picturesTaken(), 2) << "the camera takes only the slots left";
    const QStringList used = PhotoSession::session().imagesUsed;
    ASSERT_EQ(used.size(), 4);
    EXPECT_TRUE(used[0].endsWith("guest-a.jpg")) << "dropped photos keep their order";
    EXPECT_TRUE(used[1].endsWith("guest-b.png"));
    EXPECT_TRUE(QFile::exists(a)) << "the guest's own file is left where it was";
    // Only the photos the camera took count as captures.
    const QStringList expected = {"event Photo/camera/" + camera->name(), "event Photo/camera/" + camera->name(),
                                  "screenview Session/Photo/Drop"};
    EXPECT_TRUE(QTest::qWaitFor([&] { return storedHits().size() >= expected.size(); }, 3000));
    EXPECT_EQ(storedHits(), expected);
}

TEST_F(BoothSessionTest, AnUnreadableTemplateGivesAMessageAndKeepsTheBoothUsable) {
    const QString xml = WrenUtils::getTemplatesFolderPath() + "/Classic Strip/template.xml";
    QFile file(xml);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("<template width=");
    file.close();
    QTest::mouseClick(home_(), Qt::LeftButton);
    ASSERT_TRUE(waitForScreen(AppController::Screen::Home));
    EXPECT_TRUE(message().startsWith("Unable to load the selected template.")) << message().toStdString();
    EXPECT_EQ(camera->picturesTaken(), 0);

    QFile::remove(xml);
    QFile::copy(TETemplateLibrary::shippedTemplatesFolder() + "/Classic Strip/template.xml", xml);
    QTest::mouseClick(home_(), Qt::LeftButton);
    EXPECT_TRUE(waitForScreen(AppController::Screen::Sharing));
}

TEST_F(BoothSessionTest, AMissingDataFolderGivesAMessage) {
    // The data folder sits where nothing can be made (below a plain file).
    const QString blocker = QString::fromStdString(scratch.file("drive"));
    QFile file(blocker);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    UserDefaults::standard().set("DATA_DIRECTORY", (blocker + "/flashwren/").toStdString());
    QTest::mouseClick(home_(), Qt::LeftButton);
    EXPECT_EQ(controller.currentScreen(), AppController::Screen::Home);
    EXPECT_TRUE(message().startsWith("Unable to use the data folder")) << message().toStdString();
    EXPECT_TRUE(message().contains(blocker + " is a file")) << "the path at fault: " << message().toStdString();
    EXPECT_EQ(camera->picturesTaken(), 0);
}

TEST_F(BoothSessionTest, TheCameraLeavingDuringASessionEndsIt) {
    camera->setAnswersRequests(false);
    UserDefaults::standard().set("CAMERA_RESPONSE_TIMEOUT", 30);
    QTest::mouseClick(home_(), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return camera->picturesTaken() == 1; }, 3000));
    base::NotificationCenter::defaultCenter().post(kConnectedCameraDidRemovedNotification);
    EXPECT_TRUE(waitForScreen(AppController::Screen::Home, 2000));
    EXPECT_FALSE(session()->isSessionRunning());
}

TEST_F(BoothSessionTest, WithoutAutomaticTriggerTheSpaceBarTakesThePhoto) {
    UserDefaults::standard().set("trigger_camera", false);
    QTest::mouseClick(home_(), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return session()->statusText().startsWith("Press the space bar"); }, 3000));
    EXPECT_EQ(session()->photosRequested(), 0);
    QTest::keyClick(session(), Qt::Key_Space);
    EXPECT_TRUE(QTest::qWaitFor([&] { return session()->photosProcessed() == 1; }, 3000));
    const QStringList expected = {"event Photo/camera/" + camera->name(), "screenview Session/Photo/Manual"};
    EXPECT_TRUE(QTest::qWaitFor([&] { return storedHits().size() >= expected.size(); }, 3000));
    EXPECT_EQ(storedHits(), expected);
}

TEST_F(BoothSessionTest, WithoutAutomaticTriggerATouchOnTheScreenTakesThePhoto) {
    UserDefaults::standard().set("trigger_camera", false);
    UserDefaults::standard().set("seconds_between_shots", 1);
    QTest::mouseClick(home_(), Qt::LeftButton);
    // Where a guest's finger lands: whatever is under the middle of the screen.
    auto touch = [&] {
        const QPoint middle = session()->rect().center();
        QWidget* target = session()->childAt(middle);
        if (!target) target = session();
        QTest::mouseClick(target, Qt::LeftButton, {}, target->mapFrom(session(), middle));
    };
    ASSERT_TRUE(QTest::qWaitFor([&] { return session()->photosNeeded() > 0; }, 3000));
    touch();
    ASSERT_TRUE(QTest::qWaitFor([&] { return session()->statusText().startsWith("Press"); }, 5000));
    EXPECT_EQ(session()->statusText(), "Press the space bar or touch the screen to take the photo");
    EXPECT_EQ(camera->picturesTaken(), 0) << "a touch during the countdown takes nothing";
    touch();
    touch();
    EXPECT_EQ(session()->photosRequested(), 1) << "one prompt, one photo";
    EXPECT_TRUE(QTest::qWaitFor([&] { return session()->photosProcessed() == 1; }, 3000));
    EXPECT_EQ(camera->picturesTaken(), 1);
    const QStringList expected = {"event Photo/camera/" + camera->name(), "screenview Session/Photo/Manual"};
    EXPECT_TRUE(QTest::qWaitFor([&] { return storedHits().size() >= expected.size(); }, 3000));
    EXPECT_EQ(storedHits(), expected);
}

TEST_F(BoothSessionTest, QuitEmptiesTempAndIncomingAndLetsGoOfTheCamera) {
    QTest::mouseClick(home_(), Qt::LeftButton);
    ASSERT_TRUE(waitForScreen(AppController::Screen::Sharing));
    const QString incoming = WrenUtils::getIncomingFolderPath();
    ASSERT_EQ(files(incoming).size(), 4) << "the session's working copies";
    const QString temp = WrenUtils::getTempFolderPath();
    QFile file(temp + "/scratch.jpg");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    controller.applicationWillTerminate();
    EXPECT_TRUE(files(temp).isEmpty());
    EXPECT_TRUE(QDir(temp).exists());
    EXPECT_TRUE(files(incoming).isEmpty());
    EXPECT_EQ(files(WrenUtils::getOriginalsFolderPath()).size(), 4) << "the originals stay";
    EXPECT_EQ(files(WrenUtils::getPrintsFolderPath()).size(), 1) << "the print stays";
    EXPECT_FALSE(CameraManager::sharedCameraManager().cameraModel());
}

TEST_F(BoothSessionTest, CtrlQAsksForTheOrderlyQuit) {
    QSignalSpy quit(&controller, &AppController::quitRequested);
    auto* window = controller.mainWindow();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    QTest::keyClick(window, Qt::Key_Q, Qt::ControlModifier);
    EXPECT_EQ(quit.count(), 1);
}

TEST_F(BoothSessionTest, AStrayFileInPlaceOfACopyFolderDoesNotStopSessions) {
    // The operator saved a file as "Green Screen"; "originals" is a file too.
    for (const QString& folder : {WrenUtils::getGreenScreenFolderPath(), WrenUtils::getOriginalsFolderPath()}) {
        ASSERT_TRUE(QDir(folder).removeRecursively());
        QFile stray(folder);
        ASSERT_TRUE(stray.open(QIODevice::WriteOnly));
        stray.write("not a folder");
    }
    QTest::mouseClick(home_(), Qt::LeftButton);
    ASSERT_TRUE(waitForScreen(AppController::Screen::Sharing)) << message().toStdString();
    EXPECT_EQ(files(WrenUtils::getPrintsFolderPath()).size(), 1);
    EXPECT_TRUE(QFileInfo(WrenUtils::getGreenScreenFolderPath()).isFile()) << "the operator's file is left alone";
}

TEST_F(BoothSessionTest, AFullDiskRefusesTheSessionAndALowOneWarnsTheOperator) {
    const qint64 MB = 1024 * 1024;
    std::atomic<qint64> free{5 * MB};
    WrenUtils::setFreeDiskSpaceProbe([&](const QString&) { return free.load(); });
    QTest::mouseClick(home_(), Qt::LeftButton);
    EXPECT_EQ(controller.currentScreen(), AppController::Screen::Home);
    EXPECT_TRUE(QTest::qWaitFor([&] { return message().startsWith("The disk is full: "); }, 2000))
        << message().toStdString();
    EXPECT_EQ(camera->picturesTaken(), 0);

    free = 150 * MB;
    QTest::mouseClick(home_(), Qt::LeftButton);
    EXPECT_TRUE(QTest::qWaitFor([&] { return message().startsWith("Low disk space: only 150 MB free"); }, 2000))
        << message().toStdString();
    EXPECT_TRUE(waitForScreen(AppController::Screen::Sharing)) << "a warning, not a refusal";
}

TEST_F(BoothSessionTest, TheDiskFillingUpDuringASessionSaysSoAndLeavesNoHalfMadePrint) {
    // The originals cannot be written (here: a file stands in the way), and
    // the disk has no room left once the camera has started.
    const QString originals = WrenUtils::getOriginalsFolderPath();
    ASSERT_TRUE(QDir(originals).removeRecursively());
    QFile stray(originals);
    ASSERT_TRUE(stray.open(QIODevice::WriteOnly));
    stray.close();
    WrenUtils::setFreeDiskSpaceProbe(
        [&](const QString&) { return camera->picturesTaken() > 0 ? qint64(1) << 20 : qint64(50) << 30; });
    QTest::mouseClick(home_(), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return camera->picturesTaken() > 0; }, 3000));
    ASSERT_TRUE(waitForScreen(AppController::Screen::Home));
    EXPECT_TRUE(message().startsWith("The disk is full: ")) << message().toStdString();
    EXPECT_TRUE(files(WrenUtils::getPrintsFolderPath()).isEmpty());
    EXPECT_TRUE(files(WrenUtils::getThumbFolderPath()).isEmpty());
    EXPECT_FALSE(MediaItemModel::loadMediaItemWithID(1));
}

}  // namespace

TEST_F(BoothSessionTest, WithGreenScreenOnEveryPhotoIsKeyedAndTheOriginalsAreKept) {
    ASSERT_NO_FATAL_FAILURE(turnGreenScreenOnWithABlueBackdrop());

    QTest::mouseClick(home_(), Qt::LeftButton);
    ASSERT_TRUE(waitForScreen(AppController::Screen::Sharing));
    const QStringList keyed = files(WrenUtils::getGreenScreenFolderPath());
    ASSERT_EQ(keyed.size(), 4);
    EXPECT_EQ(files(WrenUtils::getIncomingFolderPath()), keyed);
    for (const QString& name : keyed) {
        // The demo camera's screen is green: the corner is now the backdrop,
        // in the photo used for the print; the archived original stays green.
        const QImage photo(WrenUtils::getIncomingFolderPath() + "/" + name);
        const QImage original(WrenUtils::getOriginalsFolderPath() + "/" + name);
        ASSERT_FALSE(photo.isNull());
        EXPECT_GT(qBlue(photo.pixel(20, 200)), 180) << name.toStdString();
        EXPECT_GT(qGreen(original.pixel(20, 200)), 150) << name.toStdString();
    }
}

// The keyed copies are optional: a file where their folder belongs is one
// warning while the booth runs, not errors in every session.
TEST_F(BoothSessionTest, AFileInPlaceOfTheKeyedCopiesFolderIsOneWarningNotErrorsInEverySession) {
    ASSERT_NO_FATAL_FAILURE(turnGreenScreenOnWithABlueBackdrop());
    const QString copies = WrenUtils::getGreenScreenFolderPath();
    ASSERT_TRUE(QDir(copies).removeRecursively());
    QFile stray(copies);
    ASSERT_TRUE(stray.open(QIODevice::WriteOnly));
    stray.close();

    testsupport::LogCapture log;
    QTest::mouseClick(home_(), Qt::LeftButton);
    ASSERT_TRUE(waitForScreen(AppController::Screen::Sharing));
    ASSERT_TRUE(waitForScreen(AppController::Screen::Home, 5000));
    QTest::keyClick(home_(), Qt::Key_Space);
    ASSERT_TRUE(waitForScreen(AppController::Screen::Sharing));

    for (auto& line : log.lines({}, spdlog::level::err)) ADD_FAILURE() << line.text;
    const auto warnings = log.lines("Green Screen", spdlog::level::warn);
    EXPECT_EQ(warnings.size(), 1u) << (warnings.empty() ? "" : warnings.back().text);
    // The photos are keyed all the same.
    for (const QString& name : files(WrenUtils::getIncomingFolderPath()))
        EXPECT_GT(qBlue(QImage(WrenUtils::getIncomingFolderPath() + "/" + name).pixel(20, 200)), 180)
            << name.toStdString();
}

TEST_F(BoothSessionTest, TheGuestChoosesTheBackgroundBeforeTheSession) {
    QImage backdrop(64, 48, QImage::Format_RGB32);
    backdrop.fill(QColor(200, 30, 30));
    const QString red = QString::fromStdString(scratch.path()) + "/red.png";
    ASSERT_TRUE(backdrop.save(red));
    backdrop.fill(QColor(20, 40, 220));
    const QString blue = QString::fromStdString(scratch.path()) + "/blue.png";
    ASSERT_TRUE(backdrop.save(blue));
    auto& defaults = UserDefaults::standard();
    defaults.set("GREEN_SCREEN_ON", 1);
    defaults.set("GREEN_SCREEN_BACKGROUND_SELECTION_TYPE", 1);
    defaults.set("GREEN_SCREEN_BACKGROUNDS",
                 nlohmann::json::array({{{red.toStdString(), ""}}, {{blue.toStdString(), ""}}}));

    QTest::mouseClick(home_(), Qt::LeftButton);
    EXPECT_EQ(controller.currentScreen(), AppController::Screen::Home);
    ASSERT_TRUE(home_()->backgroundChooserHost()->isVisible());
    auto* chooser = home_()->backgroundChooser();
    QTest::keyClick(chooser, Qt::Key_Right);
    QTest::keyClick(chooser, Qt::Key_Space);
    ASSERT_TRUE(waitForScreen(AppController::Screen::Session, 2000));
    EXPECT_EQ(*defaults.object("GREEN_SCREEN_BACKGROUNDS_TO_USE"), nlohmann::json({{blue.toStdString(), ""}}));
    // The operator's window waits for the session to end.
    controller.openGreenScreenWindow();
    EXPECT_EQ(message(), "Please wait till photo session finishes.");
    EXPECT_FALSE(controller.greenScreenWindow());
    ASSERT_TRUE(waitForScreen(AppController::Screen::Sharing));
    const QString photo = files(WrenUtils::getIncomingFolderPath()).value(0);
    EXPECT_GT(qBlue(QImage(WrenUtils::getIncomingFolderPath() + "/" + photo).pixel(20, 200)), 180);
}

namespace {

class BoothTrackingTest : public BoothSessionTest {
protected:
    void runGreenScreenSessionWithAPrint() {
        ASSERT_NO_FATAL_FAILURE(turnGreenScreenOnWithABlueBackdrop());
        UserDefaults::standard().set("print_automatically", true);
        BoothPrinter::setOutputFile(QString::fromStdString(scratch.file("print.pdf")));
        QTest::mouseClick(home_(), Qt::LeftButton);
        ASSERT_TRUE(waitForScreen(AppController::Screen::Sharing));
        ASSERT_TRUE(QTest::qWaitFor([] { return PhotoSession::session().printsMade == 1; }, 8000));
    }
    QStringList expectedHits() const {
        QStringList hits = {"screenview Session/Photo/Auto", "screenview Green Screen", "event share/Print/PDF/1"};
        for (int i = 0; i < 4; ++i) hits << "event Photo/camera/" + camera->name();
        hits.sort();
        return hits;
    }
    // The gallery's start is reported too; it is not the session's.
    static QStringList withoutGalleryStart(QStringList hits) {
        hits.removeAll(QStringLiteral("event glimmerly/started"));
        hits.sort();
        return hits;
    }
};

TEST_F(BoothTrackingTest, OfflineASessionsHitsAreStoredForLater) {
    ASSERT_EQ(UserDefaults::standard().string("IS_INTERNET_RECHABLE"), "NO");
    runGreenScreenSessionWithAPrint();
    auto stored = [] { return storedHits(); };
    EXPECT_TRUE(QTest::qWaitFor([&] { return stored().size() >= expectedHits().size(); }, 5000));
    EXPECT_EQ(stored(), expectedHits());
}

TEST_F(BoothTrackingTest, OnlineASessionsHitsAreSent) {
    testsupport::LoopbackServer tracking;
    testsupport::LoopbackServer service;  // stands for the internet
    auto& defaults = UserDefaults::standard();
    defaults.set("GoogleAnalyticsURL", tracking.baseUrl());
    defaults.set("ReachabilityURL", service.baseUrl());
    Reachability::shared()->start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return defaults.string("IS_INTERNET_RECHABLE") == "YES"; }, 5000));
    runGreenScreenSessionWithAPrint();
    auto sent = [&] {
        QStringList hits;
        for (const auto& request : tracking.requests()) {
            if (request.path != "/collect") continue;
            hits << describeHit([&](const char* key) {
                return testsupport::RecordedRequest::field(request.body, key).value_or(std::string());
            });
        }
        return withoutGalleryStart(hits);
    };
    EXPECT_TRUE(QTest::qWaitFor([&] { return sent().size() >= expectedHits().size(); }, 5000));
    EXPECT_EQ(sent(), expectedHits());
    // Back to offline for the next test's start.
    defaults.set("ReachabilityURL", "http://127.0.0.1:9");
    Reachability::shared()->start();
    EXPECT_TRUE(QTest::qWaitFor([] { return !Reachability::shared()->isChecking(); }, 5000));
}

}  // namespace

namespace {

// A session on a disk that really fills up: the booth's data folder on a
// small memory disk of its own, in a private mount namespace. The test runs
// itself again inside one; machines that cannot make one skip it.
class BoothSmallDiskTest : public BoothSessionTest {
protected:
    std::string dataDirectory() const override {
        const char* disk = std::getenv("FLASHWREN_SMALL_DISK");
        return disk ? std::string(disk) + "/data/" : BoothSessionTest::dataDirectory();
    }
    // Writes until the disk says it is full; the file's path.
    static QString fillDisk(const QString& folder) {
        const QString path = folder + "/ballast";
        const int fd = ::open(path.toLocal8Bit().constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        static const std::string chunk(1 << 16, 'x');
        while (fd >= 0 && ::write(fd, chunk.data(), chunk.size()) > 0) {
        }
        if (fd >= 0) ::close(fd);
        return path;
    }
};

TEST_F(BoothSmallDiskTest, ADiskThatFillsBeforeThePrintSaysSoAndLeavesNoHalfMadePrint) {
    const char* disk = std::getenv("FLASHWREN_SMALL_DISK");
    if (!disk) {
        const auto passed = testsupport::rerunOnSmallDisk("40m", "BoothSmallDiskTest.*");
        if (!passed) GTEST_SKIP() << "no private mount namespace here";
        EXPECT_TRUE(*passed) << "the run on the small disk failed";
        return;
    }
    // Time between the last photo and the print, to fill the disk in.
    UserDefaults::standard().set("PHOTO_ARRIVAL_CHECK_SECONDS", 1.0);
    QTest::mouseClick(home_(), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return session()->photosProcessed() == 4; }, 8000)) << message().toStdString();
    const QString ballast = fillDisk(QString::fromLocal8Bit(disk));
    UserDefaults::standard().set("PHOTO_ARRIVAL_CHECK_SECONDS", 0);
    ASSERT_TRUE(waitForScreen(AppController::Screen::Home));
    EXPECT_TRUE(message().startsWith("The disk is full: ")) << message().toStdString();
    const auto everything = QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot;
    EXPECT_TRUE(QDir(WrenUtils::getPrintsFolderPath()).entryList(everything).isEmpty()) << "no half-made print";
    EXPECT_TRUE(QDir(WrenUtils::getThumbFolderPath()).entryList(everything).isEmpty());
    EXPECT_FALSE(MediaItemModel::loadMediaItemWithID(1)) << "no row for a print that is not there";
    EXPECT_EQ(files(WrenUtils::getOriginalsFolderPath()).size(), 4) << "the guest's photos are kept";

    // Space made again, the booth goes on.
    ASSERT_TRUE(QFile::remove(ballast));
    QTest::mouseClick(home_(), Qt::LeftButton);
    EXPECT_TRUE(waitForScreen(AppController::Screen::Sharing, 10000)) << message().toStdString();
}

// The booth with the web engine ready for log-in windows.
class BoothLogInTest : public BoothSessionTest {
protected:
    void SetUp() override {
        if (!qApp) {
            // Root in a container has no user namespace for the renderer's sandbox.
            qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
            qputenv("QTWEBENGINE_CHROMIUM_FLAGS", "--disable-gpu --no-sandbox");
            QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
        }
        BoothSessionTest::SetUp();
    }
};

TEST_F(BoothLogInTest, ClearingCookiesAndCacheSignsAnOpenLogInWindowOut) {
    testsupport::LoopbackServer server;
    server.setHandler([](const testsupport::RecordedRequest& request) {
        testsupport::Reply reply;
        reply.headers = {{"Content-Type", "text/html"}};
        if (request.path == "/signin") reply.headers.push_back({"Set-Cookie", "session=guest1; Path=/"});
        reply.body = "<html><body>signed in</body></html>";
        return reply;
    });
    QWidget container;
    new QVBoxLayout(&container);
    LoginWebView view(&container);
    auto visit = [&](const std::string& path) {
        const QUrl url(QString::fromStdString(server.baseUrl() + path));
        bool finished = false;
        auto connection = QObject::connect(&view, &LoginWebView::loadFinished,
                                           [&](const QUrl& at, bool) { finished = finished || at == url; });
        view.load(url);
        const bool loaded = QTest::qWaitFor([&] { return finished; }, 20000);
        QObject::disconnect(connection);
        std::string cookie = "(not loaded)";
        for (const auto& request : server.requests())
            if (loaded && request.path == path) cookie = request.header("Cookie").value_or("");
        return cookie;
    };
    visit("/signin");
    ASSERT_EQ(visit("/account"), "session=guest1");
    QPointer<QWebEnginePage> lastGuests = view.page();
    const size_t atClearing = server.requests().size();
    WrenUtils::clearHTTPCookiesAndCache();
    // The last guest's page is not gone yet, and a script of it may fetch.
    if (lastGuests) lastGuests->runJavaScript(QStringLiteral("fetch('/late').catch(() => {})"));
    EXPECT_EQ(visit("/photos"), "") << "the next guest starts signed out";
    QPointer<QWebEngineView> shown = view.view();
    view.cleanup();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !shown; }, 10000));
    const auto requests = server.requests();
    for (size_t i = atClearing; i < requests.size(); ++i)
        EXPECT_EQ(requests[i].header("Cookie").value_or(""), "") << requests[i].target << " came after the clearing";
}

// A guest taps Facebook and its page never comes, then walks away: the booth
// is back at the start within the idle wait and the countdown, and the next
// guest's tap starts a session.
TEST_F(BoothLogInTest, ALogInPageThatNeverAnswersHoldsTheBoothOnlyForTheIdleWait) {
    testsupport::SilentServer silent;  // takes connections, so the booth is online, and never answers
    ASSERT_TRUE(silent.listening());
    auto& defaults = UserDefaults::standard();
    for (auto key : {"ReachabilityURL", "FacebookGraphURL", "FacebookWebURL"}) defaults.set(key, silent.baseUrl() + "/");
    Reachability::shared()->start(1);
    ASSERT_TRUE(QTest::qWaitFor([] { return WrenUtils::isInternetRechable(); }, 10000));
    IdleWindowWatch::setIdleInterval(std::chrono::milliseconds(500));
    QTest::mouseClick(home_(), Qt::LeftButton);
    ASSERT_TRUE(waitForScreen(AppController::Screen::Sharing));
    sharing()->stopCountdown();  // the guest looks at the print a while
    QTest::mouseClick(sharing()->shareButton("Facebook"), Qt::LeftButton);
    EXPECT_TRUE(QTest::qWaitFor([] {
        for (QWidget* window : QApplication::topLevelWidgets())
            if (window->objectName() == "FacebookLoginWindow" && window->isVisible())
                return window->findChild<QLabel*>("LoadingLabel")->isVisible();
        return false;
    }, 10000)) << "the guest does not see the page load";
    const bool home = waitForScreen(AppController::Screen::Home, 20000);
    IdleWindowWatch::setIdleInterval(IdleWindowWatch::kGuestIdleInterval);
    ASSERT_TRUE(home) << "the booth waits for the log-in page";
    // The next guest taps until the home screen takes the tap.
    EXPECT_TRUE(QTest::qWaitFor([&] {
        if (controller.currentScreen() == AppController::Screen::Home) QTest::mouseClick(home_(), Qt::LeftButton);
        return controller.currentScreen() != AppController::Screen::Home;
    }, 5000));
    for (QWidget* window : QApplication::topLevelWidgets())
        EXPECT_FALSE(window->objectName() == "FacebookLoginWindow" && window->isVisible());
}

}  // namespace

namespace {

// A booth that starts while another program holds the database locked.
class BoothBusyDatabaseTest : public BoothSessionTest {
protected:
    void SetUp() override {
        app();
        const std::string path = WrenDatabase::defaultPath();
        QDir().mkpath(QFileInfo(QString::fromStdString(path)).absolutePath());
        leaveAnEarlierRun();
        ASSERT_EQ(sqlite3_open(path.c_str(), &holder), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
        auto& defaults = UserDefaults::standard();
        BoothSessionTest::SetUp();
        // Mail goes to a loopback server; the reachability check finds it.
        mail.setHandler([](const testsupport::RecordedRequest&) { return testsupport::Reply{200, {}, "{}"}; });
        defaults.set("SendGridBaseURL", mail.baseUrl());
        defaults.set("ReachabilityURL", mail.baseUrl());
        defaults.set("IS_INTERNET_RECHABLE", "YES");
    }
    void TearDown() override {
        release();
        BoothSessionTest::TearDown();
    }
    void release() {
        if (!holder) return;
        sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(holder);
        holder = nullptr;
    }
    QString notice() { return controller.mainWindow()->noticeText(); }
    // What an earlier run left in the database and the prints folder.
    virtual void leaveAnEarlierRun() {}

    sqlite3* holder = nullptr;
    testsupport::LoopbackServer mail;
};

TEST_F(BoothBusyDatabaseTest, TheDatabaseOpensOnceFreeAndALaterSessionIsRecordedAndItsMailSent) {
    EXPECT_FALSE(WrenDatabase::shared().isOpen());
    EXPECT_TRUE(QTest::qWaitFor([&] { return notice().startsWith("Unable to open the database"); }, 5000));

    // While the lock lasts, a guest's session still runs to its final screen.
    QTest::mouseClick(home_(), Qt::LeftButton);
    ASSERT_TRUE(waitForScreen(AppController::Screen::Sharing));
    EXPECT_FALSE(WrenDatabase::shared().isOpen());
    EXPECT_FALSE(notice().isEmpty());
    ASSERT_TRUE(waitForScreen(AppController::Screen::Home, 8000));

    release();
    ASSERT_TRUE(QTest::qWaitFor([&] { return WrenDatabase::shared().isOpen(); }, 10000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return notice().isEmpty(); }, 5000));
    auto* strip = controller.mainWindow()->findChild<QLabel*>("OperatorNotice");
    ASSERT_TRUE(strip);
    EXPECT_TRUE(strip->isHidden()) << "an empty notice strip stays over the screen";

    ASSERT_TRUE(tapToStart());
    ASSERT_TRUE(waitForScreen(AppController::Screen::Sharing));
    auto& record = PhotoSession::session();
    auto item = MediaItemModel::loadMediaItemWithID(record.printMediaID);
    ASSERT_TRUE(item) << "the session is recorded";
    auto share = SocialServiceHelper::trackShareOfType(SharingTypeEmail, 0, record.printMediaID, 0,
                                                       record.printImagePath, "guest@x.example");
    ASSERT_TRUE(share) << "the guest's e-mail is queued";
    SocialSharingService::shared()->startSocialServiceExecution();
    auto mails = [&] {
        std::size_t n = 0;
        for (auto& r : mail.requests()) n += r.path == "/api/mail.send.json";
        return n;
    };
    ASSERT_TRUE(QTest::qWaitFor([&] { return mails() == 1; }, 10000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return SharingModel::loadWithID(share->ID)->done == 1; }, 5000));
}

// A print and its thumbnail, as the layout leaves them in the prints folder.
void writePrint(const QString& folder, const QString& name) {
    QDir().mkpath(folder + "/thumb");
    QImage image(60, 180, QImage::Format_RGB32);
    image.fill(Qt::darkGreen);
    ASSERT_TRUE(image.save(folder + "/" + name) && image.save(folder + "/thumb/" + name));
}

// One loopback server plays storage, registration, mail and SMS, and
// counts what each print and guest got.
class LoopbackServices {
public:
    LoopbackServices() {
        server.setHandler([this](const testsupport::RecordedRequest& r) {
            if (r.method == "PUT") return testsupport::Reply{200, {}, ""};
            if (r.path == "/api/mail.send.json") return testsupport::Reply{200, {}, "{}"};
            if (r.path.find("/Messages.json") != std::string::npos)
                return testsupport::Reply{201, {}, R"({"sid":"SM1","status":"queued"})"};
            if (r.path.find("users/post.php") != std::string::npos)
                return testsupport::Reply{200, {{"Content-Type", "text/html; charset=UTF-8"}},
                                          R"({"url":"http://flw.io/p/)" + std::to_string(++registered) + R"("})"};
            return testsupport::Reply{200, {}, "{}"};
        });
    }
    // After the booth's start-up, which points every service elsewhere.
    void configure() {
        auto& defaults = UserDefaults::standard();
        for (auto key : {"S3EndpointURL", "FlashwrenWebServiceURL", "SendGridBaseURL", "TwilioBaseURL", "ReachabilityURL"})
            defaults.set(key, server.baseUrl());
        defaults.set("S3Bucket", "prints.booth.test");
        defaults.set("S3PublicURL", "http://prints.booth.test");
        defaults.set("S3AccessKeyID", "key");
        defaults.set("S3SecretAccessKey", "secret");
        defaults.set("TWILIO_ACCOUNT_SID", "AC1");
        defaults.set("TWILIO_AUTH_TOKEN", "token");
        defaults.set("FROM_TWILIO_NUMBER", "+15550001111");
        defaults.set("TWILIO_COUNTRY_CODE", "49");
        defaults.set("IS_INTERNET_RECHABLE", "YES");
    }
    // Uploads of the print (its thumbnail not counted) of that file name.
    std::size_t uploadsOf(const QString& fileName) {
        std::size_t n = 0;
        for (auto& r : server.requests())
            n += r.method == "PUT" && QString::fromStdString(r.path).endsWith("/" + fileName);
        return n;
    }
    std::size_t requestsTo(const std::string& path) {
        std::size_t n = 0;
        for (auto& r : server.requests()) n += r.path.find(path) != std::string::npos;
        return n;
    }
    testsupport::LoopbackServer server;
    std::atomic<int> registered{0};
};

// Another program (a backup, an export tool) holds the database now and
// then while guests take sessions and share them.
class BoothDatabaseHeldNowAndThenTest : public BoothSessionTest {
protected:
    void SetUp() override {
        // A copy of the test playing the booth's next start: on the data
        // the first run left (its own settings, data folder and services).
        if (const char* earlier = std::getenv("EARLIER_RUN_DATA")) setenv("XDG_DATA_HOME", earlier, 1);
        WrenDatabase::setStatementLockWait(std::chrono::milliseconds(300));
        KeptRows::setRetryInterval(std::chrono::milliseconds(100));
        BoothSessionTest::SetUp();
    }
    std::string dataDirectory() const override {
        const char* earlier = std::getenv("EARLIER_RUN_DATA");
        return earlier ? std::string(earlier) + "/data/" : BoothSessionTest::dataDirectory();
    }
    // An earlier run of this database's booth stopped between a print and its row.
    void beforeLaunch() override {
        services.configure();
        ASSERT_TRUE(WrenDatabase::openShared(WrenDatabase::defaultPath(),
                                             std::string(FLASHWREN_SOURCE_DIR) + "/resources/migrations"));
        ASSERT_TRUE(BoothRunModel::record(BoothRun{QDateTime::currentDateTime().addSecs(-60), "Earlier"}));
        WrenDatabase::shared().close();
        writePrint(QString::fromStdString(dataDirectory()) + "prints", withoutRow);
    }
    void TearDown() override {
        release();
        BoothSessionTest::TearDown();
        WrenDatabase::setStatementLockWait(std::chrono::seconds(5));
        KeptRows::setRetryInterval(KeptRows::kRetryInterval);
    }
    void hold(const std::string& database = WrenDatabase::defaultPath()) {
        ASSERT_EQ(sqlite3_open(database.c_str(), &holder), SQLITE_OK);
        // The booth may be writing just then: the other program waits its turn.
        sqlite3_busy_timeout(holder, 10000);
        ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    }
    void release() {
        if (!holder) return;
        sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(holder);
        holder = nullptr;
    }
    // Types into the share window and taps Send; how long the tap held the
    // interface thread.
    qint64 send(ShareWindowController* window, const QString& text) {
        QTest::keyClicks(window->field(), text);
        QElapsedTimer held;
        held.start();
        QTest::mouseClick(window->window()->findChild<QPushButton*>("SendButton"), Qt::LeftButton);
        return held.elapsed();
    }

    QString notice() { return controller.mainWindow()->noticeText(); }

    LoopbackServices services;
    sqlite3* holder = nullptr;
    const QString withoutRow = "2026-01-01_09-00-00-000.jpg";
};

TEST_F(BoothDatabaseHeldNowAndThenTest, EveryPrintIsRecordedAndUploadedAndEveryShareGoesOnceAndSendNeverWaits) {
    auto* buttons = sharing()->findChild<ShareWindowButtons*>();
    ASSERT_TRUE(buttons);
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(10);
    qint64 longestSend = 0;
    QStringList prints{WrenUtils::getPrintsFolderPath() + "/" + withoutRow};
    for (int guest = 1; guest <= 3; ++guest) {
        SCOPED_TRACE(guest);
        hold();
        ASSERT_TRUE(tapToStart());
        ASSERT_TRUE(waitForScreen(AppController::Screen::Sharing));
        prints << PhotoSession::session().printImagePath;

        buttons->openEmailWindow();
        longestSend = std::max(longestSend, send(buttons->emailWindow(), QString("guest%1@x.example").arg(guest)));
        EXPECT_FALSE(buttons->emailWindow()->window()->isVisible()) << "the window closes as after any Send";
        buttons->openSMSWindow();
        longestSend = std::max(longestSend, send(buttons->smsWindow(), QString("15123456%1").arg(guest)));
        EXPECT_FALSE(buttons->smsWindow()->window()->isVisible());
        // A tweet posted meanwhile is recorded as done without a wait either.
        QElapsedTimer tweet;
        tweet.start();
        sharing()->sharingDidFinishedFor("Twitter", "Tweet sent");
        longestSend = std::max(longestSend, tweet.elapsed());
        // The screen keeps turning while the print and the three shares wait.
        const int before = ticks;
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return KeptRows::keptPrints() == 1 && KeptRows::keptShares() == 3 && ticks > before + 5; }, 10000));
        EXPECT_TRUE(notice().contains("wait to be recorded")) << notice().toStdString();

        release();
        ASSERT_TRUE(QTest::qWaitFor([&] { return KeptRows::keptPrints() + KeptRows::keptShares() == 0; }, 10000));
        EXPECT_TRUE(QTest::qWaitFor([&] { return !notice().contains("wait to be recorded"); }, 5000));
        ASSERT_TRUE(waitForScreen(AppController::Screen::Home));
    }
    std::printf("longest Send while the database was held: %lld ms\n", static_cast<long long>(longestSend));

    // Every print has its row and is uploaded, once.
    for (const QString& print : prints) {
        SCOPED_TRACE(print.toStdString());
        const QString name = QFileInfo(print).fileName();
        ASSERT_TRUE(QTest::qWaitFor([&] {
            auto row = MediaItemModel::loadMediaItemWithFilePath(print);
            return row && row->uploadStatus == MediaUploadStatusDone;
        }, 10000));
        EXPECT_EQ(services.uploadsOf(name), 1u);
    }
    // Every share goes, once, to its guest.
    auto* queue = SocialSharingService::shared();
    auto allSent = [] {
        auto rows = WrenDatabase::shared().query("SELECT COUNT(*) FROM share WHERE done = 1 AND share_type IN (0, 4)");
        return rows && std::get<std::int64_t>((*rows)[0][0]) == 6;
    };
    for (int run = 0; run < 5 && !allSent(); ++run) {
        queue->startSocialServiceExecution();
        ASSERT_TRUE(QTest::qWaitFor([&] { return !queue->isRunning(); }, 10000));
    }
    EXPECT_TRUE(allSent());
    queue->startSocialServiceExecution();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !queue->isRunning(); }, 10000));
    EXPECT_EQ(services.requestsTo("/api/mail.send.json"), 3u);
    EXPECT_EQ(services.requestsTo("/Messages.json"), 3u);
    auto tweets = WrenDatabase::shared().query("SELECT COUNT(*) FROM share WHERE done = 1 AND share_type = 3");
    ASSERT_TRUE(tweets);
    EXPECT_EQ(std::get<std::int64_t>((*tweets)[0][0]), 3);
}

TEST_F(BoothDatabaseHeldNowAndThenTest, AShareStillWaitingForTheDatabaseAtQuitIsStoredThen) {
    KeptRows::setRetryInterval(std::chrono::minutes(1));
    hold();
    auto* buttons = sharing()->findChild<ShareWindowButtons*>();
    buttons->openEmailWindow();
    send(buttons->emailWindow(), "last.guest@x.example");
    ASSERT_TRUE(QTest::qWaitFor([&] { return KeptRows::keptShares() == 1; }, 10000));
    release();
    controller.applicationWillTerminate();
    EXPECT_EQ(KeptRows::keptShares(), 0u);
    auto rows = SharingModel::getAllSharingRecordsWaitingToSend();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0]->toField, "last.guest@x.example");
}

// The operator quits while another program still holds the database: what
// the guest sent outlives the booth and goes at the next start, once, also
// when that start was cut off after storing it. Each run of the booth is a
// copy of this test on the same data.
TEST_F(BoothDatabaseHeldNowAndThenTest, SharesStillRefusedAtAQuitGoOnceAfterTheNextStart) {
    using testsupport::ChildProcess;
    const std::string mode = ChildProcess::childMode() ? ChildProcess::childMode() : "";
    if (mode == "first run") {
        ASSERT_TRUE(tapToStart());
        ASSERT_TRUE(waitForScreen(AppController::Screen::Sharing));
        const QString print = PhotoSession::session().printImagePath;
        ASSERT_TRUE(QTest::qWaitFor([&] {
            auto row = MediaItemModel::loadMediaItemWithFilePath(print);
            return row && row->uploadStatus == MediaUploadStatusDone;
        }, 10000));
        MediaItemModel::finishStoringProgress();
        ChildProcess::report("ready");
        ASSERT_TRUE(ChildProcess::hear());  // another program holds the database now
        auto* buttons = sharing()->findChild<ShareWindowButtons*>();
        buttons->openEmailWindow();
        send(buttons->emailWindow(), "last.guest@x.example");
        buttons->openSMSWindow();
        send(buttons->smsWindow(), "15123456");
        ASSERT_TRUE(QTest::qWaitFor([&] { return KeptRows::keptShares() == 2; }, 10000));
        controller.applicationWillTerminate();
        return;
    }
    if (mode == "next start") {
        auto* queue = SocialSharingService::shared();
        ASSERT_TRUE(QTest::qWaitFor([] { return KeptRows::keptShares() == 0; }, 10000));
        for (int run = 0; run < 6; ++run) {
            queue->startSocialServiceExecution();
            ASSERT_TRUE(QTest::qWaitFor([&] { return !queue->isRunning(); }, 10000));
        }
        ChildProcess::report(std::to_string(services.requestsTo("/api/mail.send.json")) + " " +
                             std::to_string(services.requestsTo("/Messages.json")) + "\n");
        return;
    }
    const ChildProcess::Env data{{"EARLIER_RUN_DATA", scratch.path()}};
    {
        ChildProcess booth("first run", data);
        ASSERT_TRUE(booth.readReports([](const std::string& r) { return r.find("ready") != std::string::npos; }, std::chrono::seconds(60)))
            << booth.output();
        hold(scratch.path() + "/Flashwren/flashwren_db.sqlite");
        booth.tell("held");
        ASSERT_TRUE(booth.succeeds(std::chrono::seconds(60))) << booth.output();
        release();
    }
    // What the booth left beside its database, as a start cut off after
    // storing the shares would leave it again.
    const QString folder = QString::fromStdString(scratch.path()) + "/Flashwren";
    std::map<QString, QByteArray> left;
    for (const QString& name : files(folder)) {
        QFile file(folder + "/" + name);
        if (!name.startsWith("flashwren_db") && file.open(QIODevice::ReadOnly)) left[name] = file.readAll();
    }
    auto nextStart = [&] {
        ChildProcess booth("next start", data);
        booth.readReports([](const std::string& r) { return r.find('\n') != std::string::npos; },
                          std::chrono::seconds(120));
        return booth.reports() + booth.output();
    };
    const std::string first = nextStart();
    EXPECT_EQ(first.substr(0, 4), "1 1\n") << "each is sent once: " << first;
    for (auto& [name, bytes] : left) {
        QFile file(folder + "/" + name);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }
    const std::string second = nextStart();
    EXPECT_EQ(second.substr(0, 4), "0 0\n") << "sent again: " << second;
}

// The database is held from before the start; an earlier run left a print
// uploaded, one whose upload was cut off and one without a row.
class BoothDatabaseOpensLateTest : public BoothBusyDatabaseTest {
protected:
    void SetUp() override {
        BoothBusyDatabaseTest::SetUp();
        services.configure();
    }
    void leaveAnEarlierRun() override {
        ASSERT_TRUE(WrenDatabase::openShared(WrenDatabase::defaultPath(),
                                             std::string(FLASHWREN_SOURCE_DIR) + "/resources/migrations"));
        ASSERT_TRUE(BoothRunModel::record(BoothRun{QDateTime::currentDateTime().addSecs(-60), "Earlier"}));
        const QString folder = QString::fromStdString(dataDirectory()) + "prints";
        for (const QString& name : {uploaded, interrupted, withoutRow}) writePrint(folder, name);
        for (const QString& name : {uploaded, interrupted}) {
            MediaItemModel row;
            row.fileName = name;
            row.filePath = folder + "/" + name;
            if (name == uploaded) {
                row.uploadURL = "http://flw.io/p/earlier";
                row.uploadStatus = MediaUploadStatusDone;
            }
            ASSERT_TRUE(row.save());
        }
        WrenDatabase::shared().close();
    }
    std::shared_ptr<MediaItemModel> row(const QString& name) {
        return MediaItemModel::loadMediaItemWithFilePath(WrenUtils::getPrintsFolderPath() + "/" + name);
    }
    const QString uploaded = "2026-01-01_10-00-00-000.jpg";
    const QString interrupted = "2026-01-01_10-00-01-000.jpg";
    const QString withoutRow = "2026-01-01_10-00-02-000.jpg";
    LoopbackServices services;
};

TEST_F(BoothDatabaseOpensLateTest, ItsCacheIsReadItsInterruptedUploadsMarkedAndEachPrintOfThisRunUploadedOnce) {
    KeptRows::setRetryInterval(std::chrono::milliseconds(100));
    QTest::mouseClick(home_(), Qt::LeftButton);
    ASSERT_TRUE(waitForScreen(AppController::Screen::Sharing));
    const QString print = PhotoSession::session().printImagePath;
    ASSERT_TRUE(QTest::qWaitFor([&] { return KeptRows::keptPrints() == 1; }, 10000));

    release();
    ASSERT_TRUE(QTest::qWaitFor([&] { return WrenDatabase::shared().isOpen(); }, 10000));
    EXPECT_TRUE(QTest::qWaitFor([&] {
        auto cached = MediaItemHelper::getMediaItemForFileName(uploaded);
        return cached && cached->uploadURL == "http://flw.io/p/earlier";
    }, 5000)) << "the earlier run's rows are read";
    EXPECT_TRUE(QTest::qWaitFor([&] { return row(interrupted)->uploadStatus == MediaUploadStatusImageFailed; }, 5000))
        << "the cut-off upload is left to the retry service";
    // This run's print and the print without a row are uploaded, once each,
    // and a retry run after them uploads neither again.
    for (const QString& name : {QFileInfo(print).fileName(), withoutRow}) {
        EXPECT_TRUE(QTest::qWaitFor([&] {
            auto r = row(name);
            return r && r->uploadStatus == MediaUploadStatusDone;
        }, 10000)) << name.toStdString();
    }
    auto* retry = RetryUploadToS3Service::shared();
    retry->startRetryToS3();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !retry->isRunning(); }, 10000));
    EXPECT_EQ(services.uploadsOf(QFileInfo(print).fileName()), 1u);
    EXPECT_EQ(services.uploadsOf(withoutRow), 1u);
    EXPECT_EQ(services.uploadsOf(interrupted), 1u) << "by the retry service";
    EXPECT_EQ(services.uploadsOf(uploaded), 0u);
    KeptRows::setRetryInterval(KeptRows::kRetryInterval);
}

}  // namespace
