#include "core/MediaItemHelper.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <sys/stat.h>

#include <set>

#include "base/Log.h"
#include "base/NotificationCenter.h"
#include "core/Database.h"
#include "core/KeptRows.h"
#include "core/MainQueue.h"
#include "core/Notifications.h"
#include "core/UserDefaults.h"
#include "core/WrenUtils.h"

namespace {
// A failed first upload is started again at once within this time of its first start.
constexpr std::chrono::seconds kImmediateRestartWindow{10};
// An endpoint that refuses at once must not cause a burst of uploads.
constexpr int kMaxImmediateRestarts = 2;
constexpr std::size_t kPrintsWithoutRowsUploadedAtOnce = 4;
}

MediaItemHelper& MediaItemHelper::shared() {
    static MediaItemHelper* helper = new MediaItemHelper();
    return *helper;
}

MediaItemHelper::MediaItemHelper() {
    // A print whose row could only be stored late is cached with its id and
    // uploaded then, as any new print is.
    KeptRows::setPrintStoredHandler([this](std::shared_ptr<MediaItemModel> print) {
        storeInCache(*print);
        MainQueue::shared().post([print] { startUpload(print); });
    });
}

std::chrono::steady_clock::time_point MediaItemHelper::now() {
    Clock clock;
    {
        std::lock_guard lock(mutex_);
        clock = clock_;
    }
    return clock ? clock() : std::chrono::steady_clock::now();
}

void MediaItemHelper::setClock(Clock clock) {
    auto& h = shared();
    std::lock_guard lock(h.mutex_);
    h.clock_ = std::move(clock);
}

void MediaItemHelper::storeInCache(const MediaItemModel& item) {
    auto copy = std::make_shared<MediaItemModel>(item);
    std::lock_guard lock(mutex_);
    auto& cached = cache_[copy->fileName];
    // A row still waiting to be stored never hides the stored one.
    if (cached && cached->ID > 0 && copy->ID <= 0) return;
    cached = std::move(copy);
}

void MediaItemHelper::addNewlyCreatedMediaItemToCache(std::shared_ptr<MediaItemModel> item) {
    if (!item) return;
    shared().storeInCache(*item);
}

void MediaItemHelper::loadAllMediaItems() {
    // The database is read without the cache lock held; rows cached meanwhile
    // are newer than what the table gave, so they win.
    auto rows = MediaItemModel::loadAll();
    auto& h = shared();
    std::lock_guard lock(h.mutex_);
    for (auto& row : rows) h.cache_.emplace(row->fileName, row);
    h.loaded_ = true;
}

void MediaItemHelper::clearCache() {
    auto& h = shared();
    std::lock_guard lock(h.mutex_);
    h.cache_.clear();
    h.loaded_ = false;
}

std::shared_ptr<MediaItemModel> MediaItemHelper::getMediaItemForFileName(const QString& fileName) {
    auto& h = shared();
    bool loaded;
    {
        std::lock_guard lock(h.mutex_);
        loaded = h.loaded_;
    }
    if (!loaded) loadAllMediaItems();
    std::lock_guard lock(h.mutex_);
    auto it = h.cache_.find(fileName);
    if (it == h.cache_.end()) return nullptr;
    return std::make_shared<MediaItemModel>(*it->second);
}

void MediaItemHelper::setUploadStarter(UploadStarter starter) {
    auto& h = shared();
    std::lock_guard lock(h.mutex_);
    h.starter_ = std::move(starter);
}

void MediaItemHelper::startUpload(std::shared_ptr<MediaItemModel> item) {
    if (!item) return;
    if (item->ID <= 0) {
        spdlog::info("MediaItemHelper: the upload of {} starts once its row is stored",
                     item->fileName.toStdString());
        return;
    }
    // Uploaded already, or the retry service's to finish.
    if (item->uploadStatus != MediaUploadStatusUploading) return;
    auto& h = shared();
    UploadStarter starter;
    {
        std::lock_guard lock(h.mutex_);
        starter = h.starter_;
    }
    if (!starter) {
        spdlog::warn("MediaItemHelper: no uploader, media item {} is kept without upload", item->ID);
        item->uploadStatus = MediaUploadStatusKeptWithoutUpload;
        item->retryCount = 0;
        item->updateOnFailedToUpload();
        h.storeInCache(*item);
        return;
    }
    if (!WrenUtils::isInternetRechable()) {
        // Offline, the upload could only fail: the retry service sends it
        // once the internet is back, as it does every failed upload.
        spdlog::info("MediaItemHelper: offline, media item {} waits for the retry service", item->ID);
        item->uploadStatus = MediaUploadStatusImageFailed;
        item->retryCount = 0;
        item->updateOnFailedToUpload();
        h.storeInCache(*item);
        return;
    }
    auto started = h.now();
    {
        std::lock_guard lock(h.mutex_);
        if (!h.firstStart_.emplace(item->ID, started).second) return;  // under way
        h.restarts_[item->ID] = 0;
    }
    h.storeInCache(*item);
    starter(item, 0, &h);
}

bool MediaItemHelper::isUploadUnderWay(std::int64_t mediaID) {
    auto& h = shared();
    std::lock_guard lock(h.mutex_);
    return h.firstStart_.count(mediaID) > 0;
}

void MediaItemHelper::didUploadedImageToS3(std::shared_ptr<MediaItemModel> item) {
    if (!item) return;
    item->updateOnImageUploadSuccessToS3();
    std::lock_guard lock(mutex_);
    if (auto it = cache_.find(item->fileName); it != cache_.end()) {
        auto copy = std::make_shared<MediaItemModel>(*it->second);
        copy->imageURL = item->imageURL;
        it->second = std::move(copy);
    }
}

void MediaItemHelper::didUploadedThumbToS3(std::shared_ptr<MediaItemModel> item) {
    if (!item) return;
    item->updateOnThumbUploadSuccessToS3();
    std::lock_guard lock(mutex_);
    if (auto it = cache_.find(item->fileName); it != cache_.end()) {
        auto copy = std::make_shared<MediaItemModel>(*it->second);
        copy->thumbURL = item->thumbURL;
        it->second = std::move(copy);
    }
}

void MediaItemHelper::didUploadedToWrenTrackAPI(std::shared_ptr<MediaItemModel> item) {
    if (!item) return;
    item->updateOnWrenTrackURLUploadSuccess();
    storeInCache(*item);
    {
        std::lock_guard lock(mutex_);
        firstStart_.erase(item->ID);
        restarts_.erase(item->ID);
    }
    base::UserInfo info;
    info["UploadedItem"] = std::make_shared<MediaItemModel>(*item);
    base::NotificationCenter::defaultCenter().post(kMediaItemDidUploadedNotification, this, std::move(info));
}

void MediaItemHelper::didFailedToUploadModel(std::shared_ptr<MediaItemModel> item, int stage) {
    if (!item) return;
    auto current = now();
    UploadStarter starter;
    bool restart = false;
    {
        std::lock_guard lock(mutex_);
        auto it = firstStart_.find(item->ID);
        restart = it != firstStart_.end() && current - it->second < kImmediateRestartWindow &&
                  restarts_[item->ID] < kMaxImmediateRestarts;
        if (restart) ++restarts_[item->ID];
        starter = starter_;
    }
    if (restart && starter && WrenUtils::isInternetRechable()) {
        spdlog::info("MediaItemHelper: upload of media item {} failed at stage {}, starting it again", item->ID, stage);
        starter(item, stage == MediaUploadStatusRegistrationFailed ? MediaUploadStatusRegistrationFailed : 0, this);
        return;
    }
    {
        std::lock_guard lock(mutex_);
        firstStart_.erase(item->ID);
        restarts_.erase(item->ID);
    }
    if (item->uploadStatus != stage) {
        item->uploadStatus = stage;
        item->retryCount = 0;
    } else {
        item->retryCount += 1;
    }
    spdlog::warn("MediaItemHelper: upload of media item {} failed at stage {}, left to the retry service", item->ID,
                 stage);
    item->updateOnFailedToUpload();
    storeInCache(*item);
}

namespace {
// A file as the disk knows it, whatever path leads to it (a link, a disk
// mounted elsewhere).
using FileIdentity = std::pair<dev_t, ino_t>;
std::optional<FileIdentity> identityOf(const QString& path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0) return std::nullopt;
    return FileIdentity{st.st_dev, st.st_ino};
}
}  // namespace

std::optional<std::vector<std::shared_ptr<MediaItemModel>>> MediaItemHelper::recordPrintsWithoutRows(
    const QString& printsFolder, const QDateTime& thisRunStarted) {
    const auto runs = BoothRunModel::all();
    if (!runs) return std::nullopt;
    std::vector<std::shared_ptr<MediaItemModel>> made;
    // Only prints made since this database's booth last started can be its
    // own: older ones belong to an earlier event (or a database made anew),
    // and are never published under this one.
    if (!runs->empty()) {
        const BoothRun& last = runs->back();
        // Only the layout's own names: a copy with a QR code, a file being
        // written or one the operator put there is no session print.
        static const QRegularExpression printName(
            QStringLiteral(R"(^\d{4}-\d{2}-\d{2}_\d{2}-\d{2}-\d{2}-\d{3}(_\d+)?\.jpg$)"));
        std::vector<QFileInfo> prints;
        for (const QFileInfo& file : QDir(printsFolder).entryInfoList(QDir::Files | QDir::NoSymLinks, QDir::Name)) {
            const QDateTime written = file.lastModified();
            if (printName.match(file.fileName()).hasMatch() && written >= last.started && written <= thisRunStarted)
                prints.push_back(file);
        }
        if (!prints.empty()) {
            const auto stored = MediaItemModel::storedFilePaths();
            if (!stored) return std::nullopt;
            std::set<FileIdentity> recorded;
            for (const auto& paths : {std::vector<QString>(stored->begin(), stored->end()), KeptRows::keptPrintPaths()})
                for (const QString& path : paths)
                    if (auto identity = identityOf(path)) recorded.insert(*identity);
            for (const QFileInfo& file : prints) {
                // Spelled as the layout spells the path of the prints it makes.
                const QString path = printsFolder + QLatin1Char('/') + file.fileName();
                const auto identity = identityOf(path);
                if (!identity || !recorded.insert(*identity).second) continue;
                auto item = std::make_shared<MediaItemModel>();
                item->filePath = path;
                item->fileName = file.fileName();
                item->albumName = last.albumName;
                // A folder of many is not uploaded all at once: past the
                // first few, the retry service sends them one after another.
                if (made.size() >= kPrintsWithoutRowsUploadedAtOnce) item->uploadStatus = MediaUploadStatusImageFailed;
                spdlog::warn(
                    "MediaItemHelper: the print {} has no row (the booth stopped before it was stored); recording it",
                    path.toStdString());
                if (!KeptRows::saveOrKeep(item)) continue;  // recorded and uploaded once the database takes it
                addNewlyCreatedMediaItemToCache(item);
                if (item->uploadStatus == MediaUploadStatusUploading) made.push_back(item);
            }
        }
    }
    // Where this start cannot be recorded, the next one looks back further;
    // what was recorded meanwhile has its row and is left alone.
    const QString album = QString::fromStdString(UserDefaults::standard().string("ALBUM_NAME"));
    if (!BoothRunModel::record(BoothRun{thisRunStarted, album}))
        spdlog::error("MediaItemHelper: the start of this run cannot be recorded now: {}",
                      WrenDatabase::shared().lastError());
    return made;
}
