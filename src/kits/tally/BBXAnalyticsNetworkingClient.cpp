#include "kits/tally/BBXAnalyticsNetworkingClient.h"

#include <filesystem>

#include "kits/trellis/TRLMultipartMimeStreamEncoder.h"
#include "kits/trellis/TRLNetworkClient.h"
#include "kits/trellis/TRLNetworkOperation.h"

BBXAnalyticsNetworkingClient::BBXAnalyticsNetworkingClient() : client_(TRLNetworkClient::create()) {}

BBXAnalyticsNetworkingClient::BBXAnalyticsNetworkingClient(std::shared_ptr<TRLNetworkClient> client)
    : client_(std::move(client)) {}

BBXAnalyticsNetworkingClient::~BBXAnalyticsNetworkingClient() = default;

std::optional<TRLURLRequest> BBXAnalyticsNetworkingClient::requestForLogFilesAtURLs(
    const std::vector<std::string>& files, const std::string& url, const std::string& apiKey) {
    TRLURLRequest request;
    request.url = url;
    request.method = "POST";
    request.cachePolicy = TRLURLRequestCachePolicy::ReloadIgnoringLocalAndRemoteCacheData;
    request.timeoutInterval = 20;
    request.setValue("Tally Mac SDK/1.0.1", "User-Agent");
    request.setValue(TRLNetworkOperation::developerToken(), "X-BLACKBOX-DEVELOPER-TOKEN");
    request.setValue("Tally Mac SDK", "X-BLACKBOX-API-CLIENT-TYPE");
    request.setValue("4", "X-BLACKBOX-API-CLIENT-VERSION");
    request.setValue("1.0.1", "X-BLACKBOX-API-CLIENT-DISPLAY-VERSION");
    request.setValue("4", "X-BLACKBOX-API-CLIENT-BUILD-VERSION");
    request.setValue(apiKey, "X-BLACKBOX-API-KEY");
    bool allAdded = true;
    bool encoded = TRLMultipartMimeStreamEncoder::populateRequest(request, [&](TRLMultipartMimeStreamEncoder& encoder) {
        for (const auto& file : files) {
            std::string name = std::filesystem::path(file).filename().string();
            if (!encoder.addFile(file, name, std::string("application/vnd.blackbox.ios.events"), name))
                allAdded = false;
        }
    });
    if (!encoded || !allAdded) return std::nullopt;
    return request;
}

void BBXAnalyticsNetworkingClient::transmitLogFilesAtURLs(const std::vector<std::string>& files,
                                                          const std::string& url, const std::string& apiKey,
                                                          Completion completion) {
    auto request = requestForLogFilesAtURLs(files, url, apiKey);
    if (!request) {
        completion(base::Error("BBXAnalyticsNetworkingClient", -1, "unable to read the packaged log files"));
        return;
    }
    if (!client_) {
        completion(base::Error("BBXAnalyticsNetworkingClient", -2, "no network client"));
        return;
    }
    client_->startDataTaskWithRequest(*request, kRetryLimit,
                                      [completion](auto&&, auto&&, const std::optional<base::Error>& error) {
                                          completion(error);
                                      });
}
