#pragma once
// The analytics kit: the application logs predefined and custom usage
// events through these class operations. The kit starts its controller once
// per run; before that every log operation does nothing.
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "kits/tally/BBXAnalyticsController.h"
#include "kits/tally/BBXTallyEvent.h"
#include "kits/trellis/TRLKit.h"

class Tally {
public:
    static Tally& sharedInstance();

    // Kit identity.
    static std::string bundleIdentifier() { return "io.blackbox.tally.mac"; }
    static std::string kitDisplayVersion() { return "1.0.1"; }
    static std::string kitBuildVersion() { return "4"; }
    // What the SDK core's kit registry knows of this kit.
    static TRLKitDescriptor kitDescriptor();
    // Called by the SDK core when it starts its kits: defers to the crash
    // kit when it is present (it starts this kit itself), else starts.
    static void initializeIfNeeded();

    // Starts the kit once per process; later calls do nothing.
    static void startWithBetaToken(const std::optional<std::string>& betaToken);
    void startInstanceWithBetaToken(const std::optional<std::string>& betaToken);

    // What the application tells the kit about its life; "will terminate"
    // returns once queued events are written.
    static void applicationDidBecomeActive();
    static void applicationWillResignActive();
    static void applicationWillTerminate();

    static void logCustomEventWithName(const std::optional<std::string>& name,
                                       const BBXTallyAttributes& customAttributes = {});
    static void logSignUpWithMethod(const base::Json& method, const base::Json& success,
                                    const BBXTallyAttributes& customAttributes = {});
    static void logLoginWithMethod(const base::Json& method, const base::Json& success,
                                   const BBXTallyAttributes& customAttributes = {});
    static void logShareWithMethod(const base::Json& method, const base::Json& contentName,
                                   const base::Json& contentType, const base::Json& contentId,
                                   const BBXTallyAttributes& customAttributes = {});
    static void logInviteWithMethod(const base::Json& method, const BBXTallyAttributes& customAttributes = {});
    static void logPurchaseWithPrice(const base::Json& price, const base::Json& currency, const base::Json& success,
                                     const base::Json& itemName, const base::Json& itemType, const base::Json& itemId,
                                     const BBXTallyAttributes& customAttributes = {});
    static void logLevelStart(const base::Json& levelName, const BBXTallyAttributes& customAttributes = {});
    static void logLevelEnd(const base::Json& levelName, const base::Json& score, const base::Json& success,
                            const BBXTallyAttributes& customAttributes = {});
    static void logAddToCartWithPrice(const base::Json& price, const base::Json& currency, const base::Json& itemName,
                                      const base::Json& itemType, const base::Json& itemId,
                                      const BBXTallyAttributes& customAttributes = {});
    static void logStartCheckoutWithPrice(const base::Json& price, const base::Json& currency,
                                          const base::Json& itemCount,
                                          const BBXTallyAttributes& customAttributes = {});
    static void logRating(const base::Json& rating, const base::Json& contentName, const base::Json& contentType,
                          const base::Json& contentId, const BBXTallyAttributes& customAttributes = {});
    static void logContentViewWithName(const base::Json& contentName, const base::Json& contentType,
                                       const base::Json& contentId, const BBXTallyAttributes& customAttributes = {});
    static void logSearchWithQuery(const base::Json& query, const BBXTallyAttributes& customAttributes = {});
    static void logPredefinedEvent(std::shared_ptr<BBXTallyPredefinedEvent> event);
    static void logPreviousSessionCrashedOnDate(std::optional<double> secondsSince1970);

    std::shared_ptr<BBXAnalyticsController> analyticsController();

    // Where the controller runs; the defaults read the SDK core. Set before
    // the start (tests hand in their own).
    static void setEnvironment(BBXAnalyticsController::Environment environment);
    // The folder under the user's caches that holds the events.
    static std::string analyticsRootDirectory();

private:
    Tally() = default;
    std::once_flag startOnce_;
    std::mutex mutex_;
    std::shared_ptr<BBXAnalyticsController> controller_;
};
