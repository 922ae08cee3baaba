#pragma once
// The session metadata that heads every log file.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "base/Json.h"

// What the SDK core and the host tell about this run; an absent value
// leaves its key out.
struct BBXAnalyticsMetadataSource {
    std::optional<std::string> apiKey;
    std::optional<std::string> executionIdentifier;
    std::optional<std::string> installID;
    std::optional<std::string> instanceIdentifier;
    std::optional<std::string> hostModel;
    std::optional<std::string> hostOSVersion;      // build string
    std::optional<std::string> hostOSVersionName;  // major.minor.patch
    std::optional<std::string> locale;
    std::optional<std::string> bundleNamespace;
    std::optional<std::string> bundleVersion;
    std::optional<std::string> bundleShortVersion;
    std::int64_t cores = 0;
};

class BBXAnalyticsMetadataController {
public:
    static constexpr const char* kGenerator = "Tally Mac SDK/1.0.1";

    BBXAnalyticsMetadataController(std::uint64_t timestamp, const std::optional<std::string>& betaToken,
                                   const BBXAnalyticsMetadataSource& source);
    const base::Json& metadata() const { return metadata_; }
    const std::string& metadataJSONData() const { return json_; }

    static base::Json metadataWithTimeStamp(std::uint64_t timestamp, const std::optional<std::string>& betaToken,
                                            const std::optional<std::string>& adToken,
                                            const BBXAnalyticsMetadataSource& source);
    // "2:<text>" gives the text; anything else gives none.
    static std::optional<std::string> unwrapBetaToken(const std::optional<std::string>& token);

private:
    base::Json metadata_;
    std::string json_;
};
