#include "kits/tally/BBXAnalyticsEvent.h"

#include <pthread.h>
#include <sys/random.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
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
    std::string payload;
    if (payloadValues.contains("eventId")) {
        Json withId = payloadValues;
        withId["eventId"] = eventIdentifier;
        payload = encodeJSON(withId);
    } else {
        // The values are encoded once, as they are, and the identifier goes
        // in as the last member: no copy of the values is made.
        payload = encodeJSON(payloadValues);
        std::string member = payload.size() > 2 ? ",\"eventId\":" : "\"eventId\":";
        bool plain = std::all_of(eventIdentifier.begin(), eventIdentifier.end(), [](char c) {
            return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-';
        });
        if (plain) member += '"' + eventIdentifier + '"';
        else member += encodeJSON(Json(eventIdentifier));
        payload.insert(payload.size() - 1, member);
    }
    return std::shared_ptr<BBXAnalyticsEvent>(
        new BBXAnalyticsEvent(priority, timestamp, key, eventIdentifier, std::move(payloadValues), std::move(payload)));
}

std::shared_ptr<BBXAnalyticsEvent> BBXAnalyticsEvent::initWithTallyEvent(const BBXTallyEvent* event,
                                                                         std::uint64_t timestamp,
                                                                         const std::string& eventIdentifier) {
    if (!event) return nullptr;
    return std::shared_ptr<BBXAnalyticsEvent>(new BBXAnalyticsEvent(
        2, timestamp, event->key(), eventIdentifier, event->payloadDictionary(), event->payloadJSON(eventIdentifier)));
}

std::shared_ptr<BBXAnalyticsEvent> BBXAnalyticsEvent::initWithTallyEvent(std::shared_ptr<const BBXTallyEvent> event,
                                                                         std::uint64_t timestamp,
                                                                         const std::string& eventIdentifier) {
    if (!event) return nullptr;
    std::shared_ptr<BBXAnalyticsEvent> stored(new BBXAnalyticsEvent(2, timestamp, event->key(), eventIdentifier,
                                                                    Json(), event->payloadJSON(eventIdentifier)));
    stored->source_ = std::move(event);
    return stored;
}

const Json& BBXAnalyticsEvent::stringPayloadValueDict() const {
    std::call_once(valuesOnce_, [this] {
        if (source_) values_ = source_->payloadDictionary();
        else if (!values_.is_object()) values_ = Json::object();
    });
    return values_;
}

std::string BBXAnalyticsEvent::description() const {
    return "BBXAnalyticsEvent {id=" + eventIdentifier_ + ", key=" + key() +
           ", stringPayloadValueDict=" + encodeJSON(stringPayloadValueDict()) + "}";
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


namespace {

// Event identifiers are made for every event, so they come from a generator
// of each thread's own, seeded once from the system: no system call and no
// lock per event. A forked child seeds again, or it would repeat its parent's
// identifiers.
std::atomic<std::uint64_t> gForkGeneration{1};
std::once_flag gAtForkOnce;

struct IdentifierSource {
    std::uint64_t state[4] = {};
    std::uint64_t generation = 0;

    static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

    void seed(std::uint64_t forGeneration) {
        std::size_t got = 0;
        auto* bytes = reinterpret_cast<unsigned char*>(state);
        while (got < sizeof state) {
            ssize_t n = ::getrandom(bytes + got, sizeof state - got, 0);
            if (n > 0) got += static_cast<std::size_t>(n);
            else if (errno != EINTR) break;
        }
        if (got < sizeof state) {
            // No system randomness: time, process and thread still make the
            // sequence one of its own.
            std::uint64_t x = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                              (static_cast<std::uint64_t>(::getpid()) << 32) ^
                              static_cast<std::uint64_t>(::syscall(SYS_gettid));
            for (auto& word : state) {  // splitmix64
                x += 0x9E3779B97F4A7C15ULL;
                std::uint64_t z = x;
                z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
                z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
                word = z ^ (z >> 31);
            }
        }
        if ((state[0] | state[1] | state[2] | state[3]) == 0) state[0] = 1;
        generation = forGeneration;
    }

    std::uint64_t next() {  // xoshiro256**
        std::uint64_t result = rotl(state[1] * 5, 7) * 9;
        std::uint64_t t = state[1] << 17;
        state[2] ^= state[0];
        state[3] ^= state[1];
        state[1] ^= state[2];
        state[0] ^= state[3];
        state[2] ^= t;
        state[3] = rotl(state[3], 45);
        return result;
    }
};

thread_local IdentifierSource tIdentifierSource;

// A version-4 UUID in the usual upper-case 8-4-4-4-12 form.
std::string fastUUIDString() {
    std::call_once(gAtForkOnce, [] {
        ::pthread_atfork(nullptr, nullptr, [] { gForkGeneration.fetch_add(1, std::memory_order_relaxed); });
    });
    auto& source = tIdentifierSource;
    std::uint64_t generation = gForkGeneration.load(std::memory_order_relaxed);
    if (source.generation != generation) source.seed(generation);
    std::uint64_t hi = source.next(), lo = source.next();
    hi = (hi & ~0xF000ULL) | 0x4000ULL;                            // version 4
    lo = (lo & 0x3FFFFFFFFFFFFFFFULL) | 0x8000000000000000ULL;     // RFC 4122 variant
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out(36, '-');
    int pos = 0;
    for (int nibble = 0; nibble < 32; ++nibble) {
        if (nibble == 8 || nibble == 12 || nibble == 16 || nibble == 20) ++pos;
        std::uint64_t word = nibble < 16 ? hi : lo;
        int shift = 60 - 4 * (nibble % 16);
        out[static_cast<std::size_t>(pos++)] = kDigits[(word >> shift) & 0xF];
    }
    return out;
}

}  // namespace

std::string BBXAnalyticsIdentifierGenerator::generateSessionFragmentIdentifier() {
    return TRLCreateUUIDString();
}
std::string BBXAnalyticsIdentifierGenerator::generateEventIdentifier() { return fastUUIDString(); }

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
