#include "kits/blackbox/BBXApplication.h"

#include "kits/blackbox/BBXKitSupport.h"
#include "kits/blackbox/crashtime/BBXContext.h"

std::optional<std::string> BBXApplicationExtensionPointIdentifier() {
    const nlohmann::json info = BBXMainInfoDictionary();
    if (!info.is_object()) return std::nullopt;
    auto extension = info.find("NSExtension");
    if (extension == info.end()) return std::nullopt;
    if (!extension->is_object()) {
        BBXSDKLog("%s: Error: NSExtension Info.plist entry is mal-formed\n", __func__);
        return std::nullopt;
    }
    auto identifier = extension->find("NSExtensionPointIdentifier");
    if (identifier == extension->end() || !identifier->is_string()) {
        BBXSDKLog("%s: Error: NSExtensionPointIdentifier Info.plist entry is mal-formed\n", __func__);
        return std::nullopt;
    }
    return identifier->get<std::string>();
}

bool BBXApplicationIsExtension() { return BBXApplicationExtensionPointIdentifier().has_value(); }

void BBXApplicationActivity(std::uint64_t, const std::string&, const std::function<void()>& block) {
    if (block) block();
}

std::uint64_t BBXProfileMark() { return BBXAbsoluteTime(); }

double BBXProfileEndInterval(std::uint64_t mark) {
    const std::uint64_t now = BBXAbsoluteTime();
    return now >= mark ? static_cast<double>(now - mark) / 1e6 : 0.0;
}
