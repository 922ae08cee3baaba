#pragma once
// The SQLite database "flashwren_db.sqlite" in the application-support folder.
// One connection; every statement runs on one serial queue.
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
    bool open(const std::string& path, const std::string& migrationsDir);
    static bool openShared(const std::string& path, const std::string& migrationsDir);
    // $XDG_DATA_HOME/Flashwren/flashwren_db.sqlite
    static std::string defaultPath();
    void close();
    bool isOpen() const { return db_ != nullptr; }

    // Runs `work` with the connection on the database queue and waits for it.
    void inDatabase(const std::function<void(sqlite3*)>& work);

    // Convenience statements, each run through inDatabase.
    // Returns false (and logs) on error; `changes` gets the rows changed.
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
    bool migrate(const std::string& migrationsDir);
    void setError(std::string error);
    sqlite3* db_ = nullptr;
    mutable std::mutex errorMutex_;
    std::string lastError_;
    base::SerialQueue queue_{"com.flashwren.database"};
};
