#pragma once
// Row models of the "media" and "share" tables. Every statement goes through
// the shared database queue, so these may be used from any thread.
#include <QDateTime>
#include <QList>
#include <QString>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "core/SharingType.h"

class WrenBaseModel {
public:
    virtual ~WrenBaseModel() = default;
    virtual QString tableName() const = 0;
    virtual QString idColumn() const { return QStringLiteral("id"); }
    // Deletes the row with that id from this model's table.
    bool removeRecordWithID(std::int64_t rowID) const;
    // Number of rows in this model's table (-1 on a database error).
    std::int64_t rowCount() const;
};

// One print image with its upload state.
class MediaItemModel : public WrenBaseModel {
public:
    std::int64_t ID = 0;
    QString fileName;   // last path component of the print
    QString filePath;   // full path of the print image
    QString albumName;
    QString imageURL;   // public address of the uploaded print
    QString thumbURL;   // public address of its thumbnail
    QString uploadURL;  // short public address from the registration
    int uploadStatus = MediaUploadStatusUploading;
    int retryCount = 0;
    QDateTime dateCreated;
    // The upload stage that last went out (0 none) and when; a registration
    // still marked here got no answer that the booth knows of.
    int stageLastTried = 0;
    QDateTime dateLastTried;

    QString tableName() const override { return QStringLiteral("media"); }

    // Inserts the row (setting ID and dateCreated); false on a database error.
    bool save();
    // Writes every field to the row with this ID.
    bool update();
    static std::shared_ptr<MediaItemModel> loadMediaItemWithID(std::int64_t mediaID);
    // The newest row of that print file, or null.
    static std::shared_ptr<MediaItemModel> loadMediaItemWithFilePath(const QString& filePath);
    // The file paths of all rows; nothing on a database error.
    static std::optional<std::set<QString>> storedFilePaths();
    // Whether this run of the booth made the row with that id (in the
    // database open now): such a row is never an earlier run's leftover.
    static bool madeByThisRun(std::int64_t mediaID);
    static std::vector<std::shared_ptr<MediaItemModel>> loadAll();
    // Returns once the upload progress handed over so far has been written,
    // or kept where the table could not take it.
    static void finishStoringProgress();
    // Rows whose uploadStatus is 2, 3 or 4, newest first by creation date;
    // rows without a file path are left out with a log line.
    static std::vector<std::shared_ptr<MediaItemModel>> getAllEligibleRecordsForRetry();
    // The upload fields are written on a queue of their own, never waiting
    // on the caller's thread; reads see them at once.
    void updateOnImageUploadSuccessToS3();
    void updateOnThumbUploadSuccessToS3();
    void updateOnWrenTrackURLUploadSuccess();  // uploadURL, status 1, retry count 0
    void updateOnFailedToUpload();             // uploadStatus and retryCount
    // Ahead of an upload stage going out: stores what the upload of that row
    // has reached so far and that `stage` goes now, waiting (up to
    // kUploadRecordPatience) while another program holds the database. False
    // when the table cannot take it: the stage must not go then, or after a
    // restart the booth would not know it went. Blocking: never on the
    // interface thread.
    static constexpr std::chrono::minutes kUploadRecordPatience{2};
    static bool recordUploadAttempt(std::int64_t mediaID, int stage, const QDateTime& when);
};

// The starts of the booth on this database, each with the album in force then.
struct BoothRun {
    QDateTime started;
    QString albumName;
};
class BoothRunModel {
public:
    // Oldest first; nothing on a database error.
    static std::optional<std::vector<BoothRun>> all();
    static bool record(const BoothRun& run);
};

// One share request of a media item.
class SharingModel : public WrenBaseModel {
public:
    std::int64_t ID = 0;
    int shareType = SharingTypeEmail;
    QString toField;
    QString filePath;
    QDateTime dateEntered;
    QDateTime dateSent;       // null when not sent
    QDateTime dateLastTried;  // null when never tried
    QString lastError;
    int done = 0;             // 0 pending, 1 done
    std::int64_t media_id = 0;

    QString tableName() const override { return QStringLiteral("share"); }

    bool save();    // inserts, setting ID
    // Inserts the row unless one of the same type, recipient, photo and
    // entry time is there already (stored before, by a run that stopped
    // before it could forget the row); true in both cases.
    bool saveOnce();
    // Stores a mark on a pending row that its request went out whole and
    // its answer is awaited: what the row says if the booth stops before
    // the answer comes.
    bool recordAwaitingAnswer(const QString& mark) const;
    bool update();  // writes every field to the row with this ID
    // Stores `when` as the row's dateLastTried, ahead of a send, and takes it
    // on; false on a database error. `stillPending` (when given) is false
    // when the row is gone or done meanwhile.
    bool recordAttempt(const QDateTime& when, bool* stillPending = nullptr);
    static std::vector<std::shared_ptr<SharingModel>> getAllSharingRecordsWaitingToSend();
    static std::shared_ptr<SharingModel> loadWithID(std::int64_t rowID);
};

struct SharingStats {
    std::int64_t total = 0;
    std::int64_t pending = 0;
    QString lastError;
    std::int64_t totalToday = 0;
};

class SharingStatsInfoModel {
public:
    // For each code of WrenUtils::getAllSharingType().
    static std::map<int, SharingStats> getAllStats();
    // Deletes the rows that are done; pending shares are kept.
    static bool removeAllSharesExceptPending();
    static bool retireAllPendingItemsForSharingType(int sharingType);
    // "flashwren_shares.csv" in the data folder, RFC 4180 quoting.
    static bool generateCSVOfAllSharing();
    static QString csvPath();
};
