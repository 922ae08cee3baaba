#pragma once
// The crash kit's calls into the analytics kit, kept in one place.
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

struct TRLKitDescriptor;

TRLKitDescriptor BBXTallyKitDescriptor();
void BBXTallyStart(const std::optional<std::string>& betaToken);
void BBXTallyLogEvent(const std::string& name, const nlohmann::json& attributes);
void BBXTallyLogPreviousSessionCrashed(std::optional<double> secondsSince1970);
