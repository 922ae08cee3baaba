// Share and media rows as a hand-edited or damaged database may hold them:
// any column of any storage class (whole numbers, reals up to 1e308, text,
// nothing). Loading them for the share queue, the retry service and the
// statistics must neither crash nor convert a number no integer holds, and
// the share queue never takes a row whose type is no type.
// fuzz-links: core
//
// Input: a sequence of rows. Each starts with a byte choosing the table
// (even: media, odd: share), then one value per column, each a kind byte
// (0 integer, 1 real, 2 text, 3 null) followed by 8 bytes for a number or a
// length byte and that many bytes for text.
#include <algorithm>
#include <cstring>

#include <spdlog/spdlog.h>

#include "FuzzSupport.h"
#include "core/Database.h"
#include "core/Models.h"
#include "core/WrenUtils.h"

namespace {

using Value = WrenDatabase::Value;

struct Reader {
    const std::uint8_t* p;
    std::size_t left;
    bool empty() const { return left == 0; }
    std::uint8_t byte() {
        if (!left) return 0;
        --left;
        return *p++;
    }
    Value value() {
        switch (byte() % 4) {
        case 0: {
            std::int64_t n = 0;
            take(&n, sizeof n);
            return n;
        }
        case 1: {
            double d = 0;
            take(&d, sizeof d);
            if (d != d) return nullptr;  // SQLite stores NaN as NULL anyway
            return d;
        }
        case 2: {
            std::size_t n = std::min<std::size_t>(byte(), left);
            std::string s(reinterpret_cast<const char*>(p), n);
            p += n;
            left -= n;
            return s;
        }
        default:
            return nullptr;
        }
    }
    void take(void* out, std::size_t n) {
        n = std::min(n, left);
        std::memcpy(out, p, n);
        p += n;
        left -= n;
    }
};

bool openOnce() {
    spdlog::set_level(spdlog::level::off);
    const std::string path = fuzzsupport::scratch() + "/flashwren_db.sqlite";
    if (!WrenDatabase::openShared(path, std::string(FLASHWREN_SOURCE_DIR) + "/resources/migrations")) return false;
    // A scratch database: no waiting for the disk between inputs.
    WrenDatabase::shared().execute("PRAGMA synchronous = OFF");
    WrenDatabase::shared().execute("PRAGMA journal_mode = MEMORY");
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool opened = openOnce();
    if (!opened) std::abort();
    auto& db = WrenDatabase::shared();
    db.execute("DELETE FROM media");
    db.execute("DELETE FROM share");
    Reader in{data, size};
    for (int rows = 0; !in.empty() && rows < 32; ++rows) {
        std::vector<Value> v;
        if (in.byte() % 2 == 0) {
            for (int c = 0; c < 4; ++c) v.push_back(in.value());
            db.execute("INSERT INTO media (file_path, upload_status, retry_count, date_created) VALUES (?, ?, ?, ?)",
                       v);
        } else {
            for (int c = 0; c < 4; ++c) v.push_back(in.value());
            db.execute("INSERT INTO share (share_type, done, media_id, date_sent) VALUES (?, ?, ?, ?)", v);
        }
    }
    MediaItemModel::loadAll();
    MediaItemModel::getAllEligibleRecordsForRetry();
    // A row whose type is no type the booth knows is never sent as one.
    const auto known = WrenUtils::getAllSharingType();
    for (const auto& row : SharingModel::getAllSharingRecordsWaitingToSend())
        if (std::find(known.begin(), known.end(), row->shareType) == known.end()) std::abort();
    SharingStatsInfoModel::getAllStats();
    MediaItemModel().rowCount();
    return 0;
}
