#include "kits/trellis/TRLKit.h"

#include <map>
#include <mutex>

namespace {
std::mutex gMutex;
std::map<std::string, TRLKitDescriptor>& kits() {
    static auto* map = new std::map<std::string, TRLKitDescriptor>();
    return *map;
}
}  // namespace

void TRLKitRegistry::registerKit(TRLKitDescriptor descriptor) {
    std::lock_guard lock(gMutex);
    std::string name = descriptor.className;
    kits()[name] = std::move(descriptor);
}

void TRLKitRegistry::unregisterKit(const std::string& className) {
    std::lock_guard lock(gMutex);
    kits().erase(className);
}

std::optional<TRLKitDescriptor> TRLKitRegistry::kitNamed(const std::string& className) {
    std::lock_guard lock(gMutex);
    auto it = kits().find(className);
    if (it == kits().end()) return std::nullopt;
    return it->second;
}

std::vector<std::string> TRLKitRegistry::registeredClassNames() {
    std::lock_guard lock(gMutex);
    std::vector<std::string> names;
    for (auto& [name, d] : kits()) names.push_back(name);
    return names;
}
