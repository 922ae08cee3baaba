#pragma once
// Analytics events as stored: a log event whose payload is compact JSON
// carrying the event's values and "eventId"; the lifecycle events; the
// identifier and timestamp sources; and the sampling filter.
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "base/Json.h"
#include "kits/tally/BBXEventLogEvent.h"

class BBXTallyEvent;

class BBXAnalyticsEvent : public BBXEventLogEvent {
public:
    static std::shared_ptr<BBXAnalyticsEvent> initWithPriority(std::uint64_t priority, std::uint64_t timestamp,
                                                               const std::string& key,
                                                               const std::string& eventIdentifier,
                                                               base::Json payloadValues = base::Json::object());
    // Priority 2, the Tally event's key and payload dictionary; null for null.
    static std::shared_ptr<BBXAnalyticsEvent> initWithTallyEvent(const BBXTallyEvent* event, std::uint64_t timestamp,
                                                                 const std::string& eventIdentifier);
    // The same, keeping the Tally event: its values are turned into a
    // dictionary only if someone asks for them (the stored JSON never needs it).
    static std::shared_ptr<BBXAnalyticsEvent> initWithTallyEvent(std::shared_ptr<const BBXTallyEvent> event,
                                                                 std::uint64_t timestamp,
                                                                 const std::string& eventIdentifier);

    const std::string& eventIdentifier() const { return eventIdentifier_; }
    const base::Json& stringPayloadValueDict() const;
    std::string description() const;

    // Compact JSON; bytes that are not UTF-8 are replaced, so encoding never fails.
    static std::string encodeJSON(const base::Json& value);

protected:
    BBXAnalyticsEvent(std::uint64_t priority, std::uint64_t timestamp, const std::string& key,
                      std::string eventIdentifier, base::Json values, std::string payload);

private:
    std::string eventIdentifier_;
    mutable base::Json values_;
    std::shared_ptr<const BBXTallyEvent> source_;  // values_ comes from it, once asked for
    mutable std::once_flag valuesOnce_;
};

class BBXAnalyticsApplicationLifecycleEvent : public BBXAnalyticsEvent {
public:
    static constexpr const char* kDidBecomeActive = "NSApplicationDidBecomeActiveNotification";
    static constexpr const char* kWillResignActive = "NSApplicationWillResignActiveNotification";
    static constexpr const char* kWillTerminate = "NSApplicationWillTerminateNotification";

    static std::shared_ptr<BBXAnalyticsEvent> initApplicationInstalledEvent(std::uint64_t timestamp,
                                                                           const std::string& eventIdentifier);
    static std::shared_ptr<BBXAnalyticsEvent> initApplicationLaunchedEvent(std::uint64_t timestamp,
                                                                          const std::string& eventIdentifier);
    static std::shared_ptr<BBXAnalyticsEvent> initApplicationCrashedEvent(std::uint64_t timestamp,
                                                                         const std::string& eventIdentifier);
    // Null for any name but the three lifecycle notifications.
    static std::shared_ptr<BBXAnalyticsEvent> initWithApplicationNotificationName(
        const std::string& name, std::uint64_t timestamp, const std::string& eventIdentifier,
        bool highPriorityEventOnBackground);
};

class BBXAnalyticsIdentifierGenerator {
public:
    virtual ~BBXAnalyticsIdentifierGenerator() = default;
    virtual std::string generateSessionFragmentIdentifier();
    virtual std::string generateEventIdentifier();
};

class BBXAnalyticsTimestampGenerator {
public:
    virtual ~BBXAnalyticsTimestampGenerator() = default;
    // Milliseconds since 1970.
    virtual std::uint64_t generateAnalyticsTimestamp();
};

class BBXAnalyticsEventFilter {
public:
    static bool shouldDiscardEvent(const BBXEventLogEvent* event, const std::optional<std::string>& betaToken,
                                   const std::optional<std::string>& installationID, std::int64_t factor);
    static bool samplingEnabledForEventType(const std::string& key);
    static bool shouldDiscardEventWithInstallationID(const std::string& installationID, std::int64_t factor);
    // h = h * 31 + unit over the UTF-16 units, in wrapping 32-bit arithmetic.
    static std::int32_t javaHashCodeForString(const std::string& text);
};
