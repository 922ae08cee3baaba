#pragma once
// Checked access over nlohmann-json: never get<> on an unchecked value.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <nlohmann/json.hpp>

namespace base {

using Json = nlohmann::json;

std::optional<Json> parseJson(std::string_view text);
std::optional<std::string> jsonString(const Json& object, std::string_view key);
std::optional<std::int64_t> jsonInt(const Json& object, std::string_view key);
std::optional<double> jsonNumber(const Json& object, std::string_view key);
std::optional<bool> jsonBool(const Json& object, std::string_view key);
// Pointers into `object`, null when missing or of another type.
const Json* jsonObject(const Json& object, std::string_view key);
const Json* jsonArray(const Json& object, std::string_view key);

}  // namespace base
