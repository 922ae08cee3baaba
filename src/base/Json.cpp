#include "base/Json.h"

namespace base {

std::optional<Json> parseJson(std::string_view text) {
    Json value = Json::parse(text.begin(), text.end(), nullptr, false);
    if (value.is_discarded()) return std::nullopt;
    return value;
}

namespace {
const Json* member(const Json& object, std::string_view key) {
    if (!object.is_object()) return nullptr;
    auto it = object.find(std::string(key));
    return it == object.end() ? nullptr : &*it;
}
}  // namespace

std::optional<std::string> jsonString(const Json& object, std::string_view key) {
    auto* v = member(object, key);
    if (v && v->is_string()) return v->get<std::string>();
    return std::nullopt;
}

std::optional<std::int64_t> jsonInt(const Json& object, std::string_view key) {
    auto* v = member(object, key);
    if (!v) return std::nullopt;
    // Unsigned first: is_number_integer() is true for unsigned values too,
    // and one above INT64_MAX would come out negative.
    if (v->is_number_unsigned()) {
        auto u = v->get<std::uint64_t>();
        if (u > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
        return static_cast<std::int64_t>(u);
    }
    if (v->is_number_integer()) return v->get<std::int64_t>();
    if (v->is_number_float()) {
        double d = v->get<double>();
        if (d != d || d > 9.2e18 || d < -9.2e18) return std::nullopt;
        return static_cast<std::int64_t>(d);
    }
    return std::nullopt;
}

std::optional<double> jsonNumber(const Json& object, std::string_view key) {
    auto* v = member(object, key);
    if (v && v->is_number()) return v->get<double>();
    return std::nullopt;
}

std::optional<bool> jsonBool(const Json& object, std::string_view key) {
    auto* v = member(object, key);
    if (v && v->is_boolean()) return v->get<bool>();
    return std::nullopt;
}

const Json* jsonObject(const Json& object, std::string_view key) {
    auto* v = member(object, key);
    return v && v->is_object() ? v : nullptr;
}

const Json* jsonArray(const Json& object, std::string_view key) {
    auto* v = member(object, key);
    return v && v->is_array() ? v : nullptr;
}

}  // namespace base
