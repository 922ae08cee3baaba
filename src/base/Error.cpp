#include "base/Error.h"

#include <nlohmann/json.hpp>

namespace base {

Error::Error(std::string d, std::int64_t c, std::string description) : domain(std::move(d)), code(c) {
    if (!description.empty()) userInfo["NSLocalizedDescription"] = description;
}

std::string Error::localizedDescription() const {
    const nlohmann::json& info = userInfo;
    if (info.is_object()) {
        auto it = info.find("NSLocalizedDescription");
        if (it != info.end() && it->is_string()) return it->get<std::string>();
    }
    return domain + " error " + std::to_string(code);
}

}  // namespace base
