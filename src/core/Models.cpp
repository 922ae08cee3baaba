#include "core/Models.h"

#include <QFileInfo>
#include <QTimeZone>

#include "base/Files.h"
#include "base/Log.h"
#include "core/Database.h"
#include "core/WrenUtils.h"

using Value = WrenDatabase::Value;
using Row = WrenDatabase::Row;

namespace {

WrenDatabase& db() { return WrenDatabase::shared(); }

Value text(const QString& s) { return s.toStdString(); }

// Dates are stored as UTC ISO 8601 text with milliseconds, which sorts in time order.
Value date(const QDateTime& d) {
    if (!d.isValid()) return nullptr;
    return d.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzzZ")).toStdString();
}

QString asText(const Value& v) {
    if (auto* s = std::get_if<std::string>(&v)) return QString::fromStdString(*s);
    if (auto* i = std::get_if<std::int64_t>(&v)) return QString::number(*i);
    if (auto* d = std::get_if<double>(&v)) return QString::number(*d);
    return {};
}

std::int64_t asInt(const Value& v) {
    if (auto* i = std::get_if<std::int64_t>(&v)) return *i;
    if (auto* d = std::get_if<double>(&v)) return static_cast<std::int64_t>(*d);
    if (auto* s = std::get_if<std::string>(&v)) return std::strtoll(s->c_str(), nullptr, 10);
    return 0;
}

QDateTime asDate(const Value& v) {
    QString s = asText(v);
    if (s.isEmpty()) return {};
    QDateTime d = QDateTime::fromString(s, Qt::ISODateWithMs);
    if (!d.isValid()) {
        d = QDateTime::fromString(s, QStringLiteral("yyyy-MM-dd HH:mm:ss"));
        d.setTimeZone(QTimeZone::utc());
    }
    return d;
}

const char* kMediaColumns =
    "id, file_name, file_path, album_name, image_url, thumb_url, upload_url, upload_status, retry_count, date_created";

std::shared_ptr<MediaItemModel> mediaFromRow(const Row& r) {
    auto m = std::make_shared<MediaItemModel>();
    m->ID = asInt(r[0]);
    m->fileName = asText(r[1]);
    m->filePath = asText(r[2]);
    m->albumName = asText(r[3]);
    m->imageURL = asText(r[4]);
    m->thumbURL = asText(r[5]);
    m->uploadURL = asText(r[6]);
    m->uploadStatus = static_cast<int>(asInt(r[7]));
    m->retryCount = static_cast<int>(asInt(r[8]));
    m->dateCreated = asDate(r[9]);
    return m;
}

std::vector<std::shared_ptr<MediaItemModel>> loadMedia(const std::string& where, const std::vector<Value>& args = {}) {
    std::vector<std::shared_ptr<MediaItemModel>> out;
    auto rows = db().query(std::string("SELECT ") + kMediaColumns + " FROM media " + where, args);
    if (!rows) return out;
    for (auto& r : *rows) out.push_back(mediaFromRow(r));
    return out;
}

const char* kShareColumns =
    "id, share_type, to_field, file_path, date_entered, date_sent, date_last_tried, last_error, done, media_id";

std::shared_ptr<SharingModel> shareFromRow(const Row& r) {
    auto s = std::make_shared<SharingModel>();
    s->ID = asInt(r[0]);
    s->shareType = static_cast<int>(asInt(r[1]));
    s->toField = asText(r[2]);
    s->filePath = asText(r[3]);
    s->dateEntered = asDate(r[4]);
    s->dateSent = asDate(r[5]);
    s->dateLastTried = asDate(r[6]);
    s->lastError = asText(r[7]);
    s->done = static_cast<int>(asInt(r[8]));
    s->media_id = asInt(r[9]);
    return s;
}

std::vector<std::shared_ptr<SharingModel>> loadShares(const std::string& where, const std::vector<Value>& args = {}) {
    std::vector<std::shared_ptr<SharingModel>> out;
    auto rows = db().query(std::string("SELECT ") + kShareColumns + " FROM share " + where, args);
    if (!rows) return out;
    for (auto& r : *rows) out.push_back(shareFromRow(r));
    return out;
}

// RFC 4180: a field holding a comma, a quote or a line break is quoted, its quotes doubled.
QString csvField(const QString& s) {
    if (!s.contains(QLatin1Char(',')) && !s.contains(QLatin1Char('"')) && !s.contains(QLatin1Char('\n')) &&
        !s.contains(QLatin1Char('\r')))
        return s;
    QString q = s;
    q.replace(QLatin1String("\""), QLatin1String("\"\""));
    return QLatin1Char('"') + q + QLatin1Char('"');
}

}  // namespace

// ---- WrenBaseModel

bool WrenBaseModel::removeRecordWithID(std::int64_t rowID) const {
    return db().execute("DELETE FROM " + tableName().toStdString() + " WHERE " + idColumn().toStdString() + " = ?",
                        {rowID});
}

std::int64_t WrenBaseModel::rowCount() const {
    auto rows = db().query("SELECT COUNT(*) FROM " + tableName().toStdString());
    if (!rows || rows->empty()) return -1;
    return asInt(rows->front()[0]);
}

// ---- MediaItemModel

bool MediaItemModel::save() {
    if (!dateCreated.isValid()) dateCreated = QDateTime::currentDateTimeUtc();
    std::int64_t id = db().insert(
        "INSERT INTO media (file_name, file_path, album_name, image_url, thumb_url, upload_url, upload_status, "
        "retry_count, date_created) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
        {text(fileName), text(filePath), text(albumName), text(imageURL), text(thumbURL), text(uploadURL),
         std::int64_t{uploadStatus}, std::int64_t{retryCount}, date(dateCreated)});
    if (id < 0) return false;
    ID = id;
    return true;
}

bool MediaItemModel::update() {
    return db().execute(
        "UPDATE media SET file_name = ?, file_path = ?, album_name = ?, image_url = ?, thumb_url = ?, upload_url = ?, "
        "upload_status = ?, retry_count = ?, date_created = ? WHERE id = ?",
        {text(fileName), text(filePath), text(albumName), text(imageURL), text(thumbURL), text(uploadURL),
         std::int64_t{uploadStatus}, std::int64_t{retryCount}, date(dateCreated), ID});
}

std::shared_ptr<MediaItemModel> MediaItemModel::loadMediaItemWithID(std::int64_t mediaID) {
    auto rows = loadMedia("WHERE id = ?", {mediaID});
    return rows.empty() ? nullptr : rows.front();
}

std::vector<std::shared_ptr<MediaItemModel>> MediaItemModel::loadAll() { return loadMedia("ORDER BY id"); }

std::vector<std::shared_ptr<MediaItemModel>> MediaItemModel::getAllEligibleRecordsForRetry() {
    auto rows = loadMedia("WHERE upload_status IN (2, 3, 4) ORDER BY date_created DESC, id DESC");
    std::vector<std::shared_ptr<MediaItemModel>> out;
    for (auto& r : rows) {
        if (r->filePath.isEmpty()) {
            spdlog::warn("MediaItemModel: media item {} has no file path, it is not retried", r->ID);
            continue;
        }
        out.push_back(std::move(r));
    }
    return out;
}

void MediaItemModel::updateOnImageUploadSuccessToS3() {
    if (!db().execute("UPDATE media SET image_url = ? WHERE id = ?", {text(imageURL), ID}))
        spdlog::error("MediaItemModel: unable to store the image address of media item {}", ID);
}

void MediaItemModel::updateOnThumbUploadSuccessToS3() {
    if (!db().execute("UPDATE media SET thumb_url = ? WHERE id = ?", {text(thumbURL), ID}))
        spdlog::error("MediaItemModel: unable to store the thumbnail address of media item {}", ID);
}

void MediaItemModel::updateOnWrenTrackURLUploadSuccess() {
    uploadStatus = MediaUploadStatusDone;
    retryCount = 0;
    if (!db().execute("UPDATE media SET upload_url = ?, upload_status = ?, retry_count = ? WHERE id = ?",
                      {text(uploadURL), std::int64_t{uploadStatus}, std::int64_t{retryCount}, ID}))
        spdlog::error("MediaItemModel: unable to store the short address of media item {}", ID);
}

void MediaItemModel::updateOnFailedToUpload() {
    if (!db().execute("UPDATE media SET upload_status = ?, retry_count = ? WHERE id = ?",
                      {std::int64_t{uploadStatus}, std::int64_t{retryCount}, ID}))
        spdlog::error("MediaItemModel: unable to store the upload status of media item {}", ID);
}

// ---- SharingModel

bool SharingModel::save() {
    if (!dateEntered.isValid()) dateEntered = QDateTime::currentDateTimeUtc();
    std::int64_t id = db().insert(
        "INSERT INTO share (share_type, to_field, file_path, date_entered, date_sent, date_last_tried, last_error, "
        "done, media_id) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
        {std::int64_t{shareType}, text(toField), text(filePath), date(dateEntered), date(dateSent),
         date(dateLastTried), text(lastError), std::int64_t{done}, media_id});
    if (id < 0) return false;
    ID = id;
    return true;
}

bool SharingModel::update() {
    return db().execute(
        "UPDATE share SET share_type = ?, to_field = ?, file_path = ?, date_entered = ?, date_sent = ?, "
        "date_last_tried = ?, last_error = ?, done = ?, media_id = ? WHERE id = ?",
        {std::int64_t{shareType}, text(toField), text(filePath), date(dateEntered), date(dateSent),
         date(dateLastTried), text(lastError), std::int64_t{done}, media_id, ID});
}

std::vector<std::shared_ptr<SharingModel>> SharingModel::getAllSharingRecordsWaitingToSend() {
    return loadShares("WHERE done = 0 ORDER BY id ASC");
}

std::shared_ptr<SharingModel> SharingModel::loadWithID(std::int64_t rowID) {
    auto rows = loadShares("WHERE id = ?", {rowID});
    return rows.empty() ? nullptr : rows.front();
}

// ---- SharingStatsInfoModel

std::map<int, SharingStats> SharingStatsInfoModel::getAllStats() {
    std::map<int, SharingStats> stats;
    for (int type : WrenUtils::getAllSharingType()) stats[type] = SharingStats{};

    QDateTime midnight(QDate::currentDate(), QTime(0, 0));
    auto counts = db().query(
        "SELECT share_type, COUNT(*), "
        "SUM(CASE WHEN done = 0 THEN 1 ELSE 0 END), "
        "SUM(CASE WHEN date_sent IS NOT NULL AND date_sent >= ? THEN 1 ELSE 0 END) "
        "FROM share GROUP BY share_type",
        {date(midnight)});
    if (counts) {
        for (auto& r : *counts) {
            auto it = stats.find(static_cast<int>(asInt(r[0])));
            if (it == stats.end()) continue;
            it->second.total = asInt(r[1]);
            it->second.pending = asInt(r[2]);
            it->second.totalToday = asInt(r[3]);
        }
    }
    // The error of the pending row tried last, per type.
    auto errors = db().query(
        "SELECT share_type, last_error FROM share WHERE done = 0 AND last_error IS NOT NULL AND last_error <> '' "
        "ORDER BY date_last_tried DESC, id DESC");
    if (errors) {
        for (auto& r : *errors) {
            auto it = stats.find(static_cast<int>(asInt(r[0])));
            if (it != stats.end() && it->second.lastError.isEmpty()) it->second.lastError = asText(r[1]);
        }
    }
    return stats;
}

bool SharingStatsInfoModel::removeAllSharesExceptPending() {
    // Only rows that are done: guests' queued shares must survive a statistics reset.
    auto& d = db();
    if (d.execute("DELETE FROM share WHERE done <> 0")) {
        spdlog::info("SharingStatsInfo: Removed all items from sharing table...");
        return true;
    }
    spdlog::error("SharingStatsInfo: Unable to remove items from sharing table {}", d.lastError());
    return false;
}

bool SharingStatsInfoModel::retireAllPendingItemsForSharingType(int sharingType) {
    auto& d = db();
    if (d.execute("DELETE FROM share WHERE share_type = ? AND done = 0", {std::int64_t{sharingType}})) {
        spdlog::info("SharingStatsInfo: Removed pending items for given sharing type...");
        return true;
    }
    spdlog::error("SharingStatsInfo: Unable to remove pending items, reason {}", d.lastError());
    return false;
}

QString SharingStatsInfoModel::csvPath() { return WrenUtils::getDataDirectory() + QStringLiteral("flashwren_shares.csv"); }

bool SharingStatsInfoModel::generateCSVOfAllSharing() {
    auto rows = loadShares("WHERE done = 1 ORDER BY date_entered ASC, id ASC");
    auto names = WrenUtils::getSharingTypeMapping();
    QString csv = QStringLiteral("Date,Filename,Directory,Type,To\r\n");
    for (auto& r : rows) {
        QDateTime when = r->dateSent.isValid() ? r->dateSent : r->dateEntered;
        QFileInfo fi(r->filePath);
        auto name = names.find(r->shareType);
        QStringList fields{
            when.isValid() ? when.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) : QString(),
            fi.fileName(),
            r->filePath.isEmpty() ? QString() : fi.path(),
            name != names.end() ? name->second : QString::number(r->shareType),
            r->toField,
        };
        for (auto& f : fields) f = csvField(f);
        csv += fields.join(QLatin1Char(',')) + QStringLiteral("\r\n");
    }
    std::string error;
    if (!base::writeFileAtomically(csvPath().toStdString(), csv.toStdString(), &error)) {
        spdlog::error("SharingStatsInfo: unable to write the share statistics: {}", error);
        return false;
    }
    return true;
}
