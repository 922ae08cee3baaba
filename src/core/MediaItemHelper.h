#pragma once
// The in-memory cache of media rows by file name, and the delegate of each
// print's first upload. Safe from any thread.
#include <QString>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "core/Models.h"
#include "core/WrenS3ManagerDelegate.h"

class MediaItemHelper : public WrenS3ManagerDelegate {
public:
    static MediaItemHelper& shared();

    static void addNewlyCreatedMediaItemToCache(std::shared_ptr<MediaItemModel> item);
    // The cached row of that file name (the cache is filled from the media table
    // on first use), or null.
    static std::shared_ptr<MediaItemModel> getMediaItemForFileName(const QString& fileName);
    static void loadAllMediaItems();

    // Starts the upload of a new print with this helper as delegate. The
    // uploader is installed by the sharing services at start-up (it lives above
    // the core); without one the row is kept without upload.
    // stage: 0 the whole upload, 4 registration only.
    using UploadStarter = std::function<void(std::shared_ptr<MediaItemModel>, int stage, WrenS3ManagerDelegate*)>;
    static void setUploadStarter(UploadStarter starter);
    static void startUpload(std::shared_ptr<MediaItemModel> item);

    void didUploadedImageToS3(std::shared_ptr<MediaItemModel> item) override;
    void didUploadedThumbToS3(std::shared_ptr<MediaItemModel> item) override;
    void didUploadedToWrenTrackAPI(std::shared_ptr<MediaItemModel> item) override;
    void didFailedToUploadModel(std::shared_ptr<MediaItemModel> item, int stage) override;

private:
    std::mutex mutex_;
    bool loaded_ = false;
    std::map<QString, std::shared_ptr<MediaItemModel>> cache_;
    std::map<std::int64_t, std::chrono::steady_clock::time_point> firstStart_;
    UploadStarter starter_;
};
