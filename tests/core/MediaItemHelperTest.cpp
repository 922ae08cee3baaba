#include <sqlite3.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "CoreTestSupport.h"
#include "Wait.h"
#include "base/NotificationCenter.h"
#include "core/Notifications.h"
#include "core/UserDefaults.h"

namespace {

std::shared_ptr<MediaItemModel> savedItem(const QString& name) {
    auto m = std::make_shared<MediaItemModel>();
    m->fileName = name;
    m->filePath = "/data/prints/" + name;
    EXPECT_TRUE(m->save());
    return m;
}

struct Starts {
    std::mutex m;
    std::vector<std::pair<std::int64_t, int>> calls;  // media id, stage
    void install() {
        MediaItemHelper::setUploadStarter([this](std::shared_ptr<MediaItemModel> item, int stage, WrenS3ManagerDelegate*) {
            std::lock_guard lock(m);
            calls.emplace_back(item->ID, stage);
        });
    }
};

}  // namespace

using MediaHelper = CoreTest;

TEST_F(MediaHelper, CacheFillsFromTheTableAndHandsOutCopies) {
    savedItem("a.jpg");
    savedItem("b.jpg");
    auto a = MediaItemHelper::getMediaItemForFileName("a.jpg");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->filePath, "/data/prints/a.jpg");
    EXPECT_FALSE(MediaItemHelper::getMediaItemForFileName("missing.jpg"));

    a->uploadURL = "changed by a reader";
    EXPECT_EQ(MediaItemHelper::getMediaItemForFileName("a.jpg")->uploadURL, "");

    auto replacement = std::make_shared<MediaItemModel>(*a);
    replacement->uploadURL = "http://fw.example/s/1";
    MediaItemHelper::addNewlyCreatedMediaItemToCache(replacement);
    replacement->uploadURL = "later change by the owner";
    EXPECT_EQ(MediaItemHelper::getMediaItemForFileName("a.jpg")->uploadURL, "http://fw.example/s/1");
}

TEST_F(MediaHelper, CacheIsSafeFromManyThreads) {
    for (int i = 0; i < 20; ++i) savedItem(QString("db-%1.jpg").arg(i));
    std::atomic<int> misses{0};
    // Every thread's first read races to fill the cache from the table.
    MediaItemHelper::clearCache();
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([t, &misses] {
            for (int i = 0; i < 200; ++i) {
                auto item = std::make_shared<MediaItemModel>();
                item->fileName = QString("t%1-%2.jpg").arg(t).arg(i % 10);
                item->uploadURL = QString("http://fw.example/%1/%2").arg(t).arg(i);
                MediaItemHelper::addNewlyCreatedMediaItemToCache(item);
                if (!MediaItemHelper::getMediaItemForFileName(item->fileName)) ++misses;
                if (!MediaItemHelper::getMediaItemForFileName(QString("db-%1.jpg").arg(i % 20))) ++misses;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(misses, 0);
    // The last write of each name wins.
    EXPECT_EQ(MediaItemHelper::getMediaItemForFileName("t3-9.jpg")->uploadURL, "http://fw.example/3/199");
}

TEST_F(MediaHelper, RegistrationStoresTheAddressAndAnnouncesTheItem) {
    auto item = savedItem("p.jpg");
    std::shared_ptr<MediaItemModel> announced;
    auto id = base::NotificationCenter::defaultCenter().addObserver(
        kMediaItemDidUploadedNotification, nullptr, nullptr, [&](const base::Notification& n) {
            if (auto* p = n.get<std::shared_ptr<MediaItemModel>>("UploadedItem")) announced = *p;
        });
    auto& helper = MediaItemHelper::shared();
    item->imageURL = "http://img.example/p.jpg";
    helper.didUploadedImageToS3(item);
    item->thumbURL = "http://img.example/p_Thumb.jpg";
    helper.didUploadedThumbToS3(item);
    item->uploadURL = "http://fw.example/s/p";
    helper.didUploadedToWrenTrackAPI(item);
    base::NotificationCenter::defaultCenter().removeObserver(id);

    auto row = MediaItemModel::loadMediaItemWithID(item->ID);
    EXPECT_EQ(row->imageURL, "http://img.example/p.jpg");
    EXPECT_EQ(row->thumbURL, "http://img.example/p_Thumb.jpg");
    EXPECT_EQ(row->uploadURL, "http://fw.example/s/p");
    EXPECT_EQ(row->uploadStatus, MediaUploadStatusDone);
    ASSERT_TRUE(announced);
    EXPECT_EQ(announced->uploadURL, "http://fw.example/s/p");
    EXPECT_EQ(MediaItemHelper::getMediaItemForFileName("p.jpg")->uploadURL, "http://fw.example/s/p");
}

TEST_F(MediaHelper, EarlyFailureWhileOnlineStartsAgainAtOnce) {
    UserDefaults::standard().set("IS_INTERNET_RECHABLE", "YES");
    auto now = std::chrono::steady_clock::now();
    MediaItemHelper::setClock([&] { return now; });
    Starts starts;
    starts.install();
    auto item = savedItem("q.jpg");
    MediaItemHelper::startUpload(item);
    auto& helper = MediaItemHelper::shared();

    now += std::chrono::seconds(3);
    helper.didFailedToUploadModel(item, MediaUploadStatusImageFailed);
    now += std::chrono::seconds(3);
    helper.didFailedToUploadModel(item, MediaUploadStatusRegistrationFailed);
    ASSERT_EQ(starts.calls.size(), 3u);
    EXPECT_EQ(starts.calls[0], std::make_pair(item->ID, 0));
    EXPECT_EQ(starts.calls[1], std::make_pair(item->ID, 0));
    EXPECT_EQ(starts.calls[2], std::make_pair(item->ID, 4));  // registration only
    EXPECT_EQ(MediaItemModel::loadMediaItemWithID(item->ID)->uploadStatus, MediaUploadStatusUploading);

    // Ten seconds after the first start the failure is left to the retry service.
    now += std::chrono::seconds(5);
    helper.didFailedToUploadModel(item, MediaUploadStatusRegistrationFailed);
    EXPECT_EQ(starts.calls.size(), 3u);
    auto row = MediaItemModel::loadMediaItemWithID(item->ID);
    EXPECT_EQ(row->uploadStatus, MediaUploadStatusRegistrationFailed);
    EXPECT_EQ(row->retryCount, 0);

    // The same stage failing again counts; another stage starts the count over.
    helper.didFailedToUploadModel(item, MediaUploadStatusRegistrationFailed);
    EXPECT_EQ(MediaItemModel::loadMediaItemWithID(item->ID)->retryCount, 1);
    helper.didFailedToUploadModel(item, MediaUploadStatusThumbFailed);
    row = MediaItemModel::loadMediaItemWithID(item->ID);
    EXPECT_EQ(row->uploadStatus, MediaUploadStatusThumbFailed);
    EXPECT_EQ(row->retryCount, 0);
}

TEST_F(MediaHelper, FailureWhileOfflineIsStoredAtOnce) {
    UserDefaults::standard().set("IS_INTERNET_RECHABLE", "YES");
    Starts starts;
    starts.install();
    auto item = savedItem("r.jpg");
    MediaItemHelper::startUpload(item);
    UserDefaults::standard().set("IS_INTERNET_RECHABLE", "NO");
    MediaItemHelper::shared().didFailedToUploadModel(item, MediaUploadStatusImageFailed);
    EXPECT_EQ(starts.calls.size(), 1u);
    EXPECT_EQ(MediaItemModel::loadMediaItemWithID(item->ID)->uploadStatus, MediaUploadStatusImageFailed);
}

TEST_F(MediaHelper, OfflineTheFirstUploadIsLeftToTheRetryService) {
    UserDefaults::standard().set("IS_INTERNET_RECHABLE", "NO");
    Starts starts;
    starts.install();
    auto item = savedItem("s.jpg");
    MediaItemHelper::startUpload(item);
    EXPECT_TRUE(starts.calls.empty()) << "no upload that can only fail";
    auto row = MediaItemModel::loadMediaItemWithID(item->ID);
    EXPECT_EQ(row->uploadStatus, MediaUploadStatusImageFailed) << "the retry service's to send";
    EXPECT_EQ(row->retryCount, 0);
    EXPECT_EQ(MediaItemHelper::getMediaItemForFileName("s.jpg")->uploadStatus, MediaUploadStatusImageFailed);
    auto retry = MediaItemModel::getAllEligibleRecordsForRetry();
    ASSERT_EQ(retry.size(), 1u);
    EXPECT_EQ(retry[0]->ID, item->ID);
}

TEST_F(MediaHelper, AnUploadsReportDoesNotWaitForAnotherProgramsLockAndIsStoredOnceItGoes) {
    auto item = savedItem("held.jpg");
    WrenDatabase::setStatementLockWait(std::chrono::seconds(30));
    ASSERT_TRUE(WrenDatabase::openShared(dbPath(), migrationsDir()));
    sqlite3* holder = nullptr;
    ASSERT_EQ(sqlite3_open(dbPath().c_str(), &holder), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    // Let go by the test once the report is back, or by this deadline.
    std::atomic<bool> released{false};
    std::mutex m;
    std::condition_variable cv;
    std::thread releaser([&] {
        std::unique_lock lock(m);
        cv.wait_for(lock, std::chrono::seconds(10), [&] { return released.load(); });
        released = true;
        sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(holder);
    });
    item->imageURL = "http://img.example/held.jpg";
    MediaItemHelper::shared().didUploadedImageToS3(item);
    EXPECT_FALSE(released) << "the report waited for the lock";
    {
        std::lock_guard lock(m);
        released = true;
    }
    cv.notify_one();
    releaser.join();
    EXPECT_TRUE(testsupport::waitUntil([&] {
        sqlite3* reader = nullptr;
        std::string stored;
        if (sqlite3_open(dbPath().c_str(), &reader) == SQLITE_OK) {
            sqlite3_stmt* st = nullptr;
            sqlite3_prepare_v2(reader, "SELECT image_url FROM media WHERE id = ?", -1, &st, nullptr);
            sqlite3_bind_int64(st, 1, item->ID);
            if (sqlite3_step(st) == SQLITE_ROW) stored = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
            sqlite3_finalize(st);
        }
        sqlite3_close(reader);
        return stored == "http://img.example/held.jpg";
    }));
    WrenDatabase::setStatementLockWait(std::chrono::seconds(5));
}

namespace {
// A print file as the layout names it, made at `made`.
QString writePrint(const QString& folder, const QString& name, const QDateTime& made) {
    QDir().mkpath(folder);
    QFile file(folder + "/" + name);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("jpeg");
    file.flush();
    EXPECT_TRUE(file.setFileTime(made, QFileDevice::FileModificationTime));
    return file.fileName();
}
}  // namespace

// The start-up scan gives a row to the prints whose row this database's
// booth lost, and to nothing else: not to an earlier event's prints left in
// the folder, nor a second one to a print reached through another path.
TEST_F(MediaHelper, TheStartScanAdoptsOnlyThisDatabasesLostPrintsOnceEachInTheAlbumTheyWereMadeIn) {
    const QString folder = QString::fromStdString(home.path()) + "/disk/prints";
    const QString linked = QString::fromStdString(home.path()) + "/mounted";
    ASSERT_TRUE(QFile::link(QString::fromStdString(home.path()) + "/disk", linked));
    const QDateTime now = QDateTime::currentDateTime();
    for (const char* name : {"2026-01-01_10-00-00-000.jpg", "2026-01-01_10-00-01-000.jpg", "2026-01-01_10-00-02-000.jpg"})
        writePrint(folder, name, now.addDays(-30));

    // The first start on a new database: the earlier event's prints stay as they are.
    auto& defaults = UserDefaults::standard();
    defaults.set("ALBUM_NAME", std::string("Wedding"));
    const QDateTime firstStart = now.addSecs(-3600);
    auto made = MediaItemHelper::recordPrintsWithoutRows(folder, firstStart);
    ASSERT_TRUE(made);
    EXPECT_TRUE(made->empty());
    EXPECT_EQ(MediaItemModel().rowCount(), 0);

    // That run made two prints; the booth stopped before the second had its row.
    auto stored = std::make_shared<MediaItemModel>();
    stored->filePath = writePrint(folder, "2026-02-01_12-00-00-000.jpg", firstStart.addSecs(60));
    stored->fileName = QFileInfo(stored->filePath).fileName();
    ASSERT_TRUE(stored->save());
    writePrint(folder, "2026-02-01_12-05-00-000.jpg", firstStart.addSecs(360));

    // The next start, with another album set and the disk reached through a link.
    defaults.set("ALBUM_NAME", std::string("Gala"));
    made = MediaItemHelper::recordPrintsWithoutRows(linked + "/prints", now);
    ASSERT_TRUE(made);
    ASSERT_EQ(made->size(), 1u);
    EXPECT_EQ((*made)[0]->fileName, "2026-02-01_12-05-00-000.jpg");
    EXPECT_EQ((*made)[0]->albumName, "Wedding") << "the album it was made in";
    EXPECT_EQ(MediaItemModel().rowCount(), 2);
}
