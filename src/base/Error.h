#pragma once
#include <cstdint>
#include <string>
#include <nlohmann/json.hpp>

namespace base {

// An error object: domain, code and user information, as handed to
// completion callbacks.
struct Error {
    std::string domain;
    std::int64_t code = 0;
    nlohmann::json userInfo = nlohmann::json::object();

    Error() = default;
    Error(std::string d, std::int64_t c, std::string description = {})
        : domain(std::move(d)), code(c) {
        if (!description.empty()) userInfo["NSLocalizedDescription"] = description;
    }
    // The "NSLocalizedDescription" entry, else "<domain> error <code>".
    std::string localizedDescription() const;
};

}  // namespace base
