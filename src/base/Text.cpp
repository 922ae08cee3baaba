#include "base/Text.h"

namespace base {

std::string toLowerAscii(std::string_view text) {
    std::string out(text);
    for (auto& c : out) c = asciiLower(c);
    return out;
}

std::string toUpperAscii(std::string_view text) {
    std::string out(text);
    for (auto& c : out) c = asciiUpper(c);
    return out;
}

bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (asciiLower(a[i]) != asciiLower(b[i])) return false;
    return true;
}

std::string_view trimView(std::string_view text) {
    while (!text.empty() && isAsciiSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && isAsciiSpace(text.back())) text.remove_suffix(1);
    return text;
}

std::string trim(std::string_view text) { return std::string(trimView(text)); }

}  // namespace base
