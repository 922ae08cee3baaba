#pragma once
// Operations that send the SDK's requests, and the request pieces they share:
// the default headers and a string-based URL builder.
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "kits/trellis/TRLURLRequest.h"

// An operation whose work ends later than `main` returns: `start` marks it
// executing and runs `main` on the shared pool; the work calls `finish`.
class TRLAsynchronousOperation : public std::enable_shared_from_this<TRLAsynchronousOperation> {
public:
    virtual ~TRLAsynchronousOperation() = default;
    void start();
    virtual void main() = 0;
    void finish();
    // Asks the work to stop; subclasses decide what that means.
    virtual void cancel() { cancelled_ = true; }
    bool isCancelled() const { return cancelled_; }
    bool isExecuting() const { return executing_; }
    bool isFinished() const { return finished_; }
    bool isConcurrent() const { return true; }
    // Called once the operation finished (tests wait on it).
    void setCompletionBlock(std::function<void()> block) { completionBlock_ = std::move(block); }

private:
    std::atomic<bool> executing_{false};
    std::atomic<bool> finished_{false};
    std::atomic<bool> cancelled_{false};
    std::function<void()> completionBlock_;
};

class TRLNetworkOperation : public TRLAsynchronousOperation {
public:
    explicit TRLNetworkOperation(std::string APIKey) : APIKey_(std::move(APIKey)) {}
    const std::string& APIKey() const { return APIKey_; }

    static std::string userAgentString();  // "io.trellis.sdk.mac/1.6.1 (37)"
    // The current locale's identifier, as "en_US" ("en_US_POSIX" for C/POSIX).
    static std::string localeIdentifier();
    static const char* developerToken();

    TRLURLRequest mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(const std::string& url) const;
    TRLURLRequest mutableRequestWithDefaultHTTPHeadersForURL(const std::string& url, double timeout) const;

private:
    std::string APIKey_;
};

// Builds a URL string piece by piece.
class TRLURLBuilder {
public:
    static TRLURLBuilder URLWithBase(const std::string& base);
    void appendComponent(const std::string& component);
    // Percent-encodes, byte by byte in UTF-8, what may never stand in a URL
    // (space, controls, non-ASCII, and " % < > [ ] { } \ ^ ` |); reserved
    // characters such as / ? & = + : # stay.
    static std::string escapeString(const std::string& text);
    void escapeAndAppendComponent(const std::string& component);
    // Nothing for a missing value; otherwise "?" or "&", the name verbatim,
    // "=", and the escaped value.
    void appendValue(const std::optional<std::string>& value, const std::string& name);
    void appendValue(long long value, const std::string& name);
    const std::string& URLString() const { return URLString_; }
    unsigned queryParams() const { return queryParams_; }
    // The built string when it parses as an absolute URL.
    std::optional<std::string> URL() const;

private:
    std::string URLString_;
    unsigned queryParams_ = 0;
};
