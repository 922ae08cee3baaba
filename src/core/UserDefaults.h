#pragma once
// The standard user defaults: typed values kept in an XML property list at
// $XDG_CONFIG_HOME/Flashwren/Flashwren.plist, with the registered defaults
// from resources/Defaults.plist behind them. Safe from any thread. A change
// is seen by every reader at once and announced per key; the file follows
// on a writer thread of the store's own, a moment later, many changes in one
// write (atomically: a temporary file, then a rename). synchronize() writes
// at once; the owner calls it at quit.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include <nlohmann/json_fwd.hpp>

#include "base/BoxedJson.h"
#include "base/Executor.h"

class UserDefaults {
public:
    using Value = nlohmann::json;
    using ObserverId = std::uint64_t;
    using Observer = std::function<void(const std::string& key)>;

    // The application's defaults, with resources/Defaults.plist registered.
    // It follows $XDG_CONFIG_HOME: pointed elsewhere (a test's temporary
    // home), the next call gives the store of that folder.
    static UserDefaults& standard();
    // A store over another file (tests, tools). A file that cannot be read as a
    // property list is set aside (renamed "<file>.corrupt-<time>") and reported
    // by loadError(); the store then starts empty.
    explicit UserDefaults(std::string path);
    // Writes what is not yet on disk.
    ~UserDefaults();
    UserDefaults(const UserDefaults&) = delete;
    UserDefaults& operator=(const UserDefaults&) = delete;

    void registerDefaults(const Value& dictionary);
    // The stored value, else the registered default, else none.
    std::optional<Value> object(const std::string& key) const;
    bool has(const std::string& key) const;

    // Typed reads, leniently converted like the platform's defaults: a string
    // "YES"/"1"/"true" reads as true, a numeric string as a number. A stored
    // value that does not read as the type (a list where a text belongs, text
    // without a number where a number belongs, a number no integer holds)
    // reads as the registered default, else as `fallback`; a number outside
    // the key's range is clamped into it. Either is logged once per value,
    // naming the key, and the stored value is left as it is.
    std::string string(const std::string& key, const std::string& fallback = {}) const;
    std::int64_t integer(const std::string& key, std::int64_t fallback = 0) const;
    double real(const std::string& key, double fallback = 0) const;
    bool boolean(const std::string& key, bool fallback = false) const;

    // The smallest and largest value a numeric key may take (either end may
    // be infinite). Reads clamp into it; controls offer only it.
    struct Range {
        double min;
        double max;
    };
    // What a number below the smallest value reads as: the smallest value, or
    // (where the bottom end is no sensible setting, only a mistake) the
    // registered default. Either is logged like any other wrong value.
    enum class BelowRange { Clamp, UseDefault };
    void registerRange(const std::string& key, double min, double max, BelowRange below = BelowRange::Clamp);
    std::optional<Range> range(const std::string& key) const;

    // Stores the value (a null value removes the key); the file is written
    // behind it, within kWriteDelay.
    void set(const std::string& key, const Value& value);
    void remove(const std::string& key);
    // Writes every change made so far now; false when it could not be written.
    bool synchronize();
    // How long a change may wait for the changes after it before the writer
    // puts them all on disk: what a kill -9 can lose at most.
    static constexpr std::chrono::milliseconds kWriteDelay{100};

    // Called after `key` changes (by set or remove), on `executor` (null: on the
    // thread that made the change). An empty key observes every key.
    ObserverId observe(const std::string& key, Observer observer, base::Executor* executor = nullptr);
    void unobserve(ObserverId id);

    const std::string& path() const { return path_; }
    // Why the file on disk was set aside at load, or "".
    std::string loadError() const;
    // Every stored (not registered) key and value.
    Value dictionaryRepresentation() const;

private:
    enum class Kind { Text, Integer, Real, Flag };
    // The value of `key` read as `kind`: the stored value when it converts,
    // else the registered one; none when neither does.
    std::optional<Value> typed(const std::string& key, Kind kind) const;
    // Converts one value; `problem` says why it was clamped or refused.
    static std::optional<Value> convert(const Value& v, Kind kind, const Range* range, bool belowToDefault,
                                        std::string* problem);
    void reportOnce(const std::string& key, const std::string& why, const std::optional<Value>& result) const;
    bool writeLocked();
    // Called with mutex_ held after a change: wakes (or starts) the writer.
    void scheduleWriteLocked();
    void writerLoop();
    // Stops the writer thread (what it has not written stays pending).
    void stopWriter();
    static void stopAllWriters();
    void notify(const std::string& key);
    std::string path_;
    mutable std::mutex mutex_;
    std::mutex writeMutex_;            // one writer at a time; readers never wait for the disk
    std::uint64_t generation_ = 0;     // bumped by every change
    std::uint64_t writtenGeneration_ = 0;
    bool lastWriteOk_ = true;
    std::uint64_t attemptedGeneration_ = 0;  // the writer's last try, good or not
    std::condition_variable writerWake_;
    bool stopping_ = false;
    std::thread writer_;               // started by the first change
    base::BoxedJson values_;      // an object
    base::BoxedJson registered_;  // an object
    std::map<std::string, Range> ranges_;
    std::set<std::string> belowToDefault_;  // keys registered with BelowRange::UseDefault
    mutable std::map<std::string, std::set<std::string>> reported_;  // key -> what was said about its value
    std::string loadError_;
    struct Obs {
        std::string key;
        Observer fn;
        base::Executor* executor;
    };
    std::map<ObserverId, Obs> observers_;
    ObserverId nextObserver_ = 1;
};
