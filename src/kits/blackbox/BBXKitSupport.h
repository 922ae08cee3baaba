#pragma once
// What the crash kit's launch-time code asks of the SDK core and the
// application: the debug switch, the bundle identifier's namespace and the
// information dictionary.
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

// The SDK core's verbose-logging switch.
bool BBXDebugMode();
void BBXSetDebugMode(bool on);

// The main bundle identifier with every "/" replaced by "_".
std::string BBXBundleIdentifierNamespace();
// The application's information dictionary.
nlohmann::json BBXMainInfoDictionary();

// The boolean reading of a configuration or settings value: booleans as
// they are, numbers by being non-zero, and text true unless it is "NO",
// "0", "false" or empty (compared without case). Other types have no reading.
std::optional<bool> BBXBooleanReading(const nlohmann::json& value);
