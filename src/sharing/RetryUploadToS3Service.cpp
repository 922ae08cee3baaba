#include "sharing/RetryUploadToS3Service.h"

#include <QDir>
#include <QFileInfo>

#include "base/Log.h"
#include "core/MediaItemHelper.h"
#include "core/WrenUtils.h"
#include "sharing/SharingRuntime.h"
#include "sharing/WrenS3Manager.h"

namespace {
RetryUploadToS3Service* gService = nullptr;

// The stage an interrupted upload had reached, by the addresses it has.
int stageReached(const MediaItemModel& item) {
    if (item.imageURL.isEmpty()) return MediaUploadStatusImageFailed;
    if (item.thumbURL.isEmpty()) return MediaUploadStatusThumbFailed;
    return MediaUploadStatusRegistrationFailed;
}

// Where a failed row goes on: at its failed stage, but never before a
// stage whose address it already holds (its status may be older than its
// addresses where the database could not take the newer one), and from the
// start when it lacks the print's address.
int stageToResume(const MediaItemModel& item) {
    if (item.imageURL.isEmpty()) return MediaUploadStatusImageFailed;
    if (item.thumbURL.isEmpty())
        return item.uploadStatus == MediaUploadStatusRegistrationFailed ? MediaUploadStatusRegistrationFailed
                                                                         : MediaUploadStatusThumbFailed;
    return MediaUploadStatusRegistrationFailed;
}
}  // namespace

void RetryUploadToS3Service::initS3RetryService() {
    if (gService) return;
    gService = new RetryUploadToS3Service();
    // Left over from a run that quit or crashed mid-upload; nothing of this
    // run is uploading yet.
    SharingRuntime::backgroundExecutor().post([] {
        int marked = markInterruptedUploadsFailed();
        if (marked > 0) spdlog::info("RetryUploadToS3Service: {} interrupted uploads will be retried", marked);
    });
    gService->scheduleRetryServiceForNextExecution();
}

RetryUploadToS3Service* RetryUploadToS3Service::shared() { return gService; }

int RetryUploadToS3Service::markInterruptedUploadsFailed() {
    int marked = 0;
    for (const auto& item : MediaItemModel::loadAll()) {
        if (item->uploadStatus != MediaUploadStatusUploading) continue;
        // This run's own: under way, or about to start (a row stored late).
        if (MediaItemHelper::isUploadUnderWay(item->ID) || MediaItemModel::madeByThisRun(item->ID)) continue;
        item->uploadStatus = stageReached(*item);
        item->retryCount = 0;
        item->updateOnFailedToUpload();
        ++marked;
    }
    return marked;
}

bool RetryUploadToS3Service::isRunScheduled() const { return SharingRuntime::scheduler().isPending(runTimer_); }

void RetryUploadToS3Service::scheduleRetryServiceForNextExecution() {
    auto& scheduler = SharingRuntime::scheduler();
    if (runTimer_) scheduler.cancel(runTimer_);
    runTimer_ = scheduler.after(kRunInterval, &SharingRuntime::mainExecutor(), [this] {
        runTimer_ = 0;
        startRetryToS3();
    });
}

void RetryUploadToS3Service::startRetryToS3() {
    if (running_) return;
    if (!WrenUtils::isInternetRechable()) {
        spdlog::error("RetryUploadToS3Service: Not retrying as Internet connection appeares to be offline.");
        scheduleRetryServiceForNextExecution();
        return;
    }
    running_ = true;
    SharingRuntime::backgroundExecutor().post([this] {
        auto rows = MediaItemModel::getAllEligibleRecordsForRetry();
        SharingRuntime::mainExecutor().post([this, rows = std::move(rows)]() mutable {
            itemsForRetry_ = std::move(rows);
            if (itemsForRetry_.empty()) {
                running_ = false;
                scheduleRetryServiceForNextExecution();
                return;
            }
            currentRetryIndex_ = 0;
            uploadMediaItem(itemsForRetry_[0]);
        });
    });
}

bool RetryUploadToS3Service::isCurrentItem(const std::shared_ptr<MediaItemModel>& item) const {
    return running_ && currentRetryIndex_ >= 0 && currentRetryIndex_ < static_cast<long>(itemsForRetry_.size()) &&
           itemsForRetry_[currentRetryIndex_] == item;
}

void RetryUploadToS3Service::uploadMediaItem(std::shared_ptr<MediaItemModel> item) {
    spdlog::info("RetryUploadService: uploading item from index {}", currentRetryIndex_);
    const QFileInfo file(item->filePath);
    if (!file.exists()) {
        if (file.absoluteDir().exists()) {
            spdlog::error("RetryUploadService.uploadMediaItem: file ({}) no longer available on file system so "
                          "removing entry from table as well..",
                          item->filePath.toStdString());
            item->removeRecordWithID(item->ID);
        } else {
            // The prints folder itself is gone (an unmounted disk, a renamed
            // folder): the row is kept for when it comes back.
            spdlog::warn("RetryUploadService: the folder of {} is not available, keeping the row",
                         item->filePath.toStdString());
        }
        SharingRuntime::mainExecutor().post([this] { startNextUploadIfAvaialble(); });
        return;
    }
    const std::uint64_t attempt = ++attempt_;
    rowTimer_ = SharingRuntime::scheduler().after(kRowLimit, &SharingRuntime::mainExecutor(), [this, item, attempt] {
        if (attempt != attempt_ || !isCurrentItem(item)) return;
        spdlog::error("RetryUploadService: the upload of {} did not finish in time", item->filePath.toStdString());
        int stage = item->uploadStatus;
        if (stage < MediaUploadStatusImageFailed || stage > MediaUploadStatusRegistrationFailed)
            stage = MediaUploadStatusImageFailed;
        didFailedToUploadModel(item, stage);
    });

    auto manager = WrenS3Manager::create();
    manager->setDelegate(this);
    switch (stageToResume(*item)) {
    case MediaUploadStatusThumbFailed:
        return manager->uploadMediaToAmazon(WrenS3Manager::thumbnailPathFor(*item), true, item);
    case MediaUploadStatusRegistrationFailed:
        return manager->didUploadedMediaToS3(item);
    default:
        return manager->startUplodingMediaToAWS(item);
    }
}

void RetryUploadToS3Service::startNextUploadIfAvaialble() {
    SharingRuntime::scheduler().cancel(rowTimer_);
    rowTimer_ = 0;
    ++attempt_;
    ++currentRetryIndex_;
    if (currentRetryIndex_ >= static_cast<long>(itemsForRetry_.size())) {
        spdlog::info("RetryUploadToS3Service: current retry execution finished...");
        running_ = false;
        scheduleRetryServiceForNextExecution();
        return;
    }
    spdlog::info("RetryUploadToS3Service: Retrying next MediaItem for upload");
    uploadMediaItem(itemsForRetry_[currentRetryIndex_]);
}

void RetryUploadToS3Service::didUploadedImageToS3(std::shared_ptr<MediaItemModel> item) {
    if (!isCurrentItem(item)) return;
    item->updateOnImageUploadSuccessToS3();
}

void RetryUploadToS3Service::didUploadedThumbToS3(std::shared_ptr<MediaItemModel> item) {
    if (!isCurrentItem(item)) return;
    item->updateOnThumbUploadSuccessToS3();
}

void RetryUploadToS3Service::didUploadedToWrenTrackAPI(std::shared_ptr<MediaItemModel> item) {
    if (!isCurrentItem(item)) return;
    item->uploadStatus = MediaUploadStatusDone;
    item->retryCount = 0;
    item->updateOnWrenTrackURLUploadSuccess();
    MediaItemHelper::addNewlyCreatedMediaItemToCache(item);
    startNextUploadIfAvaialble();
}

void RetryUploadToS3Service::didFailedToUploadModel(std::shared_ptr<MediaItemModel> item, int stage) {
    if (!isCurrentItem(item)) return;
    if (item->uploadStatus != stage) {
        item->uploadStatus = stage;
        item->retryCount = 0;
    } else {
        item->retryCount += 1;
    }
    item->updateOnFailedToUpload();
    startNextUploadIfAvaialble();
}
