#include "kits/trellis/TRLOnboardingOperation.h"
#include <nlohmann/json.hpp>

#include "base/Log.h"
#include "kits/trellis/TRLMultipartMimeStreamEncoder.h"
#include "kits/trellis/TRLUtilities.h"

TRLOnboardingOperation::TRLOnboardingOperation(std::weak_ptr<TRLOnboardingOperationDelegate> delegate,
                                               bool shouldCreate, std::string APIKey,
                                               std::map<std::string, std::string> kitVersionsByKitBundleIdentifier,
                                               std::shared_ptr<TRLApplicationIdentiferModel> appIdentifierModel,
                                               std::string endpointString, std::weak_ptr<TRLNetworkClient> networkClient)
    : TRLNetworkOperation(std::move(APIKey)),
      delegate_(std::move(delegate)),
      shouldCreate_(shouldCreate),
      kitVersions_(std::move(kitVersionsByKitBundleIdentifier)),
      model_(std::move(appIdentifierModel)),
      endpoint_(std::move(endpointString)),
      client_(std::move(networkClient)) {}

void TRLOnboardingOperation::main() { beginAppConfigure(); }

base::Error TRLOnboardingOperation::errorForCode(int code, const std::string& description) {
    return base::Error(kTRLOnboardingErrorDomain, code, description);
}

std::string TRLOnboardingOperation::appCreateURL() const {
    auto b = TRLURLBuilder::URLWithBase(endpoint_);
    b.appendComponent("/spi/v1/platforms/");
    b.escapeAndAppendComponent(kTRLPlatformName);
    b.appendComponent("/apps");
    return b.URLString();
}

std::string TRLOnboardingOperation::appUpdateURL() const {
    auto b = TRLURLBuilder::URLWithBase(endpoint_);
    b.appendComponent("/spi/v1/platforms/");
    b.escapeAndAppendComponent(kTRLPlatformName);
    b.appendComponent("/apps/");
    b.escapeAndAppendComponent(TRLBundleIdentifierNamespace());
    return b.URLString();
}

TRLURLRequest TRLOnboardingOperation::onboardingRequestForAppCreate(bool create) const {
    TRLURLRequest r = create ? mutableRequestWithDefaultHTTPHeadersForURL(appCreateURL(), 2)
                             : mutableRequestWithDefaultHTTPHeadersForURL(appUpdateURL(), 10);
    r.method = create ? "POST" : "PUT";
    return r;
}

std::optional<TRLURLRequest> TRLOnboardingOperation::buildRequest() const {
    auto memory = std::make_shared<TRLMemoryOutputStream>();
    auto encoder = TRLMultipartMimeStreamEncoder::encoderWithStream(memory,
                                                                    TRLMultipartMimeStreamEncoder::generateBoundary());
    if (!encoder) return std::nullopt;
    auto& e = *encoder;
    auto version = [](const std::optional<std::string>& v) { return v; };
    bool encoded = e.encode([&] {
        e.addValue(TRLBundleIdentifierNamespace(), "app[identifier]");
        if (model_) e.addValue(model_->instanceIdentifier(), "app[instance_identifier]");
        e.addValue(version(TRLApplicationDisplayName()), "app[name]");
        e.addValue(version(TRLApplicationBuildVersion()), "app[build_version]");
        e.addValue(version(TRLApplicationDisplayVersion()), "app[display_version]");
        e.addValue(TRLApplicationInstallationSource(), "app[source]");
        if (model_) {
            e.addValue(model_->minimumSDKString(), "app[minimum_sdk_version]");
            e.addValue(model_->builtSDKString(), "app[built_sdk_version]");
        }
        for (const auto& [identifier, kitVersion] : kitVersions_)
            e.addValue(kitVersion, "app[build][libraries][" + identifier + "]");
        if (model_) {
            for (const auto& [arch, uuid] : model_->architectureUUIDMap()) {
                e.addValue(arch, "app[slices][][arch]");
                e.addValue(uuid, "app[slices][][uuid]");
            }
            auto icon = model_->icon();
            if (icon && !icon->data().empty() && !icon->dataHash().empty()) {
                e.addValue(icon->dataHash(), "app[icon][hash]");
                e.addValue(std::string(icon->prerendered() ? "true" : "false"), "app[icon][prerendered]");
                e.addValue(static_cast<long long>(icon->width()), "app[icon][width]");
                e.addValue(static_cast<long long>(icon->height()), "app[icon][height]");
                e.addFileData(icon->data(), "icon.png", std::string("image/png"), "app[icon][data]");
            }
        }
    });
    if (!encoded) return std::nullopt;
    TRLURLRequest request = onboardingRequestForAppCreate(shouldCreate_);
    request.setValue(e.contentTypeHTTPHeaderValue(), "Content-Type");
    request.setValue(e.contentLengthHTTPHeaderValue(), "Content-Length");
    request.body = memory->takeData();
    return request;
}

void TRLOnboardingOperation::beginAppConfigure() {
    auto request = buildRequest();
    if (!request) {
        // Tell the flow, so it does not wait for an answer that never comes.
        spdlog::error("[Trellis] configure failed during onboarding");
        complete(errorForCode(kTRLOnboardingErrorEncoding, "The onboarding request could not be encoded."));
        return;
    }
    auto client = client_.lock();
    if (!client) {
        complete(TRLNetworkResponseHandler::errorForCode(kTRLNetworkErrorNoTask));
        return;
    }
    auto self = std::static_pointer_cast<TRLOnboardingOperation>(shared_from_this());
    client->startDataTaskWithRequest(*request, 1, [self](auto, auto, std::optional<base::Error> error) {
        self->complete(std::move(error));
    });
}

void TRLOnboardingOperation::complete(std::optional<base::Error> error) {
    error_ = error;
    auto delegate = delegate_.lock();
    if (delegate && !isCancelled()) {
        if (shouldCreate_) delegate->onboardingOperationDidCompleteAppCreation(*this, error);
        else delegate->onboardingOperationDidCompleteAppUpdate(*this, error);
    }
    finish();
}
