#include "kits/blackbox/BBXTallyBridge.h"

#include "kits/tally/Tally.h"
#include "kits/trellis/TRLKit.h"

TRLKitDescriptor BBXTallyKitDescriptor() {
    TRLKitDescriptor tally;
    tally.className = "Tally";
    tally.bundleIdentifier = [] { return Tally::bundleIdentifier(); };
    tally.kitDisplayVersion = [] { return Tally::kitDisplayVersion(); };
    tally.kitBuildVersion = [] { return std::optional<std::string>(Tally::kitBuildVersion()); };
    tally.initializeIfNeeded = [] { Tally::initializeIfNeeded(); };
    return tally;
}

void BBXTallyStart(const std::optional<std::string>& betaToken) { Tally::startWithBetaToken(betaToken); }

void BBXTallyLogEvent(const std::string& name, const nlohmann::json& attributes) {
    BBXTallyAttributes converted;
    if (attributes.is_object()) {
        for (auto it = attributes.begin(); it != attributes.end(); ++it) converted.emplace_back(it.key(), it.value());
    }
    Tally::logCustomEventWithName(name, converted);
}

void BBXTallyLogPreviousSessionCrashed(std::optional<double> secondsSince1970) {
    Tally::logPreviousSessionCrashedOnDate(secondsSince1970);
}
