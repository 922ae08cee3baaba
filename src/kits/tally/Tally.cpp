#include "kits/tally/Tally.h"

#include "base/AppInfo.h"
#include "base/Files.h"
#include "kits/tally/TallyLog.h"
#include "kits/tally/TrellisAnalyticsCore.h"
#include "kits/trellis/BBXUserDefaults.h"
#include "kits/trellis/TRLKit.h"
#include "kits/trellis/Trellis.h"

namespace {
std::mutex gEnvironmentMutex;
std::optional<BBXAnalyticsController::Environment> gEnvironment;

BBXAnalyticsController::Environment environment() {
    std::lock_guard lock(gEnvironmentMutex);
    BBXAnalyticsController::Environment env = gEnvironment.value_or(BBXAnalyticsController::Environment{});
    if (!env.core) env.core = std::make_shared<TrellisAnalyticsCore>();
    if (!env.defaults) env.defaults = &BBXUserDefaults::standardUserDefaults();
    return env;
}

base::NotificationCenter& center() {
    std::lock_guard lock(gEnvironmentMutex);
    if (gEnvironment && gEnvironment->notificationCenter) return *gEnvironment->notificationCenter;
    return base::NotificationCenter::defaultCenter();
}
}  // namespace

Tally& Tally::sharedInstance() {
    static Tally* instance = new Tally();
    return *instance;
}

TRLKitDescriptor Tally::kitDescriptor() {
    TRLKitDescriptor kit;
    kit.className = "Tally";
    kit.bundleIdentifier = [] { return bundleIdentifier(); };
    kit.kitDisplayVersion = [] { return kitDisplayVersion(); };
    kit.kitBuildVersion = [] { return std::optional<std::string>(kitBuildVersion()); };
    kit.initializeIfNeeded = [] { initializeIfNeeded(); };
    return kit;
}

void Tally::initializeIfNeeded() {
    // The crash kit starts this kit itself, with its beta token.
    auto crashKit = TRLKitRegistry::kitNamed("Blackbox");
    if (crashKit && crashKit->isValidTRLKit()) {
        if (crashKit->initializeIfNeeded) crashKit->initializeIfNeeded();
        return;
    }
    startWithBetaToken(std::nullopt);
}

void Tally::setEnvironment(BBXAnalyticsController::Environment env) {
    std::lock_guard lock(gEnvironmentMutex);
    gEnvironment = std::move(env);
}

std::string Tally::analyticsRootDirectory() {
    return base::cacheHome() + "/io.blackbox.data/" + TRLBundleIdentifierNamespace() + "/analytics";
}

void Tally::startWithBetaToken(const std::optional<std::string>& betaToken) {
    sharedInstance().startInstanceWithBetaToken(betaToken);
}

void Tally::startInstanceWithBetaToken(const std::optional<std::string>& betaToken) {
    std::call_once(startOnce_, [&] {
        if (!BBXAnalyticsController::supported(base::AppInfo::shared().infoDictionary())) return;
        auto controller = BBXAnalyticsController::create(Trellis::sharedSDK().executionIdentifier(),
                                                         analyticsRootDirectory(), betaToken, environment());
        if (!controller) return;
        {
            std::lock_guard lock(mutex_);
            controller_ = controller;
        }
        controller->logAppInstalled();
        controller->logAppLaunched();
    });
}

std::shared_ptr<BBXAnalyticsController> Tally::analyticsController() {
    std::lock_guard lock(mutex_);
    return controller_;
}

void Tally::applicationDidBecomeActive() { center().post(BBXAnalyticsApplicationLifecycleEvent::kDidBecomeActive); }
void Tally::applicationWillResignActive() { center().post(BBXAnalyticsApplicationLifecycleEvent::kWillResignActive); }
void Tally::applicationWillTerminate() { center().post(BBXAnalyticsApplicationLifecycleEvent::kWillTerminate); }

void Tally::logCustomEventWithName(const std::optional<std::string>& name, const BBXTallyAttributes& customAttributes) {
    auto controller = sharedInstance().analyticsController();
    if (!controller) return;
    controller->logCustomEvent(BBXTallyCustomEvent::initWithName(name, customAttributes));
}

void Tally::logPredefinedEvent(std::shared_ptr<BBXTallyPredefinedEvent> event) {
    if (auto controller = sharedInstance().analyticsController()) controller->logPredefinedEvent(std::move(event));
}

void Tally::logPreviousSessionCrashedOnDate(std::optional<double> secondsSince1970) {
    if (auto controller = sharedInstance().analyticsController())
        controller->logPreviousSessionCrashedOnDate(secondsSince1970);
}

namespace {
// Builds the event only when the kit runs.
template <class Event, class... Args>
void logPredefined(Args&&... args) {
    if (!Tally::sharedInstance().analyticsController()) return;
    Tally::logPredefinedEvent(std::make_shared<Event>(std::forward<Args>(args)...));
}
}  // namespace

void Tally::logSignUpWithMethod(const base::Json& method, const base::Json& success, const BBXTallyAttributes& attrs) {
    logPredefined<BBXTallySignUpEvent>(method, success, attrs);
}
void Tally::logLoginWithMethod(const base::Json& method, const base::Json& success, const BBXTallyAttributes& attrs) {
    logPredefined<BBXTallyLoginEvent>(method, success, attrs);
}
void Tally::logShareWithMethod(const base::Json& method, const base::Json& contentName, const base::Json& contentType,
                               const base::Json& contentId, const BBXTallyAttributes& attrs) {
    logPredefined<BBXTallyShareEvent>(method, contentName, contentType, contentId, attrs);
}
void Tally::logInviteWithMethod(const base::Json& method, const BBXTallyAttributes& attrs) {
    logPredefined<BBXTallyInviteEvent>(method, attrs);
}
void Tally::logPurchaseWithPrice(const base::Json& price, const base::Json& currency, const base::Json& success,
                                 const base::Json& itemName, const base::Json& itemType, const base::Json& itemId,
                                 const BBXTallyAttributes& attrs) {
    // The event takes the item identifier before the item type.
    logPredefined<BBXTallyPurchaseEvent>(price, currency, success, itemName, itemId, itemType, attrs);
}
void Tally::logLevelStart(const base::Json& levelName, const BBXTallyAttributes& attrs) {
    logPredefined<BBXTallyLevelStartEvent>(levelName, attrs);
}
void Tally::logLevelEnd(const base::Json& levelName, const base::Json& score, const base::Json& success,
                        const BBXTallyAttributes& attrs) {
    logPredefined<BBXTallyLevelEndEvent>(levelName, score, success, attrs);
}
void Tally::logAddToCartWithPrice(const base::Json& price, const base::Json& currency, const base::Json& itemName,
                                  const base::Json& itemType, const base::Json& itemId, const BBXTallyAttributes& attrs) {
    logPredefined<BBXTallyAddToCartEvent>(price, currency, itemName, itemType, itemId, attrs);
}
void Tally::logStartCheckoutWithPrice(const base::Json& price, const base::Json& currency, const base::Json& itemCount,
                                      const BBXTallyAttributes& attrs) {
    logPredefined<BBXTallyStartCheckoutEvent>(price, currency, itemCount, attrs);
}
void Tally::logRating(const base::Json& rating, const base::Json& contentName, const base::Json& contentType,
                      const base::Json& contentId, const BBXTallyAttributes& attrs) {
    logPredefined<BBXTallyRateEvent>(rating, contentName, contentType, contentId, attrs);
}
void Tally::logContentViewWithName(const base::Json& contentName, const base::Json& contentType,
                                   const base::Json& contentId, const BBXTallyAttributes& attrs) {
    logPredefined<BBXTallyContentViewEvent>(contentName, contentType, contentId, attrs);
}
void Tally::logSearchWithQuery(const base::Json& query, const BBXTallyAttributes& attrs) {
    logPredefined<BBXTallySearchEvent>(query, attrs);
}
