#include "kits/tally/BBXAnalyticsEvent.h"

#include <chrono>
#include <set>

#include "kits/tally/BBXTallyEvent.h"
#include "kits/tally/TallyLog.h"
#include "kits/tally/TallyText.h"
#include "kits/trellis/TRLUtilities.h"

using base::Json;

std::string BBXAnalyticsEvent::encodeJSON(const Json& value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

BBXAnalyticsEvent::BBXAnalyticsEvent(std::uint64_t priority, std::uint64_t timestamp, const std::string& key,
                                     std::string eventIdentifier, Json values, std::string payload)
    : BBXEventLogEvent(priority, timestamp, key, std::move(payload)),
      eventIdentifier_(std::move(eventIdentifier)),
      values_(std::move(values)) {}

std::shared_ptr<BBXAnalyticsEvent> BBXAnalyticsEvent::initWithPriority(std::uint64_t priority,
                                                                       std::uint64_t timestamp,
                                                                       const std::string& key,
                                                                       const std::string& eventIdentifier,
                                                                       Json payloadValues) {
    if (!payloadValues.is_object()) payloadValues = Json::object();
    Json withId = payloadValues;
    withId["eventId"] = eventIdentifier;
    std::string payload = encodeJSON(withId);
    return std::shared_ptr<BBXAnalyticsEvent>(
        new BBXAnalyticsEvent(priority, timestamp, key, eventIdentifier, std::move(payloadValues), std::move(payload)));
}

std::shared_ptr<BBXAnalyticsEvent> BBXAnalyticsEvent::initWithTallyEvent(const BBXTallyEvent* event,
                                                                         std::uint64_t timestamp,
                                                                         const std::string& eventIdentifier) {
    if (!event) return nullptr;
    return initWithPriority(2, timestamp, event->key(), eventIdentifier, event->payloadDictionary());
}

std::string BBXAnalyticsEvent::description() const {
    return "BBXAnalyticsEvent {id=" + eventIdentifier_ + ", key=" + key() +
           ", stringPayloadValueDict=" + encodeJSON(values_) + "}";
}

std::shared_ptr<BBXAnalyticsEvent> BBXAnalyticsApplicationLifecycleEvent::initApplicationInstalledEvent(
    std::uint64_t timestamp, const std::string& eventIdentifier) {
    return initWithPriority(0, timestamp, "app_installed", eventIdentifier);
}

std::shared_ptr<BBXAnalyticsEvent> BBXAnalyticsApplicationLifecycleEvent::initApplicationLaunchedEvent(
    std::uint64_t timestamp, const std::string& eventIdentifier) {
    return initWithPriority(1, timestamp, "app_launched", eventIdentifier);
}

std::shared_ptr<BBXAnalyticsEvent> BBXAnalyticsApplicationLifecycleEvent::initApplicationCrashedEvent(
    std::uint64_t timestamp, const std::string& eventIdentifier) {
    return initWithPriority(1, timestamp, "app_crashed", eventIdentifier);
}

std::shared_ptr<BBXAnalyticsEvent> BBXAnalyticsApplicationLifecycleEvent::initWithApplicationNotificationName(
    const std::string& name, std::uint64_t timestamp, const std::string& eventIdentifier,
    bool highPriorityEventOnBackground) {
    if (name == kDidBecomeActive) return initWithPriority(0, timestamp, "app_became_active", eventIdentifier);
    if (name == kWillResignActive)
        return initWithPriority(highPriorityEventOnBackground ? 0 : 1, timestamp, "app_became_inactive",
                                eventIdentifier);
    if (name == kWillTerminate) return initWithPriority(1, timestamp, "app_terminated", eventIdentifier);
    return nullptr;
}

// --- identifiers and time ------------------------------------------------------


std::string BBXAnalyticsIdentifierGenerator::generateSessionFragmentIdentifier() {
    return TRLCreateUUIDString();
}
std::string BBXAnalyticsIdentifierGenerator::generateEventIdentifier() { return TRLCreateUUIDString(); }

std::uint64_t BBXAnalyticsTimestampGenerator::generateAnalyticsTimestamp() {
    auto now = std::chrono::system_clock::now().time_since_epoch();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
    return ms < 0 ? 0 : static_cast<std::uint64_t>(ms);
}

// --- sampling ------------------------------------------------------------------

bool BBXAnalyticsEventFilter::samplingEnabledForEventType(const std::string& key) {
    static const std::set<std::string> sampled = {
        "app_launched",           "app_terminated",         "app_crashed",         "app_memory_warning",
        "app_entered_background", "app_entered_foreground", "app_became_inactive", "app_became_active"};
    return sampled.count(key) != 0;
}

std::int32_t BBXAnalyticsEventFilter::javaHashCodeForString(const std::string& text) {
    std::uint32_t h = 0;
    tally::forEachUtf16Unit(text, [&](std::uint16_t unit) { h = h * 31u + unit; });
    return static_cast<std::int32_t>(h);
}

bool BBXAnalyticsEventFilter::shouldDiscardEventWithInstallationID(const std::string& installationID,
                                                                   std::int64_t factor) {
    if (factor < 2) return false;
    std::int64_t h = javaHashCodeForString(installationID);
    // C++ division truncates toward zero: a negative hash gives a remainder <= 0.
    return h % factor != 0;
}

bool BBXAnalyticsEventFilter::shouldDiscardEvent(const BBXEventLogEvent* event,
                                                 const std::optional<std::string>& betaToken,
                                                 const std::optional<std::string>& installationID,
                                                 std::int64_t factor) {
    if (!event) return true;
    if (betaToken) return false;
    if (!samplingEnabledForEventType(event->key())) return false;
    if (!installationID || factor < 2) return false;
    return shouldDiscardEventWithInstallationID(*installationID, factor);
}
