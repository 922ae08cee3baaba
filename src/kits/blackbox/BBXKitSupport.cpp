#include "kits/blackbox/BBXKitSupport.h"

#include <algorithm>
#include <cctype>

#include "kits/trellis/TRLUtilities.h"
#include "base/Text.h"

bool BBXDebugMode() { return TRLDebugEnabled(); }
void BBXSetDebugMode(bool on) { TRLSetDebugEnabled(on); }
std::string BBXBundleIdentifierNamespace() { return TRLBundleIdentifierNamespace(); }
nlohmann::json BBXMainInfoDictionary() { return TRLMainInfoDictionary(); }

std::optional<bool> BBXBooleanReading(const nlohmann::json& value) {
    if (value.is_boolean()) return value.get<bool>();
    if (value.is_number_integer()) return value.get<long long>() != 0;
    if (value.is_number_unsigned()) return value.get<unsigned long long>() != 0;
    if (value.is_number_float()) return value.get<double>() != 0.0;
    if (value.is_string()) {
        std::string text = base::toLowerAscii(value.get_ref<const std::string&>());
        // Surrounding blanks come easily with an environment variable.
        auto first = text.find_first_not_of(" \t\r\n");
        text = first == std::string::npos ? std::string() : text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
        return !(text.empty() || text == "no" || text == "0" || text == "false");
    }
    return std::nullopt;
}
