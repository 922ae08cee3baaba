#include "kits/trellis/TRLURLRequest.h"

#include <algorithm>
#include "base/Text.h"

bool TRLHeaderNameEquals(std::string_view a, std::string_view b) { return base::equalsIgnoringAsciiCase(a, b); }

namespace {
std::optional<std::string> joined(const TRLHeaderList& headers, std::string_view name) {
    std::optional<std::string> out;
    for (const auto& [k, v] : headers) {
        if (!TRLHeaderNameEquals(k, name)) continue;
        if (out) *out += ", " + v;
        else out = v;
    }
    return out;
}
}  // namespace

std::optional<std::string> TRLURLRequest::valueForHTTPHeaderField(std::string_view name) const {
    return joined(headers, name);
}

void TRLURLRequest::setValue(const std::string& value, const std::string& name) {
    auto first = std::find_if(headers.begin(), headers.end(), [&](auto& h) { return TRLHeaderNameEquals(h.first, name); });
    if (first == headers.end()) {
        headers.emplace_back(name, value);
        return;
    }
    first->second = value;
    headers.erase(std::remove_if(first + 1, headers.end(), [&](auto& h) { return TRLHeaderNameEquals(h.first, name); }),
                  headers.end());
}

void TRLURLRequest::addValue(const std::string& value, const std::string& name) { headers.emplace_back(name, value); }

std::optional<std::string> TRLHTTPURLResponse::valueForHTTPHeaderField(std::string_view name) const {
    return joined(headers, name);
}
