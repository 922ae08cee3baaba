#include "core/UserDefaults.h"

#include <cstdlib>
#include <filesystem>
#include <vector>

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

// strtod's reading, but with a point as the decimal separator in every locale.
std::optional<double> textAsNumber(const std::string& s) { return base::parseLeadingDouble(s); }

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
        auto defaults = defaultsFile.empty() ? std::nullopt : base::plistReadFile(defaultsFile);
        if (defaults && defaults->is_object()) {
            store->registerDefaults(*defaults);
        } else {
            spdlog::warn("UserDefaults: no registered defaults at \"{}\"", defaultsFile);
        }
        current = store;
    }
    return *current;
}

UserDefaults::UserDefaults(std::string path) : path_(std::move(path)) {
    std::error_code ec;
    if (!std::filesystem::exists(path_, ec)) return;
    auto bytes = base::readFile(path_);
    std::optional<Value> parsed;
    if (bytes && !bytes->empty()) parsed = base::plistParse(*bytes);
    if (parsed && parsed->is_object()) {
        values_ = std::move(*parsed);
        return;
    }
    std::string why = !bytes ? "it cannot be read"
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
    for (auto it = dictionary.begin(); it != dictionary.end(); ++it) registered_[it.key()] = it.value();
}

std::optional<UserDefaults::Value> UserDefaults::object(const std::string& key) const {
    std::lock_guard lock(mutex_);
    if (auto it = values_.find(key); it != values_.end() && !it->is_null()) return *it;
    if (auto it = registered_.find(key); it != registered_.end() && !it->is_null()) return *it;
    return std::nullopt;
}

std::string UserDefaults::string(const std::string& key, const std::string& fallback) const {
    auto v = object(key);
    if (!v) return fallback;
    if (v->is_string()) return v->get<std::string>();
    if (v->is_boolean()) return v->get<bool>() ? "1" : "0";
    if (v->is_number_integer()) return std::to_string(v->get<std::int64_t>());
    if (v->is_number_unsigned()) return std::to_string(v->get<std::uint64_t>());
    if (v->is_number_float()) return v->dump();
    return fallback;
}

std::int64_t UserDefaults::integer(const std::string& key, std::int64_t fallback) const {
    auto v = object(key);
    if (!v) return fallback;
    if (v->is_boolean()) return v->get<bool>() ? 1 : 0;
    if (v->is_number_integer()) return v->get<std::int64_t>();
    if (v->is_number_unsigned()) return static_cast<std::int64_t>(v->get<std::uint64_t>());
    if (v->is_number_float()) return static_cast<std::int64_t>(v->get<double>());
    if (v->is_string()) {
        const std::string& s = v->get_ref<const std::string&>();
        char* end = nullptr;
        long long n = std::strtoll(s.c_str(), &end, 10);
        return end == s.c_str() ? 0 : n;
    }
    return fallback;
}

double UserDefaults::real(const std::string& key, double fallback) const {
    auto v = object(key);
    if (!v) return fallback;
    if (v->is_boolean()) return v->get<bool>() ? 1 : 0;
    if (v->is_number()) return v->get<double>();
    if (v->is_string()) return textAsNumber(v->get<std::string>()).value_or(0);
    return fallback;
}

bool UserDefaults::boolean(const std::string& key, bool fallback) const {
    auto v = object(key);
    if (!v) return fallback;
    if (v->is_boolean()) return v->get<bool>();
    if (v->is_number()) return v->get<double>() != 0;
    if (v->is_string()) return textAsBool(v->get<std::string>());
    return fallback;
}

void UserDefaults::set(const std::string& key, const Value& value) {
    if (value.is_null()) {
        remove(key);
        return;
    }
    {
        std::lock_guard lock(mutex_);
        auto it = values_.find(key);
        if (it != values_.end() && *it == value) return;
        values_[key] = value;
        ++generation_;
    }
    synchronize();
    notify(key);
}

void UserDefaults::remove(const std::string& key) {
    {
        std::lock_guard lock(mutex_);
        if (values_.erase(key) == 0) return;
        ++generation_;
    }
    synchronize();
    notify(key);
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
        snapshot = values_;
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
    return values_;
}
