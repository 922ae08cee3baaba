#pragma once
// The in-memory cache of media rows by file name, and the delegate of each
// print's first upload. Safe from any thread.
#include <QDateTime>
#include <QString>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "core/Models.h"
#include "core/WrenS3ManagerDelegate.h"

class MediaItemHelper : public WrenS3ManagerDelegate {
public:
    static MediaItemHelper& shared();

    // The cache keeps its own copies: a caller's row and the cached one never
    // share fields, so readers on other threads never see a half-written row.
    static void addNewlyCreatedMediaItemToCache(std::shared_ptr<MediaItemModel> item);
    // A copy of the cached row of that file name (the cache is filled from the
    // media table on first use), or null.
    static std::shared_ptr<MediaItemModel> getMediaItemForFileName(const QString& fileName);
    static void loadAllMediaItems();
    // Forgets every cached row (the next read fills the cache again).
    static void clearCache();
    // The clock of the immediate-restart rule (tests replace it).
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    static void setClock(Clock clock);

    // Starts the upload of a new print with this helper as delegate. The
    // uploader is installed by the sharing services at start-up (it lives above
    // the core); without one the row is kept without upload.
    // stage: 0 the whole upload, 4 registration only.
    using UploadStarter = std::function<void(std::shared_ptr<MediaItemModel>, int stage, WrenS3ManagerDelegate*)>;
    static void setUploadStarter(UploadStarter starter);
    static void startUpload(std::shared_ptr<MediaItemModel> item);
    // A row that is not stored yet (the database busy) starts its upload once
    // it is; a row whose upload is under way, done or left to the retry
    // service is not started again.
    // Whether the first upload of that row is under way in this run.
    static bool isUploadUnderWay(std::int64_t mediaID);

    // Gives every print of `printsFolder` that this database's booth made
    // since it last started, before `thisRunStarted`, and that has no row
    // (the booth stopped between the file and its row) a row in the album
    // of that run, and records this start. Rows are matched by file, not by
    // the spelling of their path. Returns those whose upload is to start now
    // (the first few; the rest are left to the retry service); nullopt when
    // the table cannot be read now. Prints whose row is kept for later are
    // left to that.
    static std::optional<std::vector<std::shared_ptr<MediaItemModel>>> recordPrintsWithoutRows(
        const QString& printsFolder, const QDateTime& thisRunStarted);

    void didUploadedImageToS3(std::shared_ptr<MediaItemModel> item) override;
    void didUploadedThumbToS3(std::shared_ptr<MediaItemModel> item) override;
    void didUploadedToWrenTrackAPI(std::shared_ptr<MediaItemModel> item) override;
    void didFailedToUploadModel(std::shared_ptr<MediaItemModel> item, int stage) override;

private:
    MediaItemHelper();
    void storeInCache(const MediaItemModel& item);
    std::chrono::steady_clock::time_point now();
    std::mutex mutex_;
    Clock clock_;
    bool loaded_ = false;
    std::map<QString, std::shared_ptr<MediaItemModel>> cache_;
    std::map<std::int64_t, std::chrono::steady_clock::time_point> firstStart_;
    std::map<std::int64_t, int> restarts_;  // immediate restarts made since the first start
    UploadStarter starter_;
};
