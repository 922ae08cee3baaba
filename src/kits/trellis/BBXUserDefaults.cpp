#include "kits/trellis/BBXUserDefaults.h"

#include <atomic>
#include <filesystem>

#include "base/Files.h"
#include "base/Log.h"
#include "base/Plist.h"

namespace fs = std::filesystem;

namespace {
std::atomic<BBXPlatformUserDefaults*> gPlatform{nullptr};
}

BBXUserDefaults& BBXUserDefaults::standardUserDefaults() {
    static BBXUserDefaults* shared = new BBXUserDefaults(base::dataHome() + "/com.blackbox");
    return *shared;
}

BBXUserDefaults::BBXUserDefaults(std::string directory)
    : directory_(std::move(directory)), file_(directory_ + "/BBXUserDefaults.plist") {
    auto loaded = loadDefaults();
    std::lock_guard lock(access_);
    if (loaded) data_ = std::move(*loaded);
}

void BBXUserDefaults::setPlatformUserDefaults(BBXPlatformUserDefaults* platform) { gPlatform.store(platform); }
BBXPlatformUserDefaults* BBXUserDefaults::platformUserDefaults() { return gPlatform.load(); }

std::optional<nlohmann::json> BBXUserDefaults::loadDefaults() {
    std::lock_guard lock(io_);
    std::error_code ec;
    auto status = fs::symlink_status(file_, ec);
    if (ec || !fs::exists(status)) return std::nullopt;
    if (fs::is_directory(status)) {
        spdlog::warn("[Trellis:UserDefaults] found directory where file expected. Removing conflicting directory");
        fs::remove_all(file_, ec);
        if (ec) spdlog::error("[Trellis:UserDefaults] error removing conflicting directory: {{error = {}}}", ec.message());
        return std::nullopt;
    }
    base::ReadFailure failure;
    auto value = base::plistReadFile(file_, &failure);
    if (!value || !value->is_object()) {
        // Keep the damaged file for inspection instead of writing over it later.
        std::string aside = base::setAside(file_);
        spdlog::error("[Trellis:UserDefaults] failed to read existing UserDefaults file: {}{}",
                      value ? "it does not hold a dictionary" : failure.why,
                      aside.empty() ? std::string() : " (kept as " + aside + ")");
        return std::nullopt;
    }
    return value;
}

std::optional<nlohmann::json> BBXUserDefaults::objectForKey(const std::string& key) {
    std::lock_guard lock(access_);
    auto it = data_.find(key);
    if (it == data_.end()) return std::nullopt;
    return *it;
}

std::optional<std::string> BBXUserDefaults::stringForKey(const std::string& key) {
    auto v = objectForKey(key);
    if (v && v->is_string()) return v->get<std::string>();
    return std::nullopt;
}

bool BBXUserDefaults::boolForKey(const std::string& key) {
    auto v = objectForKey(key);
    if (!v) return false;
    if (v->is_boolean()) return v->get<bool>();
    if (v->is_number()) return v->get<double>() != 0.0;
    return false;
}

void BBXUserDefaults::setObject(const nlohmann::json& value, const std::string& key) {
    std::lock_guard lock(access_);
    if (value.is_null()) data_.erase(key);
    else data_[key] = value;
}

void BBXUserDefaults::setString(const std::optional<std::string>& value, const std::string& key) {
    setObject(value ? nlohmann::json(*value) : nlohmann::json(), key);
}

void BBXUserDefaults::setBool(bool value, const std::string& key) { setObject(nlohmann::json(value), key); }

void BBXUserDefaults::removeObjectForKey(const std::string& key) {
    std::lock_guard lock(access_);
    data_.erase(key);
}

void BBXUserDefaults::removeAllObjects() {
    std::lock_guard lock(access_);
    data_ = nlohmann::json::object();
}

nlohmann::json BBXUserDefaults::dictionaryRepresentation() {
    std::lock_guard lock(access_);
    return data_;
}

bool BBXUserDefaults::synchronize() {
    nlohmann::json snapshot = dictionaryRepresentation();
    std::lock_guard lock(io_);
    std::error_code ec;
    if (!fs::exists(directory_, ec)) {
        fs::create_directories(directory_, ec);
        if (ec) spdlog::error("[Trellis:UserDefaults] failed to create directory with error:{}", ec.message());
    }
    std::string error;
    if (!base::writeFileAtomically(file_, base::plistToXml(snapshot), &error)) {
        spdlog::error("[Trellis:UserDefaults] Unable to open file for writing at path {}", file_);
        return false;
    }
    return true;
}

std::optional<nlohmann::json> BBXUserDefaults::objectForKeyByMigratingFromNSUserDefaults(const std::string& key) {
    if (key.empty()) return std::nullopt;
    if (auto v = objectForKey(key)) return v;
    BBXPlatformUserDefaults* platform = platformUserDefaults();
    if (!platform) return std::nullopt;
    auto old = platform->objectForKey(key);
    if (!old || old->is_null()) return std::nullopt;
    setObject(*old, key);
    // Only forget the old value once it is safely in our file.
    if (synchronize()) {
        platform->removeObjectForKey(key);
        platform->synchronize();
    }
    return old;
}

void BBXUserDefaults::migrateFromNSUserDefaults(const std::vector<std::string>& keys) {
    BBXPlatformUserDefaults* platform = platformUserDefaults();
    if (!platform) return;
    bool copied = false;
    for (const auto& key : keys) {
        auto v = platform->objectForKey(key);
        if (v && !v->is_null()) {
            setObject(*v, key);
            copied = true;
        }
    }
    if (!copied || !synchronize()) return;
    for (const auto& key : keys) platform->removeObjectForKey(key);
    platform->synchronize();
}
