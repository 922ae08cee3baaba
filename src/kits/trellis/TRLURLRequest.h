#pragma once
// An HTTP request and response as the SDK's session layer carries them.
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

using TRLHeaderList = std::vector<std::pair<std::string, std::string>>;

enum class TRLURLRequestCachePolicy {
    UseProtocolCachePolicy,
    ReloadIgnoringLocalAndRemoteCacheData,
};

struct TRLURLRequest {
    std::string url;
    std::string method = "GET";
    TRLHeaderList headers;         // in the order they are sent; a name may repeat
    std::string body;              // sent when bodyFile is empty
    std::string bodyFile;          // a file streamed as the body
    double timeoutInterval = 60;   // seconds without progress before the request fails
    TRLURLRequestCachePolicy cachePolicy = TRLURLRequestCachePolicy::UseProtocolCachePolicy;

    // Every value of the header (names compared without case), joined by ", ".
    std::optional<std::string> valueForHTTPHeaderField(std::string_view name) const;
    // Replaces every value of the header.
    void setValue(const std::string& value, const std::string& name);
    // Adds one more value under the header.
    void addValue(const std::string& value, const std::string& name);
};

struct TRLHTTPURLResponse {
    std::string url;
    long statusCode = 0;
    TRLHeaderList headers;
    std::optional<std::string> valueForHTTPHeaderField(std::string_view name) const;
};

bool TRLHeaderNameEquals(std::string_view a, std::string_view b);
