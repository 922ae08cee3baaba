#include "core/Database.h"

#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <algorithm>
#include <filesystem>
#include <regex>

#include "base/Files.h"
#include "base/Log.h"

namespace fs = std::filesystem;

namespace {

struct Statement {
    sqlite3_stmt* stmt = nullptr;
    ~Statement() { sqlite3_finalize(stmt); }
};

bool bindAll(sqlite3_stmt* stmt, const std::vector<WrenDatabase::Value>& args) {
    for (size_t i = 0; i < args.size(); ++i) {
        int idx = static_cast<int>(i) + 1;
        int rc = std::visit(
            [&](const auto& v) -> int {
                using T = std::decay_t<decltype(v)>;
                if constexpr (std::is_same_v<T, std::nullptr_t>) return sqlite3_bind_null(stmt, idx);
                else if constexpr (std::is_same_v<T, std::int64_t>) return sqlite3_bind_int64(stmt, idx, v);
                else if constexpr (std::is_same_v<T, double>) return sqlite3_bind_double(stmt, idx, v);
                else return sqlite3_bind_text(stmt, idx, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
            },
            args[i]);
        if (rc != SQLITE_OK) return false;
    }
    return true;
}

WrenDatabase::Value columnValue(sqlite3_stmt* stmt, int col) {
    switch (sqlite3_column_type(stmt, col)) {
    case SQLITE_INTEGER:
        return static_cast<std::int64_t>(sqlite3_column_int64(stmt, col));
    case SQLITE_FLOAT:
        return sqlite3_column_double(stmt, col);
    case SQLITE_NULL:
        return nullptr;
    default: {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, col));
        int n = sqlite3_column_bytes(stmt, col);
        return std::string(text ? text : "", static_cast<size_t>(n));
    }
    }
}

// Whether the connection reads as a database at all.
int probe(sqlite3* db) {
    return sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
}

}  // namespace

WrenDatabase::WrenDatabase() = default;

void WrenDatabase::setError(std::string error) {
    std::lock_guard lock(errorMutex_);
    lastError_ = std::move(error);
}

WrenDatabase::~WrenDatabase() { close(); }

WrenDatabase& WrenDatabase::shared() {
    static WrenDatabase* db = new WrenDatabase();
    return *db;
}

bool WrenDatabase::openShared(const std::string& path, const std::string& migrationsDir, int lockWaitMs) {
    return shared().open(path, migrationsDir, lockWaitMs);
}

std::string WrenDatabase::defaultPath() { return base::dataHome() + "/Flashwren/flashwren_db.sqlite"; }

namespace {

// Opens `path` with `flags`, waiting up to `busyMs` for other programs'
// locks, and checks that it reads as a database; the connection, or null
// with the reason in `rc`.
sqlite3* connect(const std::string& path, int flags, int busyMs, int& rc) {
    sqlite3* db = nullptr;
    rc = sqlite3_open_v2(path.c_str(), &db, flags | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc == SQLITE_OK) {
        sqlite3_busy_timeout(db, busyMs);
        rc = probe(db);
    }
    if (rc != SQLITE_OK) {
        sqlite3_close_v2(db);
        return nullptr;
    }
    return db;
}

std::atomic<int> statementLockWaitMs{5000};
int busyTimeoutMs() { return statementLockWaitMs.load(); }

}  // namespace

void WrenDatabase::setStatementLockWait(std::chrono::milliseconds wait) {
    statementLockWaitMs = static_cast<int>(wait.count());
}

std::chrono::milliseconds WrenDatabase::statementLockWait() { return std::chrono::milliseconds(busyTimeoutMs()); }

bool WrenDatabase::canOpen(const std::string& path, int lockWaitMs) {
    // Only a regular file is tried here (opening a named pipe would block);
    // anything else, or nothing, is for open() to deal with.
    const int fd = base::openRegularFile(path, nullptr);
    if (fd < 0) return true;
    ::close(fd);
    int rc = SQLITE_OK;
    sqlite3_close_v2(connect(path, SQLITE_OPEN_READWRITE, lockWaitMs, rc));
    return (rc & 0xff) != SQLITE_BUSY && (rc & 0xff) != SQLITE_LOCKED;
}

bool WrenDatabase::open(const std::string& path, const std::string& migrationsDir, int lockWaitMs) {
    // The slow part (another program's lock is waited for) runs on the
    // caller's thread with a connection of its own, so that the queue stays
    // free meanwhile; only a connection that opened is handed to the queue.
    std::lock_guard openLock(openMutex_);
    close();
    setError({});
    queue_.sync([&] {
        path_ = path;
        reopenWanted_ = false;
    });
    std::error_code ec;
    fs::path p(path);
    if (p.has_parent_path()) fs::create_directories(p.parent_path(), ec);

    auto openFile = [&](sqlite3** out) -> int {
        int rc = SQLITE_OK;
        *out = connect(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, lockWaitMs, rc);
        return rc;
    };

    // What cannot be opened as a file at all (a named pipe, device or
    // folder in the database's place, a loop of links, a file this user
    // may not read) is moved aside unopened (opening some of them blocks
    // or has effects), with the journals that belong to it, and a new
    // database is made in its place. A database that opens but is busy
    // or on a full disk is no such file: it stays, with its data.
    base::ReadFailure notAFile;
    bool noDatabase = false;
    if (const int fd = base::openRegularFile(path, &notAFile); fd >= 0) {
        // A file that is no database at all goes aside before SQLite sees
        // it: SQLite would first play its journals back into it, or
        // delete them, and they are kept with it.
        char header[16];
        const ssize_t n = ::pread(fd, header, sizeof header, 0);
        noDatabase = n > 0 && (n < static_cast<ssize_t>(sizeof header) ||
                               std::memcmp(header, "SQLite format 3", sizeof header) != 0);
        ::close(fd);
    } else if (const int err = errno;
               !notAFile.missing && (err == EINVAL || err == ELOOP || err == EACCES || err == EPERM)) {
        std::string aside = base::setAside(path);
        if (!aside.empty())
            for (const char* suffix : {"-journal", "-wal", "-shm"})
                if (fs::exists(fs::symlink_status(path + suffix, ec))) base::setAside(path + suffix);
        setError("The database " + path + " cannot be opened as a file (" + notAFile.why +
                 ") and was set aside as " + (aside.empty() ? std::string("(could not be moved)") : aside) +
                 "; a new one was made.");
        spdlog::error("Database: {}", lastError());
        if (aside.empty()) return false;
    }

    sqlite3* db = nullptr;
    int rc = noDatabase ? SQLITE_NOTADB : openFile(&db);
    if (rc == SQLITE_NOTADB || rc == SQLITE_CORRUPT) {
        // Keep the damaged file for whoever wants to look at it; never write over it.
        std::string aside = base::setAside(path);
        for (const char* suffix : {"-journal", "-wal", "-shm"}) {
            if (fs::exists(path + suffix, ec)) base::setAside(path + suffix);
        }
        setError("The database " + path + " is damaged (" + sqlite3_errstr(rc) + ") and was set aside as " +
                 (aside.empty() ? std::string("(could not be moved)") : aside) + "; a new one was made.");
        spdlog::error("Database: {}", lastError());
        if (aside.empty()) return false;
        rc = openFile(&db);
    }
    if (rc != SQLITE_OK) {
        std::string why = "Unable to open the database " + path + ": " + sqlite3_errstr(rc);
        setError(lastError().empty() ? why : lastError() + " " + why);
        spdlog::error("Database: {}", why);
        return false;
    }
    sqlite3_exec(db, "PRAGMA foreign_keys = ON", nullptr, nullptr, nullptr);
    if (sqlite3_db_readonly(db, "main") == 1)
        spdlog::error("Database: {} can only be read; nothing can be recorded until it can be written", path);
    const bool migrated = migrate(db, migrationsDir);
    sqlite3_busy_timeout(db, busyTimeoutMs());
    // Kept open even when a migration failed: what is there can still be read.
    queue_.sync([&] {
        db_ = db;
        lastWriteFailure_.clear();
        lastReadFailure_.clear();
    });
    ++generation_;
    return migrated;
}

void WrenDatabase::close() {
    queue_.sync([this] {
        if (db_) {
            sqlite3_close_v2(db_);
            db_ = nullptr;
        }
    });
}

void WrenDatabase::reopenForWritingIfNeeded() {
    if (!db_ || path_.empty()) return;
    if (!reopenWanted_ && sqlite3_db_readonly(db_, "main") != 1) return;
    // No waiting here: the queue must not stall behind another program's lock.
    int rc = SQLITE_OK;
    sqlite3* fresh = connect(path_, SQLITE_OPEN_READWRITE, 0, rc);
    if (!fresh) return;
    if (sqlite3_db_readonly(fresh, "main") == 1) {
        sqlite3_close_v2(fresh);
        return;
    }
    sqlite3_busy_timeout(fresh, busyTimeoutMs());
    sqlite3_exec(fresh, "PRAGMA foreign_keys = ON", nullptr, nullptr, nullptr);
    sqlite3_close_v2(db_);
    db_ = fresh;
    reopenWanted_ = false;
    spdlog::info("Database: {} can be written again; opened it anew", path_);
}

bool WrenDatabase::shouldLog(std::string& lastLogged, const std::string& error) {
    if (lastLogged == error) return false;
    lastLogged = error;
    return true;
}

bool WrenDatabase::migrate(sqlite3* db, const std::string& migrationsDir) {
    // Runs before the connection is handed to the queue. The record table
    // has the layout that earlier releases used, so their databases are
    // understood as they are.
    char* err = nullptr;
    if (sqlite3_exec(db, "CREATE TABLE IF NOT EXISTS schema_migrations (version INTEGER UNIQUE NOT NULL)", nullptr,
                     nullptr, &err) != SQLITE_OK) {
        setError(std::string("Unable to record migrations: ") + (err ? err : ""));
        sqlite3_free(err);
        spdlog::error("Database: {}", lastError());
        return false;
    }

    struct Migration {
        long long version;
        fs::path file;
    };
    std::vector<Migration> migrations;
    static const std::regex name(R"(^(\d+)_.+\.sql$)");
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(migrationsDir, ec)) {
        std::smatch m;
        std::string fn = entry.path().filename().string();
        if (entry.is_regular_file(ec) && std::regex_match(fn, m, name)) {
            migrations.push_back({std::stoll(m[1].str()), entry.path()});
        }
    }
    if (ec) spdlog::warn("Database: no migrations in \"{}\": {}", migrationsDir, ec.message());
    std::sort(migrations.begin(), migrations.end(),
              [](const Migration& a, const Migration& b) { return a.version < b.version; });

    for (const auto& mig : migrations) {
        Statement check;
        sqlite3_prepare_v2(db, "SELECT 1 FROM schema_migrations WHERE version = ?", -1, &check.stmt, nullptr);
        sqlite3_bind_int64(check.stmt, 1, mig.version);
        if (sqlite3_step(check.stmt) == SQLITE_ROW) continue;

        auto sql = base::readFile(mig.file.string());
        if (!sql) {
            setError("Unable to read the migration " + mig.file.string());
            spdlog::error("Database: {}", lastError());
            return false;
        }
        sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
        std::string record = "INSERT INTO schema_migrations (version) VALUES (" + std::to_string(mig.version) + ")";
        if (sqlite3_exec(db, sql->c_str(), nullptr, nullptr, &err) != SQLITE_OK ||
            sqlite3_exec(db, record.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
            setError("The migration " + mig.file.filename().string() + " failed: " + (err ? err : ""));
            sqlite3_free(err);
            err = nullptr;
            sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
            spdlog::error("Database: {}", lastError());
            return false;
        }
        if (sqlite3_exec(db, "COMMIT", nullptr, nullptr, &err) != SQLITE_OK) {
            setError(std::string("Unable to commit a migration: ") + (err ? err : ""));
            sqlite3_free(err);
            sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
            spdlog::error("Database: {}", lastError());
            return false;
        }
        spdlog::info("Database: applied migration {}", mig.file.filename().string());
    }
    return true;
}

int WrenDatabase::schemaVersion() {
    auto rows = query("SELECT MAX(version) FROM schema_migrations");
    if (!rows || rows->empty() || rows->front().empty()) return 0;
    if (auto* v = std::get_if<std::int64_t>(&rows->front()[0])) return static_cast<int>(*v);
    return 0;
}

void WrenDatabase::inDatabase(const std::function<void(sqlite3*)>& work) {
    queue_.sync([&] { work(db_); });
}

namespace {

// Prepares, binds and steps one statement; rows go to `out` when given.
bool run(sqlite3* db, const std::string& sql, const std::vector<WrenDatabase::Value>& args,
         std::vector<WrenDatabase::Row>* out, std::string& error, int* code = nullptr) {
    if (!db) {
        error = "the database is not open";
        return false;
    }
    Statement s;
    if (sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &s.stmt, nullptr) != SQLITE_OK) {
        error = sqlite3_errmsg(db);
        if (code) *code = sqlite3_extended_errcode(db);
        return false;
    }
    if (!bindAll(s.stmt, args)) {
        error = sqlite3_errmsg(db);
        return false;
    }
    for (;;) {
        int rc = sqlite3_step(s.stmt);
        if (rc == SQLITE_DONE) return true;
        if (rc != SQLITE_ROW) {
            error = sqlite3_errmsg(db);
            if (code) *code = sqlite3_extended_errcode(db);
            return false;
        }
        if (out) {
            int n = sqlite3_column_count(s.stmt);
            WrenDatabase::Row row;
            row.reserve(static_cast<size_t>(n));
            for (int c = 0; c < n; ++c) row.push_back(columnValue(s.stmt, c));
            out->push_back(std::move(row));
        }
    }
}

}  // namespace

bool WrenDatabase::execute(const std::string& sql, const std::vector<Value>& args, int* changes) {
    bool ok = false;
    queue_.sync([&] {
        reopenForWritingIfNeeded();
        std::string error;
        int code = SQLITE_OK;
        ok = run(db_, sql, args, nullptr, error, &code);
        noteWrite(ok, code, error, "statement failed", sql);
        if (ok && changes) *changes = sqlite3_changes(db_);
    });
    return ok;
}

std::int64_t WrenDatabase::insert(const std::string& sql, const std::vector<Value>& args) {
    std::int64_t id = -1;
    queue_.sync([&] {
        reopenForWritingIfNeeded();
        std::string error;
        int code = SQLITE_OK;
        const bool ok = run(db_, sql, args, nullptr, error, &code);
        noteWrite(ok, code, error, "insert failed", sql);
        if (ok) id = sqlite3_last_insert_rowid(db_);
    });
    return id;
}

void WrenDatabase::noteWrite(bool ok, int code, const std::string& error, const char* what, const std::string& sql) {
    if (ok) {
        lastWriteFailure_.clear();
        return;
    }
    setError(error);
    // A file moved or made read-only under the connection: the next write
    // opens it anew.
    if ((code & 0xff) == SQLITE_READONLY) reopenWanted_ = true;
    if (shouldLog(lastWriteFailure_, error)) spdlog::error("Database: {}: {} ({})", what, error, sql);
}

std::optional<std::vector<WrenDatabase::Row>> WrenDatabase::query(const std::string& sql,
                                                                  const std::vector<Value>& args) {
    std::optional<std::vector<Row>> result;
    queue_.sync([&] {
        std::vector<Row> rows;
        std::string error;
        if (run(db_, sql, args, &rows, error)) {
            result = std::move(rows);
            lastReadFailure_.clear();
        } else {
            setError(error);
            if (shouldLog(lastReadFailure_, error)) spdlog::error("Database: query failed: {} ({})", error, sql);
        }
    });
    return result;
}
