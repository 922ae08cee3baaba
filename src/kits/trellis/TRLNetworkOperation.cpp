#include "kits/trellis/TRLNetworkOperation.h"

#include <curl/curl.h>

#include <cstdlib>

#include "base/Executor.h"
#include "kits/trellis/TRLUtilities.h"

void TRLAsynchronousOperation::start() {
    executing_ = true;
    auto self = shared_from_this();
    base::ThreadPool::shared().post([self] { self->main(); });
}

void TRLAsynchronousOperation::finish() {
    if (finished_.exchange(true)) return;
    executing_ = false;
    if (auto block = std::move(completionBlock_)) {
        completionBlock_ = nullptr;
        block();
    }
}

std::string TRLNetworkOperation::userAgentString() {
    return std::string(kTRLSDKBundleIdentifier) + "/" + kTRLSDKDisplayVersion + " (" + kTRLSDKBuildVersion + ")";
}

std::string TRLNetworkOperation::localeIdentifier() {
    const char* value = nullptr;
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* v = std::getenv(name);
        if (v && *v) {
            value = v;
            break;
        }
    }
    std::string id = value ? value : "";
    if (auto at = id.find_first_of(".@"); at != std::string::npos) id.resize(at);
    if (id.empty() || id == "C" || id == "POSIX") return "en_US_POSIX";
    for (char& c : id)
        if (c == '-') c = '_';
    return id;
}

const char* TRLNetworkOperation::developerToken() { return "5b0e2c8f7a1d4e6b9c3f0a8d2e7b4c1f6a9d3e05"; }

TRLURLRequest TRLNetworkOperation::mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(
    const std::string& url) const {
    return mutableRequestWithDefaultHTTPHeadersForURL(url, 10);
}

TRLURLRequest TRLNetworkOperation::mutableRequestWithDefaultHTTPHeadersForURL(const std::string& url,
                                                                             double timeout) const {
    TRLURLRequest r;
    r.url = url;
    r.timeoutInterval = timeout;
    r.cachePolicy = TRLURLRequestCachePolicy::ReloadIgnoringLocalAndRemoteCacheData;
    std::string locale = localeIdentifier();
    r.setValue(userAgentString(), "User-Agent");
    r.setValue("utf-8", "Accept-Charset");
    r.setValue(locale, "Accept-Language");
    r.setValue(locale, "Content-Language");
    r.setValue(developerToken(), "X-Blackbox-Developer-Token");
    r.setValue(kTRLSDKBundleIdentifier, "X-Blackbox-API-Client-Id");
    r.setValue(kTRLSDKDisplayVersion, "X-Blackbox-API-Client-Display-Version");
    r.setValue(kTRLSDKBuildVersion, "X-Blackbox-API-Client-Build-Version");
    r.setValue(APIKey_, "X-Blackbox-API-Key");
    return r;
}

TRLURLBuilder TRLURLBuilder::URLWithBase(const std::string& base) {
    TRLURLBuilder b;
    b.URLString_ = base;
    return b;
}

void TRLURLBuilder::appendComponent(const std::string& component) { URLString_ += component; }

std::string TRLURLBuilder::escapeString(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        bool escape = c <= 0x20 || c >= 0x7f;
        switch (c) {
        case '"': case '%': case '<': case '>': case '[': case ']': case '{': case '}':
        case '\\': case '^': case '`': case '|':
            escape = true;
            break;
        default:
            break;
        }
        if (escape) {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0x0f]);
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out;
}

void TRLURLBuilder::escapeAndAppendComponent(const std::string& component) { URLString_ += escapeString(component); }

void TRLURLBuilder::appendValue(const std::optional<std::string>& value, const std::string& name) {
    if (!value) return;
    URLString_ += queryParams_ == 0 ? "?" : "&";
    ++queryParams_;
    URLString_ += name + "=" + escapeString(*value);
}

void TRLURLBuilder::appendValue(long long value, const std::string& name) { appendValue(std::to_string(value), name); }

std::optional<std::string> TRLURLBuilder::URL() const {
    CURLU* u = curl_url();
    if (!u) return std::nullopt;
    bool ok = curl_url_set(u, CURLUPART_URL, URLString_.c_str(), 0) == CURLUE_OK;
    curl_url_cleanup(u);
    if (!ok) return std::nullopt;
    return URLString_;
}
