#pragma once
// Registers the application with the SDK's service: a multipart create (POST)
// or update (PUT) request describing the application, its build and icon.
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "base/Error.h"
#include "kits/trellis/TRLApplicationIdentiferModel.h"
#include "kits/trellis/TRLNetworkClient.h"
#include "kits/trellis/TRLNetworkOperation.h"

inline constexpr const char* kTRLOnboardingErrorDomain = "TRLSDKOnboardingErrorDomain";
inline constexpr int kTRLOnboardingErrorEncoding = 1;  // the request body could not be built

class TRLOnboardingOperation;

class TRLOnboardingOperationDelegate {
public:
    virtual ~TRLOnboardingOperationDelegate() = default;
    virtual void onboardingOperationDidCompleteAppCreation(TRLOnboardingOperation& operation,
                                                           const std::optional<base::Error>& error) = 0;
    virtual void onboardingOperationDidCompleteAppUpdate(TRLOnboardingOperation& operation,
                                                         const std::optional<base::Error>& error) = 0;
};

class TRLOnboardingOperation : public TRLNetworkOperation {
public:
    TRLOnboardingOperation(std::weak_ptr<TRLOnboardingOperationDelegate> delegate, bool shouldCreate,
                           std::string APIKey, std::map<std::string, std::string> kitVersionsByKitBundleIdentifier,
                           std::shared_ptr<TRLApplicationIdentiferModel> appIdentifierModel, std::string endpointString,
                           std::weak_ptr<TRLNetworkClient> networkClient);

    void main() override;
    void beginAppConfigure();

    std::string appCreateURL() const;
    std::string appUpdateURL() const;
    TRLURLRequest onboardingRequestForAppCreate(bool create) const;
    // Builds the whole request with its multipart body; nullopt when the body
    // could not be encoded.
    std::optional<TRLURLRequest> buildRequest() const;

    bool shouldCreate() const { return shouldCreate_; }
    std::optional<base::Error> error() const { return error_; }
    const std::string& appEndpoint() const { return endpoint_; }
    static base::Error errorForCode(int code, const std::string& description);

private:
    void complete(std::optional<base::Error> error);

    std::weak_ptr<TRLOnboardingOperationDelegate> delegate_;
    bool shouldCreate_;
    std::map<std::string, std::string> kitVersions_;
    std::shared_ptr<TRLApplicationIdentiferModel> model_;
    std::string endpoint_;
    std::weak_ptr<TRLNetworkClient> client_;
    std::optional<base::Error> error_;
};
