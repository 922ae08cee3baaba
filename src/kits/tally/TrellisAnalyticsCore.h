#pragma once
// The analytics controller's view of the SDK core in a running application.
#include "kits/tally/BBXAnalyticsController.h"

class TrellisAnalyticsCore : public BBXAnalyticsCore {
public:
    std::optional<base::Json> settings() override;
    bool isFirstInstall() override;
    std::optional<std::string> apiKey() override;
    std::optional<std::string> installID() override;
    BBXAnalyticsMetadataSource metadataSource() override;
    // The user's locale as "language_REGION", from the usual variables.
    static std::optional<std::string> currentLocaleIdentifier();
};
