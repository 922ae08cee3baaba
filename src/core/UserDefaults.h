#pragma once
// The standard user defaults: typed values kept in an XML property list at
// $XDG_CONFIG_HOME/Flashwren/Flashwren.plist, with the registered defaults
// from resources/Defaults.plist behind them. Safe from any thread; every
// change is written to disk at once (atomically) and announced per key.
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

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

    void registerDefaults(const Value& dictionary);
    // The stored value, else the registered default, else none.
    std::optional<Value> object(const std::string& key) const;
    bool has(const std::string& key) const { return object(key).has_value(); }

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
    void registerRange(const std::string& key, double min, double max);
    std::optional<Range> range(const std::string& key) const;

    // Stores and writes the file now; a null value removes the key.
    void set(const std::string& key, const Value& value);
    void remove(const std::string& key);
    // Writes the file now; false when it could not be written.
    bool synchronize();

    // Called after `key` changes (by set or remove), on `executor` (null: on the
    // writer's thread). An empty key observes every key.
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
    static std::optional<Value> convert(const Value& v, Kind kind, const Range* range, std::string* problem);
    void reportOnce(const std::string& key, const std::string& why, const std::optional<Value>& result) const;
    bool writeLocked();
    void notify(const std::string& key);
    std::string path_;
    mutable std::mutex mutex_;
    std::mutex writeMutex_;            // one writer at a time; readers never wait for the disk
    std::uint64_t generation_ = 0;     // bumped by every change
    std::uint64_t writtenGeneration_ = 0;
    bool lastWriteOk_ = true;
    Value values_ = Value::object();
    Value registered_ = Value::object();
    std::map<std::string, Range> ranges_;
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
