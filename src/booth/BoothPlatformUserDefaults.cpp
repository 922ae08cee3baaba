#include "booth/BoothPlatformUserDefaults.h"

#include "core/UserDefaults.h"

BoothPlatformUserDefaults& BoothPlatformUserDefaults::shared() {
    static BoothPlatformUserDefaults* instance = new BoothPlatformUserDefaults();
    return *instance;
}

std::optional<nlohmann::json> BoothPlatformUserDefaults::objectForKey(const std::string& key) {
    const auto stored = UserDefaults::standard().dictionaryRepresentation();
    auto it = stored.find(key);
    if (it == stored.end() || it->is_null()) return std::nullopt;
    return *it;
}

void BoothPlatformUserDefaults::removeObjectForKey(const std::string& key) { UserDefaults::standard().remove(key); }

void BoothPlatformUserDefaults::synchronize() { UserDefaults::standard().synchronize(); }
