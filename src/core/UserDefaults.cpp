#include "core/UserDefaults.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdlib>
#include <cmath>
#include <limits>
#include <vector>

#include <pthread.h>
#include <unistd.h>

#include "base/AppInfo.h"
#include "base/Files.h"
#include "base/Log.h"
#include "base/Plist.h"
#include "base/Text.h"

namespace {

std::string standardPath() { return base::configHome() + "/Flashwren/Flashwren.plist"; }

// The platform's lenient reading of text as a flag: a leading "Y", "y",
// "T", "t" or a non-zero digit (after blanks, a sign and zeros) is true.
bool textAsBool(const std::string& s) {
    size_t i = 0;
    while (i < s.size() && base::isAsciiSpace(s[i])) ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    while (i < s.size() && s[i] == '0') ++i;
    if (i >= s.size()) return false;
    char c = s[i];
    return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

// Whether text says yes or no in a way the platform's defaults write it:
// YES, NO, true, false (any case) or a number. Anything else ("maybe")
// still reads by its first letter, but is a mistake worth naming.
bool textIsFlag(const std::string& s) {
    const std::string_view t = base::trimView(s);
    for (std::string_view word : {"yes", "no", "true", "false"})
        if (base::equalsIgnoringAsciiCase(t, word)) return true;
    return base::parseDouble(t).has_value();
}

// The settings that only make sense within bounds; the preference panes
// offer the same bounds.
void registerSettingRanges(UserDefaults& store) {
    constexpr double kNoLimit = std::numeric_limits<double>::infinity();
    // At most 10 prints a session; the Print pane keeps a negative count as
    // the operator typed it.
    store.registerRange("MAX_PRINTS_PER_SESSION", -kNoLimit, 10);
    store.registerRange("MAX_PRINTS_PER_EVENT", 0, 100000);
    store.registerRange("seconds_between_shots", 0, 60);
    store.registerRange("seconds_between_groups", 0, 600);
    // Megabytes; a terabyte is far beyond any event and still counts in bytes.
    // Below zero is a typing slip, not "never warn": the default stands in.
    store.registerRange("LOW_DISK_SPACE_WARNING_MB", 0, 1024 * 1024, UserDefaults::BelowRange::UseDefault);
}

}  // namespace

UserDefaults& UserDefaults::standard() {
    // The store follows $XDG_CONFIG_HOME, so a program (or a test) that points
    // it elsewhere gets the store of that folder. Earlier stores stay alive:
    // callers may still hold references to them.
    static std::mutex m;
    static UserDefaults* current = nullptr;
    std::string path = standardPath();
    std::lock_guard lock(m);
    if (!current || current->path() != path) {
        auto* store = new UserDefaults(path);
        const std::string& res = base::AppInfo::shared().resourcesDir();
        std::string defaultsFile = res.empty() ? std::string() : res + "/Defaults.plist";
        base::ReadFailure failure;
        auto defaults = defaultsFile.empty() ? std::nullopt : base::plistReadFile(defaultsFile, &failure);
        if (defaults && defaults->is_object()) {
            store->registerDefaults(*defaults);
        } else {
            spdlog::warn("UserDefaults: no registered defaults at \"{}\": {}", defaultsFile,
                         defaults ? "it does not hold a dictionary" : failure.why);
        }
        registerSettingRanges(*store);
        current = store;
    }
    return *current;
}

UserDefaults::UserDefaults(std::string path) : path_(std::move(path)) {
    // A booth killed inside a write leaves its temporary file behind.
    base::removeAbandonedTemporaries(path_);
    base::ReadFailure failure;
    auto bytes = base::readFile(path_, &failure, base::kPlistReadLimit);
    if (!bytes && failure.missing) return;
    std::optional<Value> parsed;
    if (bytes && !bytes->empty()) parsed = base::plistParse(*bytes);
    if (parsed && parsed->is_object()) {
        values_ = std::move(*parsed);
        return;
    }
    std::string why = !bytes ? failure.why
                      : bytes->empty() ? "it is empty"
                      : parsed ? "it does not hold a dictionary"
                               : "it is not a property list";
    std::string aside = base::setAside(path_);
    loadError_ = "The settings file " + path_ + " was set aside as " +
                 (aside.empty() ? std::string("(could not be moved)") : aside) + " because " + why + ".";
    spdlog::error("UserDefaults: {}", loadError_);
}

void UserDefaults::registerDefaults(const Value& dictionary) {
    if (!dictionary.is_object()) return;
    std::lock_guard lock(mutex_);
    for (auto it = dictionary.begin(); it != dictionary.end(); ++it) registered_.get()[it.key()] = it.value();
}

bool UserDefaults::has(const std::string& key) const { return object(key).has_value(); }

std::optional<UserDefaults::Value> UserDefaults::object(const std::string& key) const {
    std::lock_guard lock(mutex_);
    if (auto it = values_.get().find(key); it != values_.get().end() && !it->is_null()) return *it;
    if (auto it = registered_.get().find(key); it != registered_.get().end() && !it->is_null()) return *it;
    return std::nullopt;
}

namespace {

using Value = UserDefaults::Value;
using Range = UserDefaults::Range;

// 2^63: the first double no signed 64-bit integer holds.
constexpr double kInt64Limit = 9223372036854775808.0;

// Text as a log line may show it: control bytes (an escape sequence in a
// hand-edited file) escaped, never passed to the terminal or the log raw.
std::string printable(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7F) out += fmt::format("\\x{:02x}", c);
        else out += static_cast<char>(c);
    }
    return out;
}

std::string describe(const Value& v) {
    if (v.is_number()) return v.dump();
    if (v.is_string()) return "the text \"" + printable(v.get<std::string>().substr(0, 40)) + "\"";
    return std::string("a value of type ") + v.type_name();
}

// Keeps `d` inside `range`, saying so in `note`.
double clampInto(double d, const Range* range, const Value& stored, std::string* note) {
    if (!range) return d;
    if (d < range->min) {
        *note = describe(stored) + ", below its smallest value " + Value(range->min).dump();
        return range->min;
    }
    if (d > range->max) {
        *note = describe(stored) + ", above its largest value " + Value(range->max).dump();
        return range->max;
    }
    return d;
}

// The number a value stands for, leniently: flags as 0 and 1, text by its
// leading number. None for anything else (lists, bytes, text without a number).
std::optional<double> asNumber(const Value& v, bool wholeText) {
    if (v.is_boolean()) return v.get<bool>() ? 1 : 0;
    if (v.is_number_unsigned()) return static_cast<double>(v.get<std::uint64_t>());
    if (v.is_number_integer()) return static_cast<double>(v.get<std::int64_t>());
    if (v.is_number_float()) return v.get<double>();
    if (v.is_string()) {
        const std::string& s = v.get_ref<const std::string&>();
        const char* begin = s.c_str();
        char* end = nullptr;
        // A point is the decimal separator whatever the session's locale.
        if (wholeText) return base::parseLeadingDouble(s);
        // An integer reads the leading digits only ("12.5" is 12), as the
        // platform's defaults do.
        errno = 0;
        long long n = std::strtoll(begin, &end, 10);
        if (end == begin) return std::nullopt;
        if (errno == ERANGE) return n < 0 ? -std::numeric_limits<double>::infinity()
                                          : std::numeric_limits<double>::infinity();
        return static_cast<double>(n);
    }
    return std::nullopt;
}

}  // namespace

void UserDefaults::registerRange(const std::string& key, double min, double max, BelowRange below) {
    std::lock_guard lock(mutex_);
    ranges_[key] = Range{min, max};
    if (below == BelowRange::UseDefault) {
        belowToDefault_.insert(key);
    } else {
        belowToDefault_.erase(key);
    }
}

std::optional<UserDefaults::Range> UserDefaults::range(const std::string& key) const {
    std::lock_guard lock(mutex_);
    if (auto it = ranges_.find(key); it != ranges_.end()) return it->second;
    return std::nullopt;
}

std::optional<UserDefaults::Value> UserDefaults::convert(const Value& v, Kind kind, const Range* range,
                                                         bool belowToDefault, std::string* problem) {
    if (belowToDefault && range && (kind == Kind::Integer || kind == Kind::Real)) {
        const bool exact = v.is_number_integer() && !v.is_number_unsigned();
        auto d = exact ? std::optional<double>(static_cast<double>(v.get<std::int64_t>()))
                       : asNumber(v, kind == Kind::Real);
        if (d && *d < range->min) {
            *problem = describe(v) + ", below its smallest value " + Value(range->min).dump();
            return std::nullopt;
        }
    }
    switch (kind) {
    case Kind::Text:
        if (v.is_string()) return v;
        // A number or a flag still reads as its text, but it is named: a
        // text key holding one was edited by hand or written by mistake.
        if (v.is_boolean() || v.is_number()) *problem = describe(v) + " where a text belongs";
        if (v.is_boolean()) return Value(v.get<bool>() ? "1" : "0");
        if (v.is_number_unsigned()) return Value(std::to_string(v.get<std::uint64_t>()));
        if (v.is_number_integer()) return Value(std::to_string(v.get<std::int64_t>()));
        if (v.is_number_float()) return Value(v.dump());
        *problem = describe(v) + " where a text belongs";
        return std::nullopt;
    case Kind::Flag:
        if (v.is_boolean()) return v;
        if (v.is_number()) return Value(v.get<double>() != 0);
        if (v.is_string()) {
            const std::string& s = v.get_ref<const std::string&>();
            if (!textIsFlag(s)) *problem = describe(v) + " where a yes or no belongs";
            return Value(textAsBool(s));
        }
        *problem = describe(v) + " where a yes or no belongs";
        return std::nullopt;
    case Kind::Integer: {
        const bool exact = v.is_number_integer() &&
                           !(v.is_number_unsigned() && v.get<std::uint64_t>() > std::uint64_t(INT64_MAX));
        if (exact) {
            // Kept exact: a 64-bit integer may not survive the trip through double.
            auto n = v.get<std::int64_t>();
            if (range && (static_cast<double>(n) < range->min || static_cast<double>(n) > range->max))
                return Value(static_cast<std::int64_t>(clampInto(static_cast<double>(n), range, v, problem)));
            return Value(n);
        }
        auto d = asNumber(v, false);
        if (!d || std::isnan(*d)) {
            *problem = describe(v) + " where a number belongs";
            return std::nullopt;
        }
        double x = clampInto(*d, range, v, problem);
        if (!(x >= -kInt64Limit && x < kInt64Limit)) {
            *problem = describe(v) + ", too large for a whole number";
            return std::nullopt;
        }
        return Value(static_cast<std::int64_t>(x));
    }
    case Kind::Real: {
        auto d = asNumber(v, true);
        if (!d || std::isnan(*d)) {
            *problem = describe(v) + " where a number belongs";
            return std::nullopt;
        }
        double x = clampInto(*d, range, v, problem);
        if (std::isinf(x)) {
            *problem = describe(v) + ", a number too large to use";
            return std::nullopt;
        }
        return Value(x);
    }
    }
    return std::nullopt;
}

std::optional<UserDefaults::Value> UserDefaults::typed(const std::string& key, Kind kind) const {
    std::optional<Value> stored, registered;
    std::optional<Range> range;
    bool belowToDefault = false;
    {
        std::lock_guard lock(mutex_);
        if (auto it = values_.get().find(key); it != values_.get().end() && !it->is_null()) stored = *it;
        if (auto it = registered_.get().find(key); it != registered_.get().end() && !it->is_null()) registered = *it;
        if (auto it = ranges_.find(key); it != ranges_.end()) range = it->second;
        belowToDefault = belowToDefault_.count(key) > 0;
    }
    const Range* r = range ? &*range : nullptr;
    std::optional<Value> fromDefault;
    if (registered) {
        std::string ignored;  // our own defaults: nothing to tell the operator
        fromDefault = convert(*registered, kind, r, belowToDefault, &ignored);
    }
    if (!stored) return fromDefault;
    std::string problem;
    auto value = convert(*stored, kind, r, belowToDefault, &problem);
    if (!problem.empty()) reportOnce(key, problem, value ? value : fromDefault);
    return value ? value : fromDefault;
}

void UserDefaults::reportOnce(const std::string& key, const std::string& why, const std::optional<Value>& result) const {
    {
        std::lock_guard lock(mutex_);
        // Each problem once per stored value, however often and as whatever
        // type the key is read.
        if (!reported_[key].insert(why).second) return;
    }
    std::string reads = !result ? "no value" : result->is_string() ? "\"" + printable(result->get<std::string>()) + "\"" : result->dump();
    spdlog::warn("UserDefaults: the setting {} holds {}; it is used as {} until it is changed", key, why, reads);
}

std::string UserDefaults::string(const std::string& key, const std::string& fallback) const {
    auto v = typed(key, Kind::Text);
    return v ? v->get<std::string>() : fallback;
}

std::int64_t UserDefaults::integer(const std::string& key, std::int64_t fallback) const {
    auto v = typed(key, Kind::Integer);
    return v ? v->get<std::int64_t>() : fallback;
}

double UserDefaults::real(const std::string& key, double fallback) const {
    auto v = typed(key, Kind::Real);
    return v ? v->get<double>() : fallback;
}

bool UserDefaults::boolean(const std::string& key, bool fallback) const {
    auto v = typed(key, Kind::Flag);
    return v ? v->get<bool>() : fallback;
}

void UserDefaults::set(const std::string& key, const Value& value) {
    if (value.is_null()) {
        remove(key);
        return;
    }
    {
        std::lock_guard lock(mutex_);
        auto it = values_.get().find(key);
        if (it != values_.get().end() && *it == value) return;
        values_.get()[key] = value;
        reported_.erase(key);
        ++generation_;
        scheduleWriteLocked();
    }
    notify(key);
}

void UserDefaults::remove(const std::string& key) {
    {
        std::lock_guard lock(mutex_);
        if (values_.get().erase(key) == 0) return;
        reported_.erase(key);
        ++generation_;
        scheduleWriteLocked();
    }
    notify(key);
}

namespace {

// The stores whose writer runs. At exit their writers stop and what is
// pending is written from the exiting thread, before the libraries a write
// uses are torn down under a writer still running. Held on the heap: it must
// outlive every static.
struct Writers {
    std::mutex mutex;
    // Each store with the process its writer runs in: a forked child has
    // none of its parent's threads.
    std::map<UserDefaults*, pid_t> stores;
};
Writers& writers() {
    static Writers* w = new Writers;
    return *w;
}

}  // namespace

UserDefaults::~UserDefaults() {
    stopWriter();
    synchronize();
}

void UserDefaults::stopWriter() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    writerWake_.notify_all();
    if (writer_.joinable()) writer_.join();
    auto& w = writers();
    std::lock_guard lock(w.mutex);
    w.stores.erase(this);
}

void UserDefaults::stopAllWriters() {
    auto& w = writers();
    std::vector<UserDefaults*> stores;
    {
        std::lock_guard lock(w.mutex);
        for (auto [store, pid] : w.stores)
            if (pid == ::getpid()) stores.push_back(store);
    }
    for (UserDefaults* store : stores) {
        store->stopWriter();
        store->synchronize();
    }
}

void UserDefaults::scheduleWriteLocked() {
    // One thread per store, started by its first change: stores that are only
    // read (tools, fuzzing) never start one.
    if (!writer_.joinable() && !stopping_) {
        auto& w = writers();
        {
            std::lock_guard lock(w.mutex);
            // The logger is made first, so that it is torn down after the
            // exit flush, which may have a failed write to report.
            static const bool registered =
                spdlog::default_logger_raw() != nullptr && std::atexit(&UserDefaults::stopAllWriters) == 0;
            (void)registered;
            w.stores[this] = ::getpid();
        }
        writer_ = std::thread([this] { writerLoop(); });
    }
    writerWake_.notify_all();
}

void UserDefaults::writerLoop() {
    // Named, so that a crash report or a process list tells it from the rest.
    pthread_setname_np(pthread_self(), "settings-writer");
    std::unique_lock lock(mutex_);
    for (;;) {
        // A failed write is tried again at the next change (or synchronize),
        // not in a loop against a disk that refuses it.
        writerWake_.wait(lock, [this] {
            return stopping_ || (generation_ != writtenGeneration_ && generation_ != attemptedGeneration_);
        });
        if (stopping_) return;
        // The changes of the next moment go into the same write. The wait is
        // counted from the first unwritten change, so a steady stream of
        // changes (a live view's key colour) is still written every kWriteDelay.
        writerWake_.wait_for(lock, kWriteDelay, [this] { return stopping_; });
        if (stopping_) return;  // the owner's synchronize writes it
        attemptedGeneration_ = generation_;
        lock.unlock();
        synchronize();
        lock.lock();
    }
}

bool UserDefaults::synchronize() {
    // Writers queue here, not on the value lock, so readers never wait for
    // the disk. Whoever gets the turn writes the newest values; writers
    // whose change is already on disk skip.
    std::lock_guard writeLock(writeMutex_);
    return writeLocked();
}

bool UserDefaults::writeLocked() {
    Value snapshot;
    std::uint64_t generation;
    {
        std::lock_guard lock(mutex_);
        if (writtenGeneration_ == generation_ && lastWriteOk_) return true;
        snapshot = values_.get();
        generation = generation_;
    }
    std::string error;
    // The settings hold service tokens: readable by the user only.
    bool ok = base::writeFileAtomically(path_, base::plistToXml(snapshot), 0600, &error);
    std::lock_guard lock(mutex_);
    lastWriteOk_ = ok;
    if (ok) {
        writtenGeneration_ = generation;
    } else {
        spdlog::error("UserDefaults: unable to write the settings: {}", error);
    }
    return ok;
}

void UserDefaults::notify(const std::string& key) {
    std::vector<Obs> targets;
    {
        std::lock_guard lock(mutex_);
        for (auto& [id, obs] : observers_) {
            if (obs.key.empty() || obs.key == key) targets.push_back(obs);
        }
    }
    for (auto& obs : targets) {
        auto fn = obs.fn;
        base::dispatch(obs.executor, [fn, key] { fn(key); });
    }
}

UserDefaults::ObserverId UserDefaults::observe(const std::string& key, Observer observer, base::Executor* executor) {
    std::lock_guard lock(mutex_);
    ObserverId id = nextObserver_++;
    observers_[id] = Obs{key, std::move(observer), executor};
    return id;
}

void UserDefaults::unobserve(ObserverId id) {
    std::lock_guard lock(mutex_);
    observers_.erase(id);
}

std::string UserDefaults::loadError() const {
    std::lock_guard lock(mutex_);
    return loadError_;
}

UserDefaults::Value UserDefaults::dictionaryRepresentation() const {
    std::lock_guard lock(mutex_);
    return values_.get();
}
