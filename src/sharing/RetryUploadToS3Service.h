#pragma once
// Once a minute, while the internet is reachable, resumes every print whose
// upload failed (status 2, 3 or 4), one after another, each at its failed
// stage. Everything runs on the interface thread except the uploads and the
// database reads.
#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "base/Scheduler.h"
#include "core/Models.h"
#include "core/WrenS3ManagerDelegate.h"

class RetryUploadToS3Service : public WrenS3ManagerDelegate {
public:
    static constexpr std::chrono::seconds kRunInterval{60};
    // A row that has not finished by then fails at its stage, so a run always ends.
    static constexpr std::chrono::seconds kRowLimit{300};

    // Called once at start-up on the interface thread: rows left "uploading"
    // by an earlier run are marked failed, and the first run is scheduled.
    static void initS3RetryService();
    static RetryUploadToS3Service* shared();  // null before initS3RetryService

    void scheduleRetryServiceForNextExecution();
    void startRetryToS3();

    const std::vector<std::shared_ptr<MediaItemModel>>& itemsForRetry() const { return itemsForRetry_; }
    void setItemsForRetry(std::vector<std::shared_ptr<MediaItemModel>> items) { itemsForRetry_ = std::move(items); }
    bool isRunScheduled() const;
    bool isRunning() const { return running_; }

    void didUploadedImageToS3(std::shared_ptr<MediaItemModel> item) override;
    void didUploadedThumbToS3(std::shared_ptr<MediaItemModel> item) override;
    void didUploadedToWrenTrackAPI(std::shared_ptr<MediaItemModel> item) override;
    void didFailedToUploadModel(std::shared_ptr<MediaItemModel> item, int stage) override;

    // Marks rows left "uploading" (status 0) by an earlier run as failed at
    // the stage they had reached; returns how many.
    static int markInterruptedUploadsFailed();

private:
    RetryUploadToS3Service() = default;
    void uploadMediaItem(std::shared_ptr<MediaItemModel> item);
    void startNextUploadIfAvaialble();
    bool isCurrentItem(const std::shared_ptr<MediaItemModel>& item) const;

    std::vector<std::shared_ptr<MediaItemModel>> itemsForRetry_;
    long currentRetryIndex_ = 0;
    bool running_ = false;
    std::uint64_t attempt_ = 0;  // the row in flight; callbacks of a given-up row are ignored
    base::Scheduler::TimerId runTimer_ = 0;
    base::Scheduler::TimerId rowTimer_ = 0;
};
