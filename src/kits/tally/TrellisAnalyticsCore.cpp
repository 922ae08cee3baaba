#include "kits/tally/TrellisAnalyticsCore.h"

#include <cstdlib>
#include <thread>

#include "base/AppInfo.h"
#include "kits/trellis/Trellis.h"
#include "kits/trellis/TRLUtilities.h"

std::optional<base::Json> TrellisAnalyticsCore::settings() {
    auto s = Trellis::sharedSDK().settings();
    if (!s) return std::nullopt;
    return *s;
}

bool TrellisAnalyticsCore::isFirstInstall() { return Trellis::sharedSDK().isFirstInstall(); }

std::optional<std::string> TrellisAnalyticsCore::apiKey() { return Trellis::sharedSDK().APIKey(); }

std::optional<std::string> TrellisAnalyticsCore::installID() {
    const auto& id = Trellis::sharedSDK().installID();
    if (id.empty()) return std::nullopt;
    return id;
}

std::optional<std::string> TrellisAnalyticsCore::currentLocaleIdentifier() {
    for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* v = std::getenv(var);
        if (!v || !*v) continue;
        std::string s(v);
        s = s.substr(0, s.find_first_of(".@"));
        if (s.empty() || s == "C" || s == "POSIX") return std::string("en_US");
        return s;
    }
    return std::string("en_US");
}

BBXAnalyticsMetadataSource TrellisAnalyticsCore::metadataSource() {
    auto& sdk = Trellis::sharedSDK();
    BBXAnalyticsMetadataSource s;
    s.apiKey = sdk.APIKey();
    s.executionIdentifier = sdk.executionIdentifier();
    s.installID = installID();
    s.instanceIdentifier = sdk.instanceIdentifier();
    s.hostModel = TRLHostModel();
    s.hostOSVersion = TRLHostOSBuildVersion();
    s.hostOSVersionName = TRLHostOSDisplayVersion();
    s.locale = currentLocaleIdentifier();
    s.bundleNamespace = TRLBundleIdentifierNamespace();
    auto& info = base::AppInfo::shared();
    if (!info.buildVersion().empty()) s.bundleVersion = info.buildVersion();
    if (!info.shortVersion().empty()) s.bundleShortVersion = info.shortVersion();
    s.cores = static_cast<std::int64_t>(std::thread::hardware_concurrency());
    return s;
}
