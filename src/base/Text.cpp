#include "base/Text.h"

#include <charconv>

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

namespace {
// Parses from the start of `text`; `used` is how many characters the number took.
std::optional<double> leadingNumber(std::string_view text, std::size_t& used) {
    std::size_t i = 0;
    while (i < text.size() && isAsciiSpace(text[i])) ++i;
    if (i < text.size() && text[i] == '+' && !(i + 1 < text.size() && text[i + 1] == '-')) ++i;
    double value = 0;
    auto [end, ec] = std::from_chars(text.data() + i, text.data() + text.size(), value);
    // Beyond a double's range is no number the callers could use.
    if (ec != std::errc()) return std::nullopt;
    used = static_cast<std::size_t>(end - text.data());
    return value;
}
}  // namespace

std::optional<double> parseDouble(std::string_view text) {
    std::size_t used = 0;
    auto value = leadingNumber(text, used);
    if (!value || used != text.size()) return std::nullopt;
    return value;
}

std::optional<double> parseLeadingDouble(std::string_view text) {
    std::size_t used = 0;
    return leadingNumber(text, used);
}

std::string formatFixed(double value, int decimals) {
    char buffer[512];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
    if (ec != std::errc()) return std::string();
    return std::string(buffer, end);
}

}  // namespace base
