#include "kits/tally/BBXAnalyticsMetadataController.h"

#include "kits/tally/BBXAnalyticsEvent.h"

using base::Json;

namespace {
void setValue(Json& d, const char* key, const std::optional<std::string>& value) {
    if (value) d[key] = *value;
}
}  // namespace

std::optional<std::string> BBXAnalyticsMetadataController::unwrapBetaToken(const std::optional<std::string>& token) {
    if (!token) return std::nullopt;
    auto colon = token->find(':');
    if (colon == std::string::npos || token->find(':', colon + 1) != std::string::npos) return std::nullopt;
    if (token->substr(0, colon) != "2") return std::nullopt;
    return token->substr(colon + 1);
}

Json BBXAnalyticsMetadataController::metadataWithTimeStamp(std::uint64_t timestamp,
                                                           const std::optional<std::string>& betaToken,
                                                           const std::optional<std::string>& adToken,
                                                           const BBXAnalyticsMetadataSource& source) {
    Json d = Json::object();
    d["generator"] = kGenerator;
    // This platform has no advertising framework or identifier.
    d["links_ad_support"] = false;
    d["advertising_tracking_enabled"] = false;
    setValue(d, "advertising_id", adToken);
    setValue(d, "api_key", source.apiKey);
    setValue(d, "session_id", source.executionIdentifier);
    d["started_at"] = static_cast<std::int64_t>(timestamp / 1000);
    setValue(d, "install_id", source.installID);
    setValue(d, "beta_tester_token", unwrapBetaToken(betaToken));
    setValue(d, "model", source.hostModel);
    setValue(d, "machine", source.hostModel);
    setValue(d, "locale", source.locale);
    setValue(d, "os_build", source.hostOSVersion);
    setValue(d, "os_version", source.hostOSVersionName);
    d["platform"] = "mac";
    d["platform_code"] = 0;
    d["cores"] = source.cores;
    d["jailbroken"] = false;
    setValue(d, "bundle_id", source.bundleNamespace);
    setValue(d, "bundle_version", source.bundleVersion);
    setValue(d, "bundle_short_version", source.bundleShortVersion);
    setValue(d, "instance_id", source.instanceIdentifier);
    return d;
}

BBXAnalyticsMetadataController::BBXAnalyticsMetadataController(std::uint64_t timestamp,
                                                               const std::optional<std::string>& betaToken,
                                                               const BBXAnalyticsMetadataSource& source)
    : metadata_(metadataWithTimeStamp(timestamp, betaToken, std::nullopt, source)),
      json_(BBXAnalyticsEvent::encodeJSON(metadata_)) {}
