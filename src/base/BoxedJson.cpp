#include "base/BoxedJson.h"

#include <nlohmann/json.hpp>

namespace base {

BoxedJson::BoxedJson() : value_(std::make_unique<nlohmann::json>(nlohmann::json::object())) {}
BoxedJson::BoxedJson(const nlohmann::json& value) : value_(std::make_unique<nlohmann::json>(value)) {}
BoxedJson::BoxedJson(nlohmann::json&& value) : value_(std::make_unique<nlohmann::json>(std::move(value))) {}
BoxedJson::BoxedJson(const BoxedJson& other) : value_(std::make_unique<nlohmann::json>(*other.value_)) {}
BoxedJson::BoxedJson(BoxedJson&& other) noexcept : BoxedJson(std::move(*other.value_)) {}
BoxedJson& BoxedJson::operator=(const BoxedJson& other) {
    if (this != &other) *value_ = *other.value_;
    return *this;
}
BoxedJson& BoxedJson::operator=(BoxedJson&& other) noexcept {
    if (this != &other) *value_ = std::move(*other.value_);
    return *this;
}
BoxedJson& BoxedJson::operator=(const nlohmann::json& value) {
    *value_ = value;
    return *this;
}
BoxedJson& BoxedJson::operator=(nlohmann::json&& value) {
    *value_ = std::move(value);
    return *this;
}
BoxedJson::~BoxedJson() = default;

nlohmann::json& BoxedJson::get() { return *value_; }
const nlohmann::json& BoxedJson::get() const { return *value_; }
nlohmann::json& BoxedJson::operator[](const std::string& key) { return (*value_)[key]; }
nlohmann::json& BoxedJson::operator[](const char* key) { return (*value_)[key]; }

}  // namespace base
