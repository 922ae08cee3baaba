#pragma once
// Uploads packaged log files as one multipart form.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/Error.h"
#include "kits/trellis/TRLURLRequest.h"

class TRLNetworkClient;

class BBXAnalyticsNetworkingClient {
public:
    using Completion = std::function<void(std::optional<base::Error>)>;
    static constexpr unsigned kRetryLimit = 10;

    BBXAnalyticsNetworkingClient();
    explicit BBXAnalyticsNetworkingClient(std::shared_ptr<TRLNetworkClient> client);
    virtual ~BBXAnalyticsNetworkingClient();

    // The completion receives the error, none on success; it runs on the
    // network client's queue.
    virtual void transmitLogFilesAtURLs(const std::vector<std::string>& files, const std::string& url,
                                        const std::string& apiKey, Completion completion);
    // Null when a file cannot be read.
    static std::optional<TRLURLRequest> requestForLogFilesAtURLs(const std::vector<std::string>& files,
                                                                 const std::string& url, const std::string& apiKey);
    const std::shared_ptr<TRLNetworkClient>& networkClient() const { return client_; }

private:
    std::shared_ptr<TRLNetworkClient> client_;
};
