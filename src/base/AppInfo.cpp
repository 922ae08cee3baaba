#include "base/AppInfo.h"
#include <nlohmann/json.hpp>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "base/Files.h"
#include "base/Log.h"
#include "base/Plist.h"

namespace base {

namespace fs = std::filesystem;

AppInfo& AppInfo::shared() {
    static AppInfo* info = new AppInfo();
    return *info;
}

std::string AppInfo::executablePath() const {
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return {};
    buf[n] = 0;
    return buf;
}

AppInfo::AppInfo() {
    std::string dir;
    if (const char* env = std::getenv("FLASHWREN_RESOURCES"); env && *env) {
        dir = env;
    } else {
        fs::path p = fs::path(executablePath()).parent_path();
        for (int i = 0; i < 5 && !p.empty(); ++i) {
            std::error_code ec;
            if (fs::exists(p / "resources" / "Info.plist", ec)) {
                dir = (p / "resources").string();
                break;
            }
            if (p == p.parent_path()) break;
            p = p.parent_path();
        }
#ifdef FLASHWREN_SOURCE_RESOURCES
        if (dir.empty()) dir = FLASHWREN_SOURCE_RESOURCES;
#endif
    }
    load(dir);
}

void AppInfo::load(const std::string& resourcesDir) {
    resourcesDir_ = resourcesDir;
    info_ = nlohmann::json::object();
    loadError_.clear();
    const std::string path = resourcesDir.empty() ? std::string("Info.plist") : resourcesDir + "/Info.plist";
    ReadFailure failure;
    std::optional<nlohmann::json> value;
    if (resourcesDir.empty()) failure.why = "no resources folder was found beside the program";
    else value = plistReadFile(path, &failure);
    if (value && value->is_object()) {
        info_ = *value;
        return;
    }
    // Without it the application has no identity, and the kits that need one
    // (crash reporting among them) stay off: the reason must be on record.
    loadError_ = "the application information " + path + " could not be read: " +
                 (value ? std::string("it does not hold a dictionary") : failure.why);
    spdlog::error("AppInfo: {}", loadError_);
}

std::string AppInfo::loadError() const { return loadError_; }

std::string AppInfo::string(const std::string& key) const {
    const nlohmann::json& info = info_;
    auto it = info.find(key);
    if (it != info.end() && it->is_string()) return it->get<std::string>();
    return {};
}

}  // namespace base
