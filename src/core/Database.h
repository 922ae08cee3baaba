#pragma once
// The SQLite database "flashwren_db.sqlite" in the application-support folder.
// One connection; every statement runs on one serial queue.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "base/Executor.h"

struct sqlite3;
struct sqlite3_stmt;

class WrenDatabase {
public:
    using Value = std::variant<std::nullptr_t, std::int64_t, double, std::string>;
    using Row = std::vector<Value>;

    // The shared database, opened by openShared() at start-up.
    static WrenDatabase& shared();
    // Opens (creating) the file and applies the migrations of `migrationsDir`
    // ("<version>_<name>.sql", in version order) that are not yet recorded.
    // A file that is not a database is set aside and a new one made; the
    // reason is kept in lastError(). False when nothing could be opened.
    // `lockWaitMs` is how long another program's lock on the file is waited
    // for while opening (statements afterwards wait statementLockWait()).
    bool open(const std::string& path, const std::string& migrationsDir, int lockWaitMs = 5000);
    static bool openShared(const std::string& path, const std::string& migrationsDir, int lockWaitMs = 5000);
    // Waits up to `lockWaitMs` for another program's lock on `path` to go,
    // with a connection of its own that is closed again, so that the wait
    // holds up neither the queue nor the caller's thread of open(); false
    // while the lock is still held.
    static bool canOpen(const std::string& path, int lockWaitMs);
    // $XDG_DATA_HOME/Flashwren/flashwren_db.sqlite
    static std::string defaultPath();
    // How long a statement waits for another program's lock before it
    // fails: 5 seconds (tests shorten it); for connections opened later.
    static void setStatementLockWait(std::chrono::milliseconds wait);
    static std::chrono::milliseconds statementLockWait();
    // Counts the opens that succeeded: rows made under another count were
    // made in another database (or by an earlier run of the booth).
    std::uint64_t generation() const { return generation_.load(); }
    void close();
    bool isOpen() const { return db_ != nullptr; }

    // Runs `work` with the connection on the database queue and waits for it.
    void inDatabase(const std::function<void(sqlite3*)>& work);

    // Convenience statements, each run through inDatabase.
    // Returns false (and logs) on error; `changes` gets the rows changed.
    // Before a write, a connection that could only be opened read-only, or
    // whose file went read-only under it, is opened anew where the file can
    // be written now. A failure is logged once per reason until the same
    // kind of statement succeeds again.
    bool execute(const std::string& sql, const std::vector<Value>& args = {}, int* changes = nullptr);
    // The id of the row inserted, or -1.
    std::int64_t insert(const std::string& sql, const std::vector<Value>& args = {});
    std::optional<std::vector<Row>> query(const std::string& sql, const std::vector<Value>& args = {});

    // Why the last open, migration or statement failed.
    std::string lastError() const {
        std::lock_guard lock(errorMutex_);
        return lastError_;
    }
    int schemaVersion();
    base::SerialQueue& queue() { return queue_; }

    WrenDatabase();
    ~WrenDatabase();

private:
    bool migrate(sqlite3* db, const std::string& migrationsDir);
    void setError(std::string error);
    // On the queue: before a write, a read-only connection is replaced by a
    // writable one where the file now allows it.
    void reopenForWritingIfNeeded();
    // On the queue: whether a failure is logged (once per reason until the
    // same kind of statement succeeds again, so that a queue retrying every
    // few seconds does not repeat it all day).
    bool shouldLog(std::string& lastLogged, const std::string& error);
    void noteWrite(bool ok, int code, const std::string& error, const char* what, const std::string& sql);
    sqlite3* db_ = nullptr;
    std::mutex openMutex_;
    std::string path_;             // on the queue
    bool reopenWanted_ = false;    // on the queue: the file went read-only under the connection
    std::string lastWriteFailure_;  // on the queue
    std::string lastReadFailure_;   // on the queue
    std::atomic<std::uint64_t> generation_{0};
    mutable std::mutex errorMutex_;
    std::string lastError_;
    base::SerialQueue queue_{"com.flashwren.database"};
};
