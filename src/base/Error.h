#pragma once
#include <cstdint>
#include <string>

#include "base/BoxedJson.h"

namespace base {

// An error object: domain, code and user information, as handed to
// completion callbacks.
struct Error {
    std::string domain;
    std::int64_t code = 0;
    BoxedJson userInfo;  // an object

    Error() = default;
    Error(std::string d, std::int64_t c, std::string description = {});
    // The "NSLocalizedDescription" entry, else "<domain> error <code>".
    std::string localizedDescription() const;
};

}  // namespace base
