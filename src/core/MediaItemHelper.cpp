#include "core/MediaItemHelper.h"

#include "base/Log.h"
#include "base/NotificationCenter.h"
#include "core/Notifications.h"
#include "core/WrenUtils.h"

namespace {
// A failed first upload is started again at once within this time of its first start.
constexpr std::chrono::seconds kImmediateRestartWindow{10};
// An endpoint that refuses at once must not cause a burst of uploads.
constexpr int kMaxImmediateRestarts = 2;
}

MediaItemHelper& MediaItemHelper::shared() {
    static MediaItemHelper* helper = new MediaItemHelper();
    return *helper;
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
    cache_[copy->fileName] = std::move(copy);
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
        h.firstStart_[item->ID] = started;
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
