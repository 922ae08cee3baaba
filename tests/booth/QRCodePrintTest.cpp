// The print of a template with a QR-code layer carries the code of its public
// address once its registration answers, on the final screen and on paper;
// an address that comes too late never reaches the next guest's print.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <QFileInfo>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QTest>
#include <QThreadPool>

#include <ZXing/ReadBarcode.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "BoothTestApp.h"
#include "LoopbackServer.h"
#include "TempDir.h"
#include "booth/AppController.h"
#include "booth/BoothPrinter.h"
#include "booth/QRCodePrint.h"
#include "booth/SharingScreenTabItem.h"
#include "camera/CameraManager.h"
#include "camera/FolderCameraModel.h"
#include "core/Database.h"
#include "core/MainQueue.h"
#include "core/Models.h"
#include "core/Notifications.h"
#include "core/PhotoSession.h"
#include "core/Reachability.h"
#include "sharing/Analytics.h"

namespace {

using testsupport::RecordedRequest;
using testsupport::Reply;

// The text of the QR code in `picture`; "" when it carries none.
std::string qrText(const QImage& picture) {
    const QImage image = picture.convertToFormat(QImage::Format_Grayscale8);
    ZXing::DecodeHints hints;
    hints.setFormats(ZXing::BarcodeFormat::QRCode);
    hints.setTryHarder(true);
    const auto result = ZXing::ReadBarcode(
        {image.constBits(), image.width(), image.height(), ZXing::ImageFormat::Lum, int(image.bytesPerLine())}, hints);
    return result.isValid() ? QString::fromStdWString(result.text()).toStdString() : std::string();
}

class QRCodePrintTest : public ::testing::Test {
protected:
    void SetUp() override {
        app();
        auto& defaults = UserDefaults::standard();
        defaults.set("DATA_DIRECTORY", home.path() + "/data/");
        defaults.set("seconds_between_shots", 0);
        defaults.set("PHOTO_ARRIVAL_CHECK_SECONDS", 0);
        defaults.set("seconds_between_groups", 120);  // guests leave by Done
        defaults.set("SELECTED_TEMPLATE", "Postcard");
        keepBoothOnLoopback();
        // The first upload waits, when asked to, until the test lets it go.
        s3.setHandler([this](const RecordedRequest&) {
            std::unique_lock lock(mutex);
            if (holdFirstUpload && !held) {
                held = true;
                released.wait_for(lock, std::chrono::seconds(30), [this] { return release; });
            }
            return Reply{200, {}, ""};
        });
        registration.setHandler([this](const RecordedRequest&) {
            if (!answerRegistration) return Reply{500, {}, ""};
            return Reply{200, {{"Content-Type", "text/html"}},
                         R"({"url":"http://flw.example/p/)" + std::to_string(++registered) + R"("})"};
        });
        defaults.set("S3EndpointURL", s3.baseUrl());
        defaults.set("FlashwrenWebServiceURL", registration.baseUrl());
        PhotoSession::session().reset();  // media ids start again with this test's database
        BoothPrinter::setOutputFile(pdf);
        ASSERT_TRUE(controller.applicationDidFinishLaunching());
        CameraManager::sharedCameraManager().setCameraModel(
            std::make_shared<FolderCameraModel>(CameraManager::demoCameraFolder()));
        defaults.set("ReachabilityURL", internet.baseUrl());
        Reachability::shared()->start();
        ASSERT_TRUE(QTest::qWaitFor([&] { return defaults.string("IS_INTERNET_RECHABLE") == "YES"; }, 5000));
    }
    void TearDown() override {
        letTheUploadGo();
        controller.applicationWillTerminate();
        BoothPrinter::setOutputFile({});
        GoogleTracker::sharedGoogleTracker().waitForPendingHits(std::chrono::seconds(30));
        UserDefaults::standard().set("ReachabilityURL", "http://127.0.0.1:9");  // offline for the next test
        Reachability::shared()->start();
        EXPECT_TRUE(QTest::qWaitFor([] { return !Reachability::shared()->isChecking(); }, 5000));
    }

    void letTheUploadGo() {
        std::lock_guard lock(mutex);
        release = true;
        released.notify_all();
    }
    SharingScreenTabItem* finalScreen() { return controller.mainWindow()->sharingScreen(); }
    void tapDone() { QTest::mouseClick(finalScreen()->findChild<QPushButton*>("DoneButton"), Qt::LeftButton); }
    // A session from its start to its final screen; the media id of its print.
    std::int64_t runSession() {
        const std::int64_t before = PhotoSession::session().printMediaID;
        EXPECT_TRUE(controller.startSession());
        EXPECT_TRUE(QTest::qWaitFor(
            [&] {
                return controller.currentScreen() == AppController::Screen::Sharing &&
                       PhotoSession::session().printMediaID != before;
            },
            15000));
        return PhotoSession::session().printMediaID;
    }
    // Prints recorded, made in this run or at the end of a session.
    static std::int64_t prints() {
        auto rows = WrenDatabase::shared().query("SELECT count(*) FROM share WHERE share_type = 7");
        return rows && rows->size() == 1u ? std::get<std::int64_t>((*rows)[0][0]) : -1;
    }
    int uploadStatus(std::int64_t mediaID) {
        auto row = MediaItemModel::loadMediaItemWithID(mediaID);
        return row ? row->uploadStatus : -1;
    }
    std::string shownCode() { return qrText(finalScreen()->findChild<QLabel*>("PrintView")->pixmap().toImage()); }
    // The code on the page that the print button sends to the printer.
    std::string printedCode() {
        QTest::mouseClick(finalScreen()->printButton(), Qt::LeftButton);
        EXPECT_TRUE(QTest::qWaitFor([&] { return !finalScreen()->isPrinting(); }, 10000));
        return pageCode();
    }
    // The code on the last page sent to the printer.
    std::string pageCode() {
        QProcess raster;
        raster.start("pdftoppm", {"-r", "100", "-png", "-singlefile", pdf, pdf});
        EXPECT_TRUE(raster.waitForFinished(30000) && raster.exitCode() == 0) << "is pdftoppm installed?";
        return qrText(QImage(pdf + ".png"));
    }
    // What the final screen started, in the background or on the interface
    // thread's queue, has come back.
    static void settle() {
        auto drain = [] {
            bool reached = false;
            MainQueue::shared().post([&] { reached = true; });
            return QTest::qWaitFor([&] { return reached; }, 10000);
        };
        ASSERT_TRUE(drain());
        ASSERT_TRUE(QThreadPool::globalInstance()->waitForDone(10000));
        ASSERT_TRUE(drain());
    }

    testsupport::ScopedHome home;
    QString pdf = QString::fromStdString(home.path()) + "/page.pdf";
    AppController controller;
    testsupport::LoopbackServer internet, s3, registration;
    std::atomic<bool> answerRegistration{true};
    std::atomic<int> registered{0};
    std::mutex mutex;
    std::condition_variable released;
    std::atomic<bool> holdFirstUpload{false}, held{false};
    bool release = false;
};

TEST_F(QRCodePrintTest, TheFinalScreenShowsAndPrintsTheCopyWithTheRegisteredAddress) {
    runSession();
    const std::string address = "http://flw.example/p/1";
    EXPECT_TRUE(QTest::qWaitFor([&] { return shownCode() == address; }, 15000)) << shownCode();
    EXPECT_EQ(printedCode(), address);
    // The copy is no print of its own: the print's row names the session's print.
    auto rows = WrenDatabase::shared().query("SELECT file_path FROM share WHERE share_type = 7");
    ASSERT_TRUE(rows && rows->size() == 1u);
    EXPECT_EQ(std::get<std::string>((*rows)[0][0]), PhotoSession::session().printImagePath.toStdString());

    // The next guest's copy takes the place of this one.
    const QString copy = PhotoSession::session().qrPrintImagePath;
    tapDone();
    runSession();
    EXPECT_TRUE(QTest::qWaitFor([&] { return shownCode() == "http://flw.example/p/2"; }, 15000)) << shownCode();
    EXPECT_FALSE(QFile::exists(copy));
}

TEST_F(QRCodePrintTest, AnAddressThatComesLateNeverReachesTheNextGuestsPrint) {
    // Guest 1's upload is slow and guest 2's address is refused: guest 1's
    // address comes while guest 2 is at the final screen, and guest 2 sees
    // and prints the plain print, its QR-code layer empty.
    holdFirstUpload = true;
    answerRegistration = false;
    const std::int64_t first = runSession();
    ASSERT_TRUE(QTest::qWaitFor([&] { return held.load(); }, 10000));
    tapDone();
    const std::int64_t second = runSession();
    ASSERT_TRUE(QTest::qWaitFor([&] { return uploadStatus(second) == MediaUploadStatusRegistrationFailed; }, 15000));
    answerRegistration = true;
    letTheUploadGo();
    ASSERT_TRUE(QTest::qWaitFor([&] { return uploadStatus(first) == MediaUploadStatusDone; }, 15000));
    settle();
    EXPECT_TRUE(PhotoSession::session().qrPrintImagePath.isEmpty());
    EXPECT_EQ(shownCode(), "");
    EXPECT_EQ(printedCode(), "");

    // Guest 3 leaves the moment the address comes, while the copy is being
    // made, and the next session's record begins: the copy never reaches it.
    tapDone();
    const auto leave = base::NotificationCenter::defaultCenter().addObserver(
        kMediaItemDidUploadedNotification, nullptr, &MainQueue::shared(), [&](const base::Notification&) {
            tapDone();
            PhotoSession::session().reset();
        });
    runSession();
    ASSERT_TRUE(QTest::qWaitFor([&] { return controller.currentScreen() == AppController::Screen::Home; }, 15000));
    settle();
    base::NotificationCenter::defaultCenter().removeObserver(leave);
    EXPECT_TRUE(PhotoSession::session().qrPrintImagePath.isEmpty());
}

// An automatic print is never lost: it goes as soon as the copy with the
// code is ready, and plain when the guest leaves before, by Done or by a
// final screen shorter than the wait for the copy.
TEST_F(QRCodePrintTest, TheAutomaticPrintGoesWithTheCodeOnceReadyOrPlainWhenTheGuestLeavesFirst) {
    auto& defaults = UserDefaults::standard();
    defaults.set("print_automatically", true);
    runSession();
    ASSERT_TRUE(QTest::qWaitFor([&] { return shownCode() == "http://flw.example/p/1"; }, 15000)) << shownCode();
    EXPECT_TRUE(finalScreen()->isPrinting() || PhotoSession::session().printsMade == 1)
        << "the print waits on though its copy is ready";
    tapDone();
    ASSERT_TRUE(QTest::qWaitFor([] { return prints() == 1; }, 15000)) << "Done after the copy: " << prints();
    EXPECT_EQ(pageCode(), "http://flw.example/p/1");

    holdFirstUpload = true;  // this guest's copy never comes before Done
    runSession();
    ASSERT_TRUE(QTest::qWaitFor([&] { return held.load(); }, 10000));
    tapDone();
    ASSERT_TRUE(QTest::qWaitFor([] { return prints() == 2; }, 15000)) << "Done before the copy: " << prints();
    EXPECT_EQ(pageCode(), "");

    answerRegistration = false;  // nor this one's: it walks away from a short final screen
    defaults.set("seconds_between_groups", 1);
    runSession();
    ASSERT_TRUE(QTest::qWaitFor([&] { return controller.currentScreen() == AppController::Screen::Home; }, 15000));
    ASSERT_TRUE(QTest::qWaitFor([] { return prints() == 3; }, 15000)) << "a short final screen: " << prints();
    EXPECT_EQ(pageCode(), "");
}

}  // namespace
