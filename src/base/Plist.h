#pragma once
// Property lists over libplist, held as JSON values: dictionaries, arrays,
// strings, integers, reals and booleans map one to one; data becomes a JSON
// binary value; a date becomes seconds since 1970 as a real.
#include <optional>
#include <string>
#include <string_view>
#include <nlohmann/json_fwd.hpp>

namespace base {

// XML or binary property list bytes.
std::optional<nlohmann::json> plistParse(std::string_view bytes);
std::optional<nlohmann::json> plistReadFile(const std::string& path);
std::string plistToXml(const nlohmann::json& value);
std::string plistToBinary(const nlohmann::json& value);

}  // namespace base
