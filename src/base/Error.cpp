#include "base/Error.h"

namespace base {

std::string Error::localizedDescription() const {
    if (userInfo.is_object()) {
        auto it = userInfo.find("NSLocalizedDescription");
        if (it != userInfo.end() && it->is_string()) return it->get<std::string>();
    }
    return domain + " error " + std::to_string(code);
}

}  // namespace base
