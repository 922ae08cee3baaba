#include "kits/blackbox/Blackbox.h"

#include "base/Log.h"
#include "kits/blackbox/BBXApplication.h"
#include "kits/blackbox/BBXException.h"
#include "kits/blackbox/BBXFileManager.h"
#include "kits/blackbox/BBXHost.h"
#include "kits/blackbox/BBXInternalReport.h"
#include "kits/blackbox/BBXKitSupport.h"
#include "kits/blackbox/BBXSettings.h"
#include "kits/blackbox/BBXUserLogging.h"
#include "kits/blackbox/BBXTallyBridge.h"
#include "kits/trellis/TRLKit.h"
#include "kits/trellis/Trellis.h"

namespace {
std::mutex environmentMutex;
base::Executor* gMainQueue = nullptr;
BBXPermissionPrompt* gPrompt = nullptr;
}  // namespace

Blackbox& Blackbox::sharedInstance() {
    static Blackbox* instance = new Blackbox();
    return *instance;
}

void Blackbox::registerKits() {
    if (!TRLKitRegistry::kitNamed("Tally")) TRLKitRegistry::registerKit(BBXTallyKitDescriptor());

    TRLKitDescriptor blackbox;
    blackbox.className = "Blackbox";
    blackbox.bundleIdentifier = [] { return Blackbox::bundleIdentifier(); };
    blackbox.kitDisplayVersion = [] { return Blackbox::kitDisplayVersion(); };
    blackbox.kitBuildVersion = [] { return std::optional<std::string>(Blackbox::kitBuildVersion()); };
    blackbox.initializeIfNeeded = [] { Blackbox::initializeIfNeeded(); };
    TRLKitRegistry::registerKit(blackbox);
}

void Blackbox::setMainQueue(base::Executor* mainQueue) {
    std::lock_guard lock(environmentMutex);
    gMainQueue = mainQueue;
}

void Blackbox::setPermissionPrompt(BBXPermissionPrompt* prompt) {
    std::lock_guard lock(environmentMutex);
    gPrompt = prompt;
}

base::Executor* Blackbox::mainQueue() const {
    std::lock_guard lock(environmentMutex);
    return gMainQueue;
}

Blackbox& Blackbox::startWithAPIKey(const std::string& apiKey) { return startWithAPIKey(apiKey, nullptr); }

Blackbox& Blackbox::startWithAPIKey(const std::string& apiKey, std::shared_ptr<BlackboxDelegate> delegate) {
    Blackbox& kit = sharedInstance();
    if (delegate) kit.setDelegate(std::move(delegate));
    registerKits();
    Trellis::sharedSDK().setAPIKey(apiKey);
    Trellis::with({"Blackbox"});
    return kit;
}

Blackbox& Blackbox::startWithAPIKey(const std::string& apiKey, double) {
    spdlog::warn("[Blackbox] Warning, startWithAPIKey:afterDelay: is deprecated.");
    return startWithAPIKey(apiKey);
}

Blackbox& Blackbox::startWithAPIKey(const std::string& apiKey, std::shared_ptr<BlackboxDelegate> delegate, double) {
    spdlog::warn("[Blackbox] Warning, startWithAPIKey:delegate:afterDelay: is deprecated.");
    return startWithAPIKey(apiKey, std::move(delegate));
}

void Blackbox::initializeIfNeeded() { sharedInstance().start(); }

void Blackbox::start() {
    std::call_once(startOnce_, [this] {
        const std::uint64_t mark = BBXProfileMark();
        spdlog::info("[Blackbox] Version {} ({})", kitDisplayVersion(), kitBuildVersion());
        if (BBXDebugMode()) {
            spdlog::info("[Blackbox] Running on {}, {} ({})", BBXHostModel(), BBXHostOSDisplayVersion(),
                         BBXHostOSBuildVersion());
        }
        if (auto* queue = mainQueue()) queue->post([this] { warnDelegateAboutMethods(); });
        else warnDelegateAboutMethods();

        auto fileManager = std::make_shared<BBXFileManager>();
        std::optional<std::string> betaToken;
        if (BBXBetaController::isBetaSupported()) {
            BBXBetaController::Environment betaEnvironment;
            betaEnvironment.mainQueue = mainQueue();
            auto beta = std::make_unique<BBXBetaController>(this, std::move(betaEnvironment));
            if (!beta->start()) spdlog::info("[Blackbox] Beta could not be initialized");
            betaToken = beta->betaToken();
            std::lock_guard lock(mutex_);
            betaController_ = std::move(beta);
        }
        BBXCrashReportingController::Environment environment;
        environment.mainQueue = mainQueue();
        {
            std::lock_guard lock(environmentMutex);
            environment.prompt = gPrompt;
        }
        auto controller = std::make_unique<BBXCrashReportingController>(fileManager, this, std::move(environment));
        auto* raw = controller.get();
        {
            std::lock_guard lock(mutex_);
            controller_ = std::move(controller);
        }
        if (!raw->startWithProfilingMark(mark, betaToken)) {
            spdlog::error("[Blackbox] Crash reporting could not be initialized");
        }
        BBXTallyStart(betaToken);
    });
}

std::optional<std::string> Blackbox::APIKey() { return Trellis::sharedSDK().APIKey(); }
std::string Blackbox::installID() { return Trellis::sharedSDK().installID(); }
bool Blackbox::isFirstInstall() { return Trellis::sharedSDK().isFirstInstall(); }

bool Blackbox::isBlackboxStarted() const {
    std::lock_guard lock(mutex_);
    return controller_ != nullptr;
}

void Blackbox::setDebugMode(bool) {
    BBXSetDebugMode(true);
    if (isBlackboxStarted()) spdlog::warn("[Blackbox] Warning, consider enabling debug mode before starting Blackbox");
}
bool Blackbox::debugMode() const { return BBXDebugMode(); }

void Blackbox::setDelegate(std::shared_ptr<BlackboxDelegate> delegate) {
    {
        std::lock_guard lock(mutex_);
        delegate_ = std::move(delegate);
    }
    if (isBlackboxStarted()) {
        spdlog::warn(
            "[Blackbox] Warning, setting delegate after start. Make sure to set the Blackbox delegate before calling "
            "startWithAPIKey:.., or +[Trellis with...] to avoid missing some delegate callbacks.");
    }
}

std::shared_ptr<BlackboxDelegate> Blackbox::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_;
}

void Blackbox::warnDelegateAboutMethods() {
    auto d = delegate();
    if (!d) return;
    if (d->implementsDidDetectCrashDuringPreviousExecution() || d->implementsDidDetectCrashDuringPreviousExecutionWithReport()) {
        spdlog::warn("[Blackbox] The Blackbox delegate '{}' implements deprecated methods.  Please see Blackbox.h for details.",
                     static_cast<const void*>(d.get()));
    }
    if (d->implementsCanUseBackgroundSessions() && d->blackboxCanUseBackgroundSessions(*this) && BBXApplicationIsExtension()) {
        spdlog::warn("[Blackbox] Background sessions are not supported in extensions. Please see Blackbox.h for details.");
    }
}

// ---- user data

void Blackbox::setInstanceUserIdentifier(const std::optional<std::string>& value) {
    BBXUserLoggingRecordInternalKeyValue("io.blackbox.user-id", value);
}
void Blackbox::setInstanceUserName(const std::optional<std::string>& value) {
    BBXUserLoggingRecordInternalKeyValue("io.blackbox.user-name", value);
}
void Blackbox::setInstanceUserEmail(const std::optional<std::string>& value) {
    BBXUserLoggingRecordInternalKeyValue("io.blackbox.user-email", value);
}
void Blackbox::setInstanceObjectValue(const std::optional<std::string>& value, const std::string& key) {
    BBXUserLoggingRecordUserKeyValue(key, value);
}
void Blackbox::setInstanceIntValue(long long value, const std::string& key) { setInstanceObjectValue(std::to_string(value), key); }
void Blackbox::setInstanceBoolValue(bool value, const std::string& key) { setInstanceObjectValue(value ? "1" : "0", key); }
void Blackbox::setInstanceFloatValue(double value, const std::string& key) { setInstanceObjectValue(nlohmann::json(value).dump(), key); }
void Blackbox::setInstanceDevelopmentPlatformName(const std::optional<std::string>& value) {
    BBXUserLoggingRecordInternalKeyValue("io.blackbox.development-platform-name", value);
}
void Blackbox::setInstanceDevelopmentPlatformVersion(const std::optional<std::string>& value) {
    BBXUserLoggingRecordInternalKeyValue("io.blackbox.development-platform-version", value);
}
std::optional<std::string> Blackbox::developmentPlatformName() const {
    spdlog::warn("[Blackbox] developmentPlatformName is write-only");
    return std::nullopt;
}
std::optional<std::string> Blackbox::developmentPlatformVersion() const {
    spdlog::warn("[Blackbox] developmentPlatformVersion is write-only");
    return std::nullopt;
}
void Blackbox::setUserIdentifier(const std::optional<std::string>& value) { sharedInstance().setInstanceUserIdentifier(value); }
void Blackbox::setUserName(const std::optional<std::string>& value) { sharedInstance().setInstanceUserName(value); }
void Blackbox::setUserEmail(const std::optional<std::string>& value) { sharedInstance().setInstanceUserEmail(value); }
void Blackbox::setObjectValue(const std::optional<std::string>& value, const std::string& key) {
    sharedInstance().setInstanceObjectValue(value, key);
}
void Blackbox::setIntValue(long long value, const std::string& key) { sharedInstance().setInstanceIntValue(value, key); }
void Blackbox::setBoolValue(bool value, const std::string& key) { sharedInstance().setInstanceBoolValue(value, key); }
void Blackbox::setFloatValue(double value, const std::string& key) { sharedInstance().setInstanceFloatValue(value, key); }
void Blackbox::setDevelopmentPlatformName(const std::optional<std::string>& value) {
    sharedInstance().setInstanceDevelopmentPlatformName(value);
}
void Blackbox::setDevelopmentPlatformVersion(const std::optional<std::string>& value) {
    sharedInstance().setInstanceDevelopmentPlatformVersion(value);
}
void Blackbox::recordError(const base::Error& error) { recordError(error, nullptr); }
void Blackbox::recordError(const base::Error& error, const nlohmann::json& additionalUserInfo) {
    BBXUserLoggingRecordError(error, additionalUserInfo);
}
void Blackbox::recordCustomExceptionName(const std::string& name, const std::string& reason,
                                         const std::vector<BBXStackFrame>& frameArray) {
    BBXExceptionRecord(BBXExceptionTypeCustom, name, reason, frameArray, false);
}
std::string Blackbox::webViewErrorMonitorScript() {
    // Keeps the page's handlers and puts ours in front; the page may replace
    // onerror while it loads, so the load handler puts ours back, chaining
    // to the page's.
    static const char* const kInstall =
        "var blackboxPreviousOnLoad = window.onload;\n"
        "var blackboxPreviousOnError = window.onerror;\n"
        "window.onerror = blackboxOnError;\n"
        "window.onload = blackboxOnLoad;\n"
        "function blackboxOnLoad() {\n"
        "  if (window.onerror !== blackboxOnError) {\n"
        "    blackboxPreviousOnError = window.onerror;\n"
        "    window.onerror = blackboxOnError;\n"
        "  }\n"
        "  if (typeof blackboxPreviousOnLoad === 'function') return blackboxPreviousOnLoad.apply(this, arguments);\n"
        "}\n";
    static const char* const kOnError =
        "function blackboxOnError(msg, url, line, column, error) {\n"
        "  window.webkit.messageHandlers.blackbox.postMessage({msg: msg, url: url, line: line, column: column});\n"
        "  if (typeof blackboxPreviousOnError === 'function') return blackboxPreviousOnError(msg, url, line, column, error);\n"
        "}\n";
    return std::string(kInstall) + kOnError;
}

void Blackbox::userContentController(const nlohmann::json& scriptMessageBody) {
    if (!scriptMessageBody.is_object()) {
        spdlog::error("[Blackbox] Unable to record exception from WKWebView");
        return;
    }
    auto msg = scriptMessageBody.find("msg");
    const std::string reason = msg != scriptMessageBody.end() && msg->is_string() ? msg->get<std::string>() : "";
    BBXExceptionRecord(BBXExceptionTypeJavaScript, "exception", reason, {}, false);
}

void Blackbox::logInstanceEvent(const std::string& name) { BBXTallyLogEvent(name, nullptr); }
void Blackbox::logInstanceEvent(const std::string& name, const nlohmann::json& attributes) { BBXTallyLogEvent(name, attributes); }
void Blackbox::logEvent(const std::string& name) { sharedInstance().logInstanceEvent(name); }
void Blackbox::logEvent(const std::string& name, const nlohmann::json& attributes) {
    sharedInstance().logInstanceEvent(name, attributes);
}
void Blackbox::crash() { __builtin_trap(); }
void Blackbox::throwException() { BBXExceptionRaiseTestCppException(); }

// ---- answers to the crash reporting controller

bool Blackbox::shouldInstallCrashCallback() {
    auto d = delegate();
    return d && d->implementsDidDetectCrash();
}
void Blackbox::detectedCrash() {
    if (auto d = delegate(); d && d->implementsDidDetectCrash()) d->blackboxDidDetectCrash(*this);
}
bool Blackbox::reportingControllerCanUseBackgroundSessions(BBXCrashReportingController&) {
    auto d = delegate();
    if (d && d->implementsCanUseBackgroundSessions()) return d->blackboxCanUseBackgroundSessions(*this);
    return !BBXApplicationIsExtension();
}
bool Blackbox::reportingControllerMustInformDelegateOfReports(BBXCrashReportingController&) {
    auto d = delegate();
    return d && (d->implementsDidDetectReportForLastExecution() || d->implementsDidDetectCrashDuringPreviousExecution() ||
                 d->implementsDidDetectCrashDuringPreviousExecutionWithReport());
}
void Blackbox::reportingControllerDidDetectReportForLastExecution(BBXCrashReportingController& controller,
                                                                  const std::shared_ptr<BBXInternalReport>& report,
                                                                  std::function<void(bool)> completionHandler) {
    if (!reportingControllerMustInformDelegateOfReports(controller)) {
        completionHandler(true);
        return;
    }
    auto d = delegate();
    auto publicReport = std::make_shared<BBXReport>(report);
    if (d->implementsDidDetectReportForLastExecution()) d->blackboxDidDetectReportForLastExecution(publicReport, completionHandler);
    else completionHandler(true);
    auto legacy = [this, d, publicReport] {
        if (d->implementsDidDetectCrashDuringPreviousExecutionWithReport())
            d->blackboxDidDetectCrashDuringPreviousExecution(*this, publicReport);
        if (d->implementsDidDetectCrashDuringPreviousExecution()) d->blackboxDidDetectCrashDuringPreviousExecution(*this);
    };
    if (auto* queue = mainQueue()) queue->post(legacy);
    else legacy();
}
void Blackbox::reportingControllerInternalDidDetectReportForLastExecution(BBXCrashReportingController&,
                                                                          const std::shared_ptr<BBXInternalReport>& report) {
    BBXReport publicReport(report);
    if (!publicReport.isCrash()) return;
    auto date = publicReport.dateCreated();
    std::optional<double> seconds;
    if (date) seconds = std::chrono::duration<double>(date->time_since_epoch()).count();
    auto tell = [seconds] { BBXTallyLogPreviousSessionCrashed(seconds); };
    if (auto* queue = mainQueue()) queue->post(tell);
    else tell();
}
bool Blackbox::reportingControllerEnsureDeliveryOfUnixSignal(BBXCrashReportingController&, int signal) {
    auto d = delegate();
    return d && d->implementsEnsureDeliveryOfUnixSignal() && d->blackboxEnsureDeliveryOfUnixSignal(*this, signal);
}
std::string Blackbox::APIKeyForCrashReportingController(BBXCrashReportingController&) { return APIKey().value_or(""); }
std::string Blackbox::installIDForCrashReportingController(BBXCrashReportingController&) { return installID(); }
bool Blackbox::isFirstInstallForCrashReportingController(BBXCrashReportingController&) { return isFirstInstall(); }
std::shared_ptr<BBXSettings> Blackbox::currentSettings() {
    auto settings = Trellis::sharedSDK().settings();
    return std::make_shared<BBXSettings>(settings ? *settings : nlohmann::json(nullptr));
}
std::shared_ptr<BBXSettings> Blackbox::settingsForCrashReportingController(BBXCrashReportingController&) {
    return currentSettings();
}
std::string Blackbox::executionIdentifierForCrashReportingController(BBXCrashReportingController&) {
    return Trellis::sharedSDK().executionIdentifier();
}
std::string Blackbox::APIKeyForBetaController(BBXBetaController&) { return APIKey().value_or(""); }
std::shared_ptr<BBXSettings> Blackbox::settingsForBetaController(BBXBetaController&) { return currentSettings(); }
