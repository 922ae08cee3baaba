#pragma once
// A JSON value held behind a pointer, with value semantics. Headers that
// many files include keep one of these instead of a JSON member, so that
// they need only the library's forward declarations: the full JSON header
// is costly to compile, and most of those files never look inside.
#include <memory>
#include <string>
#include <nlohmann/json_fwd.hpp>

namespace base {

class BoxedJson {
public:
    // An empty object.
    BoxedJson();
    BoxedJson(const nlohmann::json& value);  // NOLINT: stands in for a JSON member
    BoxedJson(nlohmann::json&& value);       // NOLINT
    BoxedJson(const BoxedJson& other);
    BoxedJson(BoxedJson&& other) noexcept;
    BoxedJson& operator=(const BoxedJson& other);
    BoxedJson& operator=(BoxedJson&& other) noexcept;
    BoxedJson& operator=(const nlohmann::json& value);
    BoxedJson& operator=(nlohmann::json&& value);
    ~BoxedJson();

    nlohmann::json& get();
    const nlohmann::json& get() const;
    operator nlohmann::json&() { return get(); }              // NOLINT
    operator const nlohmann::json&() const { return get(); }  // NOLINT
    nlohmann::json& operator[](const std::string& key);
    nlohmann::json& operator[](const char* key);

private:
    // Never null, also after a move (the moved-from box holds an empty object).
    std::unique_ptr<nlohmann::json> value_;
};

}  // namespace base
