// The print of a template with a QR-code layer carries the code of the print's
// public address once its registration answers, on the final screen and on
// paper; an address that comes too late never reaches the next guest's print.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <QDir>
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
#include "base/NotificationCenter.h"
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
#include "core/UserDefaults.h"
#include "core/WrenUtils.h"
#include "sharing/Analytics.h"
#include "templates/LayoutEngine.h"
#include "templates/TETemplateDocument.h"

namespace {

using testsupport::LoopbackServer;
using testsupport::RecordedRequest;
using testsupport::Reply;

// The text of the QR code in `image`; "" when it carries none.
std::string qrText(const QImage& picture) {
    if (picture.isNull()) return {};
    const QImage image = picture.convertToFormat(QImage::Format_Grayscale8);
    ZXing::DecodeHints hints;
    hints.setFormats(ZXing::BarcodeFormat::QRCode);
    hints.setTryHarder(true);
    const auto result = ZXing::ReadBarcode(
        {image.constBits(), image.width(), image.height(), ZXing::ImageFormat::Lum, int(image.bytesPerLine())}, hints);
    return result.isValid() ? QString::fromStdWString(result.text()).toStdString() : std::string();
}

// Whatever was started in the background and on the interface thread's
// queue has come back.
void settle() {
    auto drain = [] {
        bool reached = false;
        MainQueue::shared().post([&] { reached = true; });
        return QTest::qWaitFor([&] { return reached; }, 10000);
    };
    ASSERT_TRUE(drain());
    ASSERT_TRUE(QThreadPool::globalInstance()->waitForDone(10000));
    ASSERT_TRUE(drain());
}

class QRCodePrintTest : public ::testing::Test {
protected:
    void SetUp() override {
        app();
        auto& defaults = UserDefaults::standard();
        defaults.set("DATA_DIRECTORY", home.path() + "/data/");
        defaults.set("seconds_between_shots", 0);
        defaults.set("PHOTO_ARRIVAL_CHECK_SECONDS", 0);
        defaults.set("seconds_between_groups", 120);  // the guest leaves by Done
        defaults.set("CAMERA_RESPONSE_TIMEOUT", 5);
        defaults.set("SELECTED_TEMPLATE", "Postcard");
        keepBoothOnLoopback();
        s3.setHandler([this](const RecordedRequest&) {
            std::unique_lock lock(mutex);
            if (holdFirstUpload && !heldOne) {
                heldOne = true;
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
        pdf = QString::fromStdString(home.path()) + "/page.pdf";
        BoothPrinter::setOutputFile(pdf);
        ASSERT_TRUE(controller.applicationDidFinishLaunching());
        CameraManager::sharedCameraManager().setCameraModel(
            std::make_shared<FolderCameraModel>(CameraManager::demoCameraFolder()));
        defaults.set("ReachabilityURL", internet.baseUrl());
        Reachability::shared()->start();
        ASSERT_TRUE(QTest::qWaitFor([&] { return defaults.string("IS_INTERNET_RECHABLE") == "YES"; }, 5000));
    }
    void TearDown() override {
        {
            std::lock_guard lock(mutex);
            release = true;
        }
        released.notify_all();
        controller.applicationWillTerminate();
        BoothPrinter::setOutputFile({});
        // The prints' usage hits are stored in this test's home, before it goes.
        GoogleTracker::sharedGoogleTracker().waitForPendingHits(std::chrono::seconds(30));
        // Back offline for the next test's start.
        UserDefaults::standard().set("ReachabilityURL", "http://127.0.0.1:9");
        Reachability::shared()->start();
        EXPECT_TRUE(QTest::qWaitFor([] { return !Reachability::shared()->isChecking(); }, 5000));
    }

    SharingScreenTabItem* finalScreen() { return controller.mainWindow()->sharingScreen(); }
    // The final screen of the session after the one whose print has `before`;
    // the media id of its print.
    std::int64_t waitForFinalScreen(std::int64_t before) {
        EXPECT_TRUE(QTest::qWaitFor(
            [&] {
                return controller.currentScreen() == AppController::Screen::Sharing &&
                       PhotoSession::session().printMediaID != before;
            },
            15000));
        return PhotoSession::session().printMediaID;
    }
    std::int64_t runSession() {
        const std::int64_t before = PhotoSession::session().printMediaID;
        EXPECT_TRUE(controller.startSession());
        return waitForFinalScreen(before);
    }
    std::string shownCode() {
        auto* view = finalScreen()->findChild<QLabel*>("PrintView");
        return view ? qrText(view->pixmap().toImage()) : std::string();
    }
    void tapDone() { QTest::mouseClick(finalScreen()->findChild<QPushButton*>("DoneButton"), Qt::LeftButton); }
    // The code on the page the guest's print button sends to the printer.
    std::string printedCode() {
        QFile::remove(pdf);
        QTest::mouseClick(finalScreen()->printButton(), Qt::LeftButton);
        EXPECT_TRUE(QTest::qWaitFor([&] { return !finalScreen()->isPrinting(); }, 10000));
        const QString stem = QString::fromStdString(home.path()) + "/page";
        QProcess raster;
        raster.start("pdftoppm", {"-r", "100", "-png", "-singlefile", pdf, stem});
        EXPECT_TRUE(raster.waitForFinished(30000) && raster.exitCode() == 0) << "is pdftoppm installed?";
        const QImage page(stem + ".png");
        EXPECT_FALSE(page.isNull());
        return qrText(page);
    }
    int uploadStatus(std::int64_t mediaID) {
        auto row = MediaItemModel::loadMediaItemWithID(mediaID);
        return row ? row->uploadStatus : -1;
    }
    bool uploadHeld() {
        std::lock_guard lock(mutex);
        return heldOne;
    }

    testsupport::ScopedHome home;
    AppController controller;
    LoopbackServer internet;
    LoopbackServer s3;
    LoopbackServer registration;
    std::atomic<bool> answerRegistration{true};
    std::atomic<int> registered{0};
    std::mutex mutex;
    std::condition_variable released;
    bool holdFirstUpload = false, heldOne = false, release = false;
    QString pdf;
};

TEST_F(QRCodePrintTest, TheFinalScreenShowsAndPrintsTheCopyWithTheRegisteredAddress) {
    runSession();
    const std::string address = "http://flw.example/p/1";
    EXPECT_TRUE(QTest::qWaitFor([&] { return shownCode() == address; }, 15000)) << shownCode();
    EXPECT_EQ(printedCode(), address);

    // The copy is not a second print: the gallery and the upload know one.
    const QString prints = WrenUtils::getPrintsFolderPath();
    EXPECT_EQ(QDir(prints).entryList(QDir::Files).size(), 1);
    auto rows = WrenDatabase::shared().query("SELECT file_path FROM share WHERE share_type = 7");
    ASSERT_TRUE(rows && rows->size() == 1u);
    EXPECT_EQ(std::get<std::string>((*rows)[0][0]), PhotoSession::session().printImagePath.toStdString())
        << "the print's share row names the session's print";
}

// Guest 1's upload is slow and guest 2's address is refused: guest 1's
// address comes while guest 2 is at the final screen, and guest 2 sees and
// prints the plain print, its QR-code layer empty.
TEST_F(QRCodePrintTest, AnAddressThatComesLateNeverReachesTheNextGuestsPrint) {
    {
        std::lock_guard lock(mutex);
        holdFirstUpload = true;
    }
    answerRegistration = false;
    const std::int64_t first = runSession();
    ASSERT_TRUE(QTest::qWaitFor([&] { return uploadHeld(); }, 10000));
    tapDone();
    const std::int64_t second = runSession();
    ASSERT_TRUE(QTest::qWaitFor([&] { return uploadStatus(second) == MediaUploadStatusRegistrationFailed; }, 15000));
    answerRegistration = true;
    {
        std::lock_guard lock(mutex);
        release = true;
    }
    released.notify_all();
    ASSERT_TRUE(QTest::qWaitFor([&] { return uploadStatus(first) == MediaUploadStatusDone; }, 15000));
    settle();
    EXPECT_TRUE(PhotoSession::session().qrPrintImagePath.isEmpty());
    EXPECT_EQ(shownCode(), "");
    EXPECT_EQ(printedCode(), "");
}

// The guest leaves the final screen just as the address comes, while the copy
// is being made, and the next session begins: nothing of the copy reaches the
// next session. Shown again, the print's address gives the copy.
TEST(QRCodePrintCopy, AnAddressForAGuestWhoLeftChangesNothing) {
    app();
    testsupport::ScopedHome home;
    UserDefaults::standard().set("DATA_DIRECTORY", home.path() + "/data/");
    ASSERT_TRUE(WrenDatabase::openShared(home.path() + "/flashwren_db.sqlite",
                                         std::string(FLASHWREN_SOURCE_DIR) + "/resources/migrations"));
    const QString dir = QString::fromStdString(home.path());
    ASSERT_TRUE(QDir(dir).mkpath("card"));
    QFile xml(dir + "/card/template.xml");
    ASSERT_TRUE(xml.open(QIODevice::WriteOnly));
    xml.write(R"(<template name="Card" width="400" height="200" background="#ffffff">
  <layer type="photo" x="0" y="0" width="200" height="200"/>
  <layer type="qrcode" x="220" y="20" width="160" height="160"/>
</template>)");
    xml.close();
    QImage photo(100, 100, QImage::Format_RGB32);
    photo.fill(Qt::red);
    ASSERT_TRUE(photo.save(dir + "/photo.jpg"));
    auto engine = std::make_shared<LayoutEngine>(TETemplateDocument::loadFromFolder(dir + "/card"));
    QString error;
    const auto print = engine->layoutPhotos({dir + "/photo.jpg"}, &error, dir + "/prints");
    ASSERT_TRUE(print) << error.toStdString();

    SharingScreenTabItem screen;
    auto& record = PhotoSession::session();
    auto showTheSession = [&] {
        record.reset();
        record.printImagePath = print->printPath;
        record.printMediaID = 7;
        record.layoutEngine = engine;
        screen.showSession();
    };
    auto answer = [] {
        auto item = std::make_shared<MediaItemModel>();
        item->ID = 7;
        item->uploadURL = "http://flw.example/p/7";
        base::UserInfo info;
        info["UploadedItem"] = item;
        base::NotificationCenter::defaultCenter().post(kMediaItemDidUploadedNotification, nullptr, std::move(info));
    };
    // Right after the screen hears the address, the guest leaves and the
    // next session resets the record, as the application controller does.
    const auto leave = base::NotificationCenter::defaultCenter().addObserver(
        kMediaItemDidUploadedNotification, nullptr, &MainQueue::shared(), [&](const base::Notification&) {
            screen.cleanUp();
            PhotoSession::session().reset();
        });
    showTheSession();
    answer();
    settle();
    base::NotificationCenter::defaultCenter().removeObserver(leave);
    EXPECT_TRUE(record.qrPrintImagePath.isEmpty());
    EXPECT_FALSE(QFile::exists(QRCodePrint::copyPathFor(print->printPath)));

    showTheSession();
    answer();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !record.qrPrintImagePath.isEmpty(); }, 10000));
    EXPECT_EQ(qrText(QImage(record.qrPrintImagePath)), "http://flw.example/p/7");
    screen.cleanUp();
    GoogleTracker::sharedGoogleTracker().waitForPendingHits(std::chrono::seconds(30));
    WrenDatabase::shared().close();
}

}  // namespace
