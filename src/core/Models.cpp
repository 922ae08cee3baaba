#include "core/Models.h"

#include <QFileInfo>
#include <QTimeZone>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>
#include <mutex>
#include <optional>
#include <set>

#include "base/Executor.h"
#include "base/Files.h"
#include "base/Log.h"
#include "base/Text.h"
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

// Text read as strtoll reads it: the leading number, and whether anything
// but blanks follows it (or no number comes at all).
struct TextNumber {
    long long value = 0;
    bool overflow = false;
    bool whole = false;
};
TextNumber readTextNumber(const std::string& s) {
    char* end = nullptr;
    errno = 0;
    TextNumber t;
    t.value = std::strtoll(s.c_str(), &end, 10);
    t.overflow = errno == ERANGE;
    t.whole = end != s.c_str() && base::trimView(end).empty();
    return t;
}

// Stored text as a log line may show it: the first 40 bytes, with control
// bytes (a blob's NUL among them) and backslashes escaped.
std::string describe(const Value& v) {
    if (auto* s = std::get_if<std::string>(&v)) {
        std::string out = "\"";
        for (unsigned char c : s->substr(0, 40)) {
            if (c < 0x20 || c == 0x7F || c == '\\') out += fmt::format("\\x{:02x}", c);
            else out += static_cast<char>(c);
        }
        return out + "\"";
    }
    if (auto* d = std::get_if<double>(&v)) return fmt::format("{}", *d);
    if (auto* i = std::get_if<std::int64_t>(&v)) return std::to_string(*i);
    return "NULL";
}

// The file of the shared database: a warning is said once per database.
std::string databaseFile() {
    auto rows = db().query("PRAGMA database_list");
    if (rows)
        for (auto& r : *rows)
            if (r.size() >= 3 && asText(r[1]) == QLatin1String("main")) return asText(r[2]).toStdString();
    return {};
}

// Logs `line` once per run and database: the share queue reads its rows every
// 20 seconds, and a damaged value would otherwise be named at each read, all
// event long. Bounded, so that a database full of damage cannot grow it
// without end; past the bound it says so once and names no more.
void warnOnce(const std::string& line) {
    static std::mutex mutex;
    static std::set<std::string> said;
    constexpr std::size_t kMostRemembered = 4096;
    const std::string key = databaseFile() + '\n' + line;
    {
        std::lock_guard lock(mutex);
        if (said.size() > kMostRemembered || !said.insert(key).second) return;
        if (said.size() > kMostRemembered) {
            spdlog::warn("Models: more than {} damaged values; no more are named in this run", kMostRemembered);
            return;
        }
    }
    spdlog::warn("{}", line);
}

// A whole number read from `column`, within [min, max]: a REAL is truncated,
// text read by its leading digits. A hand-edited or damaged row may hold
// anything (1e300, digits past 64 bits, "lots", 0.5): a number outside the
// range reads as 0, and whatever is not a whole number is said to be one
// too, each with a line that names the column.
std::int64_t asInt(const Value& v, const char* column, std::int64_t row,
                   std::int64_t min = std::numeric_limits<std::int64_t>::min(),
                   std::int64_t max = std::numeric_limits<std::int64_t>::max()) {
    std::int64_t n = 0;
    bool fits = true, whole = true;
    if (auto* i = std::get_if<std::int64_t>(&v)) {
        n = *i;
        fits = n >= min && n <= max;
    } else if (auto* d = std::get_if<double>(&v)) {
        // Compared as doubles before any conversion: casting a double no
        // integer holds is undefined. 2^63 is the first one past int64.
        const double t = std::trunc(*d);
        fits = std::isfinite(t) && t >= static_cast<double>(min) && t < 9223372036854775808.0 &&
               (max == std::numeric_limits<std::int64_t>::max() || t <= static_cast<double>(max));
        if (fits) n = static_cast<std::int64_t>(t);
        whole = t == *d;
    } else if (auto* s = std::get_if<std::string>(&v)) {
        const TextNumber t = readTextNumber(*s);
        n = t.value;
        fits = !t.overflow && n >= min && n <= max;
        whole = t.whole;
    }
    const std::string where = row >= 0 ? fmt::format(" (row {})", row) : std::string();
    if (!fits) {
        warnOnce(fmt::format("Models: the stored {} {} is out of range; it reads as 0{}", column, describe(v), where));
        return 0;
    }
    if (!whole)
        warnOnce(fmt::format("Models: the stored {} {} is not a whole number; it reads as {}{}", column, describe(v), n,
                             where));
    return n;
}

// The same for a column the models hold as int (types, flags, statuses, counts).
int asSmallInt(const Value& v, const char* column, std::int64_t row) {
    return static_cast<int>(asInt(v, column, row, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
}

// The share-type code a stored value stands for: a whole number (or text
// spelling one) among the codes the booth knows. A damaged row's type (1e300,
// "abc", 1.5, bytes) is no type at all: read as whatever it converts to, it
// would be counted as, or sent as, a real type.
std::optional<int> shareTypeOf(const Value& v) {
    std::optional<std::int64_t> n;
    if (auto* i = std::get_if<std::int64_t>(&v)) n = *i;
    if (auto* s = std::get_if<std::string>(&v)) {
        const TextNumber t = readTextNumber(*s);
        if (t.whole && !t.overflow) n = t.value;
    }
    if (!n) return std::nullopt;
    for (int type : WrenUtils::getAllSharingType())
        if (*n == type) return type;
    return std::nullopt;
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
    "id, file_name, file_path, album_name, image_url, thumb_url, upload_url, upload_status, retry_count, date_created, "
    "stage_last_tried, date_last_tried";

std::shared_ptr<MediaItemModel> mediaFromRow(const Row& r) {
    auto m = std::make_shared<MediaItemModel>();
    m->ID = asInt(r[0], "media.id", -1);
    m->fileName = asText(r[1]);
    m->filePath = asText(r[2]);
    m->albumName = asText(r[3]);
    m->imageURL = asText(r[4]);
    m->thumbURL = asText(r[5]);
    m->uploadURL = asText(r[6]);
    m->uploadStatus = asSmallInt(r[7], "media.upload_status", m->ID);
    m->retryCount = asSmallInt(r[8], "media.retry_count", m->ID);
    m->dateCreated = asDate(r[9]);
    m->stageLastTried = asSmallInt(r[10], "media.stage_last_tried", m->ID);
    m->dateLastTried = asDate(r[11]);
    return m;
}

// Each stage writes only its own columns; a column's value waits here until
// it is written.
struct PendingUpload {
    std::optional<QString> imageURL, thumbURL, uploadURL;
    std::optional<int> uploadStatus, retryCount, stageLastTried;
    bool empty() const { return !imageURL && !thumbURL && !uploadURL && !uploadStatus && !retryCount && !stageLastTried; }
};
struct UnsavedUploads {
    std::mutex mutex;
    std::map<std::int64_t, PendingUpload> rows;
    // Counts the writes settled: a read of the table that a settling
    // overtook may hold neither the written value nor its pending one.
    std::uint64_t settled = 0;
};
UnsavedUploads& unsaved() {
    static auto* u = new UnsavedUploads();
    return *u;
}

// Drops from `now` what `written` wrote, unless it changed meanwhile.
template <class T>
void settle(std::optional<T>& now, const std::optional<T>& written) {
    if (written && now == written) now.reset();
}

// Writes the kept progress of one row; true when nothing is left to write.
bool storeUnsaved(std::int64_t id) {
    PendingUpload row;
    {
        std::lock_guard lock(unsaved().mutex);
        auto it = unsaved().rows.find(id);
        if (it == unsaved().rows.end()) return true;
        row = it->second;
    }
    std::string columns;
    std::vector<Value> args;
    auto add = [&](const char* column, Value value) {
        columns += std::string(columns.empty() ? "" : ", ") + column + " = ?";
        args.push_back(std::move(value));
    };
    if (row.imageURL) add("image_url", text(*row.imageURL));
    if (row.thumbURL) add("thumb_url", text(*row.thumbURL));
    if (row.uploadURL) add("upload_url", text(*row.uploadURL));
    if (row.uploadStatus) add("upload_status", std::int64_t{*row.uploadStatus});
    if (row.retryCount) add("retry_count", std::int64_t{*row.retryCount});
    if (row.stageLastTried) add("stage_last_tried", std::int64_t{*row.stageLastTried});
    args.push_back(id);
    if (!columns.empty() && !db().execute("UPDATE media SET " + columns + " WHERE id = ?", args)) return false;
    std::lock_guard lock(unsaved().mutex);
    auto it = unsaved().rows.find(id);
    if (it == unsaved().rows.end()) return true;
    settle(it->second.imageURL, row.imageURL);
    settle(it->second.thumbURL, row.thumbURL);
    settle(it->second.uploadURL, row.uploadURL);
    settle(it->second.uploadStatus, row.uploadStatus);
    settle(it->second.retryCount, row.retryCount);
    settle(it->second.stageLastTried, row.stageLastTried);
    ++unsaved().settled;
    if (it->second.empty()) unsaved().rows.erase(it);
    return true;
}

void storeAllUnsaved() {
    std::vector<std::int64_t> ids;
    {
        std::lock_guard lock(unsaved().mutex);
        for (auto& [id, row] : unsaved().rows) ids.push_back(id);
    }
    for (auto id : ids)
        if (!storeUnsaved(id)) return;  // the table still cannot be written
}

// Upload progress is written off the caller's thread (the uploads report on
// the interface thread, which another program's lock on the database would
// otherwise hold for the whole lock wait), in order, on a queue of its own.
// Until it is stored it is laid over what the table says, and what the
// table could not take (its disk full, its file read-only) stays for the
// rest of the run and is written again until it is stored: an upload that
// finished is then never made again for want of a write.
base::SerialQueue& progressWriter() {
    static auto* queue = new base::SerialQueue("com.flashwren.upload-progress");
    return *queue;
}

enum Field { Image = 1, Thumb = 2, Short = 4, Status = 8, Retries = 16, Tried = 32 };

void storeUploadProgress(const MediaItemModel& item, int fields, const char* what) {
    bool kept;
    {
        std::lock_guard lock(unsaved().mutex);
        kept = unsaved().rows.count(item.ID) > 0;
        auto& row = unsaved().rows[item.ID];
        if (fields & Image) row.imageURL = item.imageURL;
        if (fields & Thumb) row.thumbURL = item.thumbURL;
        if (fields & Short) row.uploadURL = item.uploadURL;
        if (fields & Status) row.uploadStatus = item.uploadStatus;
        if (fields & Retries) row.retryCount = item.retryCount;
        if (fields & Tried) row.stageLastTried = item.stageLastTried;
    }
    progressWriter().post([id = item.ID, kept, what = std::string(what)] {
        if (!storeUnsaved(id) && !kept)
            spdlog::error("MediaItemModel: unable to store the {} of media item {}; kept in memory until it can be",
                          what, id);
    });
}

// With the lock of the unsaved rows held.
void overlayUnsaved(std::vector<std::shared_ptr<MediaItemModel>>& rows) {
    if (unsaved().rows.empty()) return;
    for (auto& r : rows) {
        auto it = unsaved().rows.find(r->ID);
        if (it == unsaved().rows.end()) continue;
        const PendingUpload& p = it->second;
        if (p.imageURL) r->imageURL = *p.imageURL;
        if (p.thumbURL) r->thumbURL = *p.thumbURL;
        if (p.uploadURL) r->uploadURL = *p.uploadURL;
        if (p.uploadStatus) r->uploadStatus = *p.uploadStatus;
        if (p.retryCount) r->retryCount = *p.retryCount;
        if (p.stageLastTried) r->stageLastTried = *p.stageLastTried;
    }
}

std::vector<std::shared_ptr<MediaItemModel>> loadMedia(const std::string& where, const std::vector<Value>& args = {}) {
    for (int attempt = 1;; ++attempt) {
        std::uint64_t settledBefore;
        {
            std::lock_guard lock(unsaved().mutex);
            settledBefore = unsaved().settled;
        }
        std::vector<std::shared_ptr<MediaItemModel>> out;
        auto rows = db().query(std::string("SELECT ") + kMediaColumns + " FROM media " + where, args);
        if (!rows) return out;
        std::lock_guard lock(unsaved().mutex);
        // A write settled meanwhile may have left this read with the old
        // value and no pending one to lay over it: read again.
        if (unsaved().settled != settledBefore && attempt < 5) continue;
        for (auto& r : *rows) out.push_back(mediaFromRow(r));
        overlayUnsaved(out);
        return out;
    }
}

const char* kShareColumns =
    "id, share_type, to_field, file_path, date_entered, date_sent, date_last_tried, last_error, done, media_id";

std::shared_ptr<SharingModel> shareFromRow(const Row& r) {
    auto s = std::make_shared<SharingModel>();
    s->ID = asInt(r[0], "share.id", -1);
    s->shareType = asSmallInt(r[1], "share.share_type", s->ID);
    s->toField = asText(r[2]);
    s->filePath = asText(r[3]);
    s->dateEntered = asDate(r[4]);
    s->dateSent = asDate(r[5]);
    s->dateLastTried = asDate(r[6]);
    s->lastError = asText(r[7]);
    s->done = asSmallInt(r[8], "share.done", s->ID);
    s->media_id = asInt(r[9], "share.media_id", s->ID);
    return s;
}

// `knownTypesOnly` leaves out (named in one line) the rows whose type is no type.
std::vector<std::shared_ptr<SharingModel>> loadShares(const std::string& where, const std::vector<Value>& args = {},
                                                      bool knownTypesOnly = false) {
    std::vector<std::shared_ptr<SharingModel>> out;
    auto rows = db().query(std::string("SELECT ") + kShareColumns + " FROM share " + where, args);
    if (!rows) return out;
    std::int64_t strays = 0;
    std::string strayTypes;
    for (auto& r : *rows) {
        if (knownTypesOnly && !shareTypeOf(r[1])) {
            ++strays;
            strayTypes += (strayTypes.empty() ? "" : ", ") + describe(r[1]);
            continue;
        }
        out.push_back(shareFromRow(r));
    }
    if (strays > 0)
        warnOnce(fmt::format("SharingModel: {} share rows have no share type the booth knows ({}); they are left out "
                             "of the send queue",
                             strays, strayTypes));
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
    if (tableName() == QLatin1String("media")) {
        std::lock_guard lock(unsaved().mutex);
        unsaved().rows.erase(rowID);
    }
    return db().execute("DELETE FROM " + tableName().toStdString() + " WHERE " + idColumn().toStdString() + " = ?",
                        {rowID});
}

std::int64_t WrenBaseModel::rowCount() const {
    auto rows = db().query("SELECT COUNT(*) FROM " + tableName().toStdString());
    if (!rows || rows->empty()) return -1;
    return asInt(rows->front()[0], "row count", -1);
}

// ---- MediaItemModel

namespace {
// The media rows this run inserted, in the database of that generation.
struct RowsOfThisRun {
    std::mutex mutex;
    std::uint64_t generation = 0;
    std::set<std::int64_t> ids;
};
RowsOfThisRun& rowsOfThisRun() {
    static auto* rows = new RowsOfThisRun();
    return *rows;
}
}  // namespace

bool MediaItemModel::madeByThisRun(std::int64_t mediaID) {
    auto& rows = rowsOfThisRun();
    std::lock_guard lock(rows.mutex);
    return rows.generation == db().generation() && rows.ids.count(mediaID) > 0;
}

bool MediaItemModel::save() {
    if (!dateCreated.isValid()) dateCreated = QDateTime::currentDateTimeUtc();
    std::int64_t id = db().insert(
        "INSERT INTO media (file_name, file_path, album_name, image_url, thumb_url, upload_url, upload_status, "
        "retry_count, date_created) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
        {text(fileName), text(filePath), text(albumName), text(imageURL), text(thumbURL), text(uploadURL),
         std::int64_t{uploadStatus}, std::int64_t{retryCount}, date(dateCreated)});
    if (id < 0) return false;
    ID = id;
    auto& rows = rowsOfThisRun();
    std::lock_guard lock(rows.mutex);
    if (rows.generation != db().generation()) {
        rows.ids.clear();
        rows.generation = db().generation();
    }
    rows.ids.insert(id);
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

std::shared_ptr<MediaItemModel> MediaItemModel::loadMediaItemWithFilePath(const QString& filePath) {
    auto rows = loadMedia("WHERE file_path = ? ORDER BY id DESC LIMIT 1", {text(filePath)});
    return rows.empty() ? nullptr : rows.front();
}

std::optional<std::set<QString>> MediaItemModel::storedFilePaths() {
    auto rows = db().query("SELECT file_path FROM media");
    if (!rows) return std::nullopt;
    std::set<QString> paths;
    for (auto& r : *rows)
        if (!r.empty()) paths.insert(asText(r[0]));
    return paths;
}

std::vector<std::shared_ptr<MediaItemModel>> MediaItemModel::loadAll() { return loadMedia("ORDER BY id"); }

std::vector<std::shared_ptr<MediaItemModel>> MediaItemModel::getAllEligibleRecordsForRetry() {
    storeAllUnsaved();
    // Rows whose failed stage is only in memory are read too, and every row
    // is judged by its status with what memory holds laid over it.
    std::string kept;
    {
        std::lock_guard lock(unsaved().mutex);
        for (auto& [id, row] : unsaved().rows) kept += (kept.empty() ? "" : ", ") + std::to_string(id);
    }
    auto rows = loadMedia("WHERE upload_status IN (2, 3, 4)" + (kept.empty() ? std::string() : " OR id IN (" + kept + ")") +
                          " ORDER BY date_created DESC, id DESC");
    std::vector<std::shared_ptr<MediaItemModel>> out;
    for (auto& r : rows) {
        if (r->uploadStatus < MediaUploadStatusImageFailed || r->uploadStatus > MediaUploadStatusRegistrationFailed)
            continue;
        if (r->filePath.isEmpty()) {
            spdlog::warn("MediaItemModel: media item {} has no file path, it is not retried", r->ID);
            continue;
        }
        out.push_back(std::move(r));
    }
    return out;
}

void MediaItemModel::finishStoringProgress() { progressWriter().sync([] {}); }

void MediaItemModel::updateOnImageUploadSuccessToS3() {
    storeUploadProgress(*this, Image, "image address");
}

void MediaItemModel::updateOnThumbUploadSuccessToS3() {
    storeUploadProgress(*this, Thumb, "thumbnail address");
}

void MediaItemModel::updateOnWrenTrackURLUploadSuccess() {
    uploadStatus = MediaUploadStatusDone;
    retryCount = 0;
    storeUploadProgress(*this, Short | Status | Retries | Tried, "short address");
}

void MediaItemModel::updateOnFailedToUpload() {
    storeUploadProgress(*this, Status | Retries | Tried, "upload status");
}

bool MediaItemModel::recordUploadAttempt(std::int64_t mediaID, int stage, const QDateTime& when) {
    const auto giveUp = std::chrono::steady_clock::now() + kUploadRecordPatience;
    for (;;) {
        const auto tried = std::chrono::steady_clock::now();
        bool recorded = false;
        // In order with the progress handed over before it.
        progressWriter().sync([&] {
            recorded = storeUnsaved(mediaID) &&
                       db().execute("UPDATE media SET stage_last_tried = ?, date_last_tried = ? WHERE id = ?",
                                    {std::int64_t{stage}, date(when), mediaID});
        });
        if (recorded) return true;
        // A try that took the whole lock wait met another program holding
        // the database, which lets go in time: the stage waits for it. A
        // full disk or a file that cannot be written fails at once, and the
        // stage does not go.
        const auto now = std::chrono::steady_clock::now();
        if (now - tried < WrenDatabase::statementLockWait() || now >= giveUp) break;
    }
    spdlog::error("MediaItemModel: the upload of media item {} does not go on now: the database cannot record it",
                  mediaID);
    return false;
}

// ---- BoothRunModel

std::optional<std::vector<BoothRun>> BoothRunModel::all() {
    auto rows = db().query("SELECT started, album_name FROM booth_run ORDER BY started, id");
    if (!rows) return std::nullopt;
    std::vector<BoothRun> runs;
    for (auto& r : *rows) {
        BoothRun run{asDate(r[0]), asText(r[1])};
        if (run.started.isValid()) runs.push_back(std::move(run));
    }
    return runs;
}

bool BoothRunModel::record(const BoothRun& run) {
    return db().execute("INSERT INTO booth_run (started, album_name) VALUES (?, ?)",
                        {date(run.started), text(run.albumName)});
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

bool SharingModel::saveOnce() {
    if (!dateEntered.isValid()) return save();
    const std::vector<Value> key{std::int64_t{shareType}, text(toField), text(filePath), date(dateEntered)};
    const char* same = "share_type = ? AND to_field = ? AND file_path = ? AND date_entered = ?";
    auto found = db().query(std::string("SELECT id FROM share WHERE ") + same + " ORDER BY id LIMIT 1", key);
    if (!found) return false;
    if (found->empty()) return save();
    ID = asInt((*found)[0][0], "share.id", -1);
    return true;
}

bool SharingModel::recordAwaitingAnswer(const QString& mark) const {
    return db().execute("UPDATE share SET last_error = ? WHERE id = ? AND done = 0", {text(mark), ID});
}

bool SharingModel::update() {
    return db().execute(
        "UPDATE share SET share_type = ?, to_field = ?, file_path = ?, date_entered = ?, date_sent = ?, "
        "date_last_tried = ?, last_error = ?, done = ?, media_id = ? WHERE id = ?",
        {std::int64_t{shareType}, text(toField), text(filePath), date(dateEntered), date(dateSent),
         date(dateLastTried), text(lastError), std::int64_t{done}, media_id, ID});
}

bool SharingModel::recordAttempt(const QDateTime& when, bool* stillPending) {
    int changes = 0;
    if (!db().execute("UPDATE share SET date_last_tried = ? WHERE id = ? AND done = 0", {date(when), ID}, &changes))
        return false;
    if (stillPending) *stillPending = changes > 0;
    if (changes > 0) dateLastTried = when;
    return true;
}

std::vector<std::shared_ptr<SharingModel>> SharingModel::getAllSharingRecordsWaitingToSend() {
    return loadShares("WHERE done = 0 ORDER BY id ASC", {}, true);
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
    // A damaged row's type counted as whatever it converts to would add to
    // (or, as a group of its own, replace) the counts of a real type.
    auto typeOf = [](const Value& v) { return shareTypeOf(v); };
    if (counts) {
        std::int64_t strays = 0;
        std::string strayTypes;
        for (auto& r : *counts) {
            auto type = typeOf(r[0]);
            if (!type) {
                strays += asInt(r[1], "share count", -1);
                strayTypes += (strayTypes.empty() ? "" : ", ") + describe(r[0]);
                continue;
            }
            // Added, not assigned: text that reads as a type is a group of its own.
            auto& s = stats[*type];
            s.total += asInt(r[1], "share count", -1);
            s.pending += asInt(r[2], "pending share count", -1);
            s.totalToday += asInt(r[3], "share count of today", -1);
        }
        if (strays > 0)
            warnOnce(fmt::format("SharingStatsInfo: {} share rows have no share type the booth knows ({}); they are "
                                 "left out of the statistics",
                                 strays, strayTypes));
    }
    // The error of the pending row tried last, per type.
    auto errors = db().query(
        "SELECT share_type, last_error FROM share WHERE done = 0 AND last_error IS NOT NULL AND last_error <> '' "
        "ORDER BY date_last_tried DESC, id DESC");
    if (errors) {
        for (auto& r : *errors) {
            auto type = typeOf(r[0]);
            if (type && stats[*type].lastError.isEmpty()) stats[*type].lastError = asText(r[1]);
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
