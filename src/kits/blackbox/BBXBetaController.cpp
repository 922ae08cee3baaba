#include "kits/blackbox/BBXBetaController.h"

#include "base/Json.h"
#include "base/Log.h"
#include "kits/blackbox/BBXApplication.h"
#include "kits/blackbox/BBXKitSupport.h"
#include "kits/blackbox/BBXReportsController.h"
#include "kits/blackbox/BBXSettings.h"
#include "kits/trellis/TRLNetworkClient.h"
#include "kits/trellis/TRLUtilities.h"
#include "kits/trellis/Trellis.h"

std::shared_ptr<BBXBetaUpdate> BBXBetaUpdate::betaUpdateWithDictionary(const nlohmann::json& object, base::Error* error) {
    auto url = object.is_object() ? base::jsonString(object, "url") : std::nullopt;
    // Only an https address is ever offered for opening.
    if (!url || url->rfind("https://", 0) != 0 || url->size() <= 8 ||
        url->find_first_of(" \t\r\n") != std::string::npos) {
        if (error) *error = base::Error("NSURLErrorDomain", -1017, "cannot parse response");
        return nullptr;
    }
    auto update = std::make_shared<BBXBetaUpdate>();
    update->url = *url;
    update->version = base::jsonString(object, "version_string").value_or("");
    return update;
}

std::string BBXBetaUpdate::promptTitle() const {
    return BBXLocalizedString("BlackboxDistributionPromptTitle", "New Build Available");
}
std::string BBXBetaUpdate::promptMessage() const {
    std::string text = BBXLocalizedString("BlackboxDistributionPromptMessage", "A new version of %@ is available for testing.");
    auto at = text.find("%@");
    if (at != std::string::npos) text.replace(at, 2, TRLApplicationDisplayName().value_or(""));
    return text;
}
std::string BBXBetaUpdate::cancelLabel() const { return BBXLocalizedString("BlackboxDistributionPromptCancelTitle", "Cancel"); }
std::string BBXBetaUpdate::installLabel() const {
    return BBXLocalizedString("BlackboxDistributionPromptInstallTitle", "Install");
}

bool BBXBetaController::isBetaSupported() {
    return !BBXApplicationIsExtension() && TRLApplicationInstallationSource() == 3;
}

BBXBetaController::BBXBetaController(BBXBetaControllerDelegate* delegate, Environment environment)
    : delegate_(delegate), environment_(std::move(environment)) {
    client_ = TRLNetworkClient::create(nullptr, environment_.pinnedCertificates
                                                    ? environment_.pinnedCertificates
                                                    : std::optional<TRLCertificateList>(TRLPinnedCertificates()));
    if (!client_ && BBXDebugMode()) spdlog::info("[Crahlytics:Beta] Failed to configure networking");
}

BBXBetaController::~BBXBetaController() {
    if (observer_) base::NotificationCenter::defaultCenter().removeObserver(*observer_);
    base::Scheduler& scheduler = environment_.scheduler ? *environment_.scheduler : base::Scheduler::shared();
    if (timer_) scheduler.cancel(*timer_);
    queue_.drain();
}

std::optional<std::string> BBXBetaController::betaToken() {
    std::lock_guard lock(mutex_);
    if (!tokenRead_) {
        tokenRead_ = true;
        if (environment_.tokenSource) token_ = environment_.tokenSource();
        if (token_ && token_->empty()) token_.reset();
    }
    return token_;
}

bool BBXBetaController::start() {
    if (!betaToken()) return false;
    observer_ = base::NotificationCenter::defaultCenter().addObserver(
        "TRLSettingsAvailableNotification", nullptr, nullptr, [this](const base::Notification&) { trellisSettingsDownloaded(); });
    return true;
}

std::string BBXBetaController::checkURL() {
    auto settings = delegate_ ? delegate_->settingsForBetaController(*this) : std::make_shared<BBXSettings>();
    auto builder = TRLURLBuilder::URLWithBase(settings->betaEndpoint());
    builder.appendComponent("/spi/v2/platforms/mac/apps/");
    builder.escapeAndAppendComponent(TRLBundleIdentifierNamespace());
    builder.appendComponent("/beta_update_check");
    builder.appendValue(TRLApplicationBuildVersion(), "build_version");
    builder.appendValue(TRLApplicationDisplayVersion(), "display_version");
    builder.appendValue(Trellis::sharedSDK().instanceIdentifier(), "instance");
    builder.appendValue(static_cast<long long>(TRLApplicationInstallationSource()), "source");
    return builder.URLString();
}

void BBXBetaController::checkForUpdate() {
    queue_.post([this] {
        {
            std::lock_guard lock(mutex_);
            if (checksSuspended_ || retrying_ || !client_) return;
            retrying_ = true;
        }
        if (BBXDebugMode()) spdlog::info("[Blackbox:Beta] Loading beta update");
        const std::string apiKey = delegate_ ? delegate_->APIKeyForBetaController(*this) : "";
        TRLURLRequest request = BBXReportsController::requestWithCommonHeaders(checkURL(), 10, apiKey);
        request.setValue(betaToken().value_or(""), "X-Blackbox-Beta-Token");
        if (BBXDebugMode()) spdlog::info("[Blackbox:Beta] Beta Update-Check url string: '{}'", request.url);
        client_->startDataTaskWithRequest(request, 10, [this](auto data, auto, auto error) {
            queue_.post([this, data, error] { handleReply(data, error); });
        });
    });
}

void BBXBetaController::handleReply(const std::optional<std::string>& data, const std::optional<base::Error>& error) {
    if (error || !data || data->empty()) {
        if (BBXDebugMode()) {
            spdlog::info("[Blackbox:Beta] Failed to load update '{}'", error ? error->localizedDescription() : "(null)");
        }
        return;  // stays "retrying": no further check in this run
    }
    if (BBXDebugMode()) spdlog::info("[Blackbox:Beta] Beta update loaded");
    temporarilySuspendChecks();
    {
        std::lock_guard lock(mutex_);
        retrying_ = false;
    }
    std::shared_ptr<BBXBetaUpdate> update;
    std::optional<base::Error> failure;
    auto json = base::parseJson(*data);
    if (!json) {
        failure = base::Error("NSCocoaErrorDomain", 3840, "invalid JSON");
        if (BBXDebugMode()) spdlog::info("[Blackbox:Beta] Unable to deserialize beta update data: {}", failure->localizedDescription());
    } else {
        base::Error e;
        update = BBXBetaUpdate::betaUpdateWithDictionary(*json, &e);
        if (!update) {
            failure = e;
            if (BBXDebugMode()) spdlog::info("[Blackbox:Beta] Unable to read beta update data: {}", e.localizedDescription());
        }
    }
    if (update) {
        auto keep = [this, update] {
            std::lock_guard lock(mutex_);
            activeUpdate_ = update;
        };
        if (environment_.mainQueue) environment_.mainQueue->post(keep);
        else keep();
    } else if (BBXDebugMode()) {
        spdlog::info("[Blackbox:Beta] Beta update url is invalid");
    }
    if (completionObserver_) completionObserver_(update, failure);
}

void BBXBetaController::temporarilySuspendChecks() {
    auto settings = delegate_ ? delegate_->settingsForBetaController(*this) : std::make_shared<BBXSettings>();
    const double seconds = settings->betaSuspendDuration();  // held to a sane range
    base::Scheduler& scheduler = environment_.scheduler ? *environment_.scheduler : base::Scheduler::shared();
    std::lock_guard lock(mutex_);
    checksSuspended_ = true;
    if (timer_) scheduler.cancel(*timer_);
    timer_ = scheduler.after(std::chrono::duration_cast<base::Duration>(std::chrono::duration<double>(seconds)), nullptr,
                             [this] {
                                 std::lock_guard lock(mutex_);
                                 checksSuspended_ = false;
                                 timer_.reset();
                             });
}

std::optional<std::string> BBXBetaController::betaUpdateURL() {
    std::lock_guard lock(mutex_);
    return activeUpdate_ ? std::optional(activeUpdate_->url) : std::nullopt;
}
std::shared_ptr<BBXBetaUpdate> BBXBetaController::activeUpdate() {
    std::lock_guard lock(mutex_);
    return activeUpdate_;
}
bool BBXBetaController::checksSuspended() const {
    std::lock_guard lock(mutex_);
    return checksSuspended_;
}
void BBXBetaController::setCompletionObserver(
    std::function<void(std::shared_ptr<BBXBetaUpdate>, std::optional<base::Error>)> observer) {
    completionObserver_ = std::move(observer);
}
