#pragma once
// The engine behind the analytics kit: filters events by the server settings
// and by sampling, appends them to the per-priority log files of the open
// session fragment, and from time to time switches fragments, packages,
// uploads, prunes and cleans the store.
//
// Queues: one serial queue per priority owns that priority's open file;
// everything else (settings, fragment switches, maintenance) runs on the
// maintenance queue.
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/Error.h"
#include "base/Executor.h"
#include "base/Json.h"
#include "base/NotificationCenter.h"
#include "base/Scheduler.h"
#include "kits/tally/BBXAnalyticsEvent.h"
#include "kits/tally/BBXAnalyticsMetadataController.h"
#include "kits/tally/BBXAnalyticsNetworkingClient.h"
#include "kits/tally/BBXEventLogFile.h"
#include "kits/tally/BBXEventLogSessionRepository.h"
#include "kits/tally/BBXTallyEvent.h"
#include "kits/trellis/TRLSettings.h"

class BBXUserDefaults;

// What the controller reads from the SDK core.
class BBXAnalyticsCore {
public:
    virtual ~BBXAnalyticsCore() = default;
    virtual std::optional<base::Json> settings() = 0;
    virtual bool isFirstInstall() = 0;
    virtual std::optional<std::string> apiKey() = 0;
    virtual std::optional<std::string> installID() = 0;
    virtual BBXAnalyticsMetadataSource metadataSource() = 0;
};

inline constexpr const char* kBBXAnalyticsControllerErrorDomain = "BBXAnalyticsControllerErrorDomain";

class BBXAnalyticsController : public std::enable_shared_from_this<BBXAnalyticsController> {
public:
    using Completion = std::function<void(std::optional<base::Error>)>;

    // Everything the controller works with; tests hand in their own.
    struct Environment {
        std::shared_ptr<BBXAnalyticsCore> core;
        BBXUserDefaults* defaults = nullptr;
        std::shared_ptr<BBXAnalyticsNetworkingClient> networkingClient;
        std::shared_ptr<BBXAnalyticsIdentifierGenerator> identifierGenerator;
        std::shared_ptr<BBXAnalyticsTimestampGenerator> timestampGenerator;
        base::Scheduler* scheduler = nullptr;             // the maintenance timer
        base::NotificationCenter* notificationCenter = nullptr;
    };

    static constexpr const char* kLastSessionIdentifierKey = "io.blackbox.insights.lastsessionidentifier";
    static constexpr const char* kLastSessionTimestampKey = "io.blackbox.insights.lastsessiontimestamp";
    static constexpr const char* kLastSessionMetadataKey = "io.blackbox.insights.lastsessionmetadata";
    static constexpr const char* kLastMaintenanceDateKey = "io.blackbox.insights.lastmaintenancedate";
    // Without settings nothing is uploaded; this bounds what waits meanwhile.
    static constexpr std::uint32_t kBuiltInMaxPendingSendFileCount = 100;
    static constexpr std::chrono::seconds kHandOverTimeout{5};
    // How long going away waits for an upload in flight to be answered.
    static constexpr std::chrono::seconds kShutdownUploadWait{2};
    // After a transport failure uploads wait, doubling up to the maximum.
    static constexpr std::chrono::seconds kFirstTransmitBackOff{30};
    static constexpr std::chrono::seconds kMaxTransmitBackOff{300};

    static bool supported(const base::Json& infoDictionary);

    // Null when the first fragment cannot be prepared.
    static std::shared_ptr<BBXAnalyticsController> create(const std::string& sessionIdentifier,
                                                          const std::string& analyticsRootDirectory,
                                                          const std::optional<std::string>& betaToken,
                                                          Environment environment);
    ~BBXAnalyticsController();
    BBXAnalyticsController(const BBXAnalyticsController&) = delete;
    BBXAnalyticsController& operator=(const BBXAnalyticsController&) = delete;

    // Events.
    void logAppInstalled();
    void logAppLaunched();
    void logPreviousSessionCrashedOnDate(std::optional<double> secondsSince1970);
    void logPredefinedEvent(std::shared_ptr<BBXTallyEvent> event);
    void logCustomEvent(std::shared_ptr<BBXTallyEvent> event);
    void logTallyEvent(std::shared_ptr<BBXTallyEvent> event);
    void logEvent(std::shared_ptr<BBXEventLogEvent> event);
    // One of the three lifecycle notification names; the terminate event
    // also writes everything still queued before it returns.
    void applicationLifecycleEvent(const std::string& notificationName);

    // Settings (applied on the maintenance queue).
    void trellisSettingsDownloaded();
    void setSettings(std::optional<base::Json> settings);
    bool analyticsFeatureSwitchEnabled() const;
    bool customEventsFeatureSwitchEnabled() const;
    bool predefinedEventsFeatureSwitchEnabled() const;

    // Maintenance.
    void maintainSessionFragments(Completion completion);
    void maintainSessionFragmentsIgnoringError();
    void scheduleSessionMaintenance();
    void cancelSessionMaintenance();
    // Seconds from now until the first timer fire.
    double initialMaintenanceTimeWithFlushInterval(std::uint32_t interval);
    double lastMaintenanceDate();  // seconds since 1970
    void saveLastMaintenanceDate(double secondsSince1970);

    // Waits until everything queued so far on every queue has run.
    void flush();

    // State, for the kit and tests.
    const std::string& sessionIdentifier() const { return sessionIdentifier_; }
    std::uint64_t sessionTimestamp() const { return sessionTimestamp_; }
    const std::string& analyticsRootDirectoryURL() const { return root_; }
    std::string currentSessionFragmentDirectoryURL();
    const std::optional<std::string>& betaToken() const { return betaToken_; }
    const std::optional<std::string>& lastSessionIdentifier() const { return lastSessionIdentifier_; }
    std::uint64_t lastSessionTimestamp() const { return lastSessionTimestamp_; }
    const std::optional<std::string>& lastSessionMetadata() const { return lastSessionMetadata_; }
    const std::string& metadataJSONData() const { return metadataController_->metadataJSONData(); }
    base::SerialQueue& sessionMaintenanceQueue() { return maintenanceQueue_; }
    bool holdsMaintenanceLock() const { return rootLockFd_ >= 0; }
    bool isMaintenanceTimerScheduled();

private:
    struct Settings {
        bool haveSettings = false;
        bool collect = false;
        std::string analyticsURL;
        bool flushOnBackground = false;
        std::uint64_t maxByteSizePerFile = 0;
        std::uint32_t flushIntervalSecs = 0;
        std::uint32_t maxPendingSendFileCount = 0;
        bool trackCustomEvents = true;
        bool trackPredefinedEvents = true;
        std::int64_t samplingRate = 0;
    };
    struct PriorityState {
        std::string fileURL;                          // the open fragment's file of this priority
        std::uint64_t fragmentTimestamp = 0;
        std::string fragmentDirectory;
        std::unique_ptr<BBXEventLogEventFile> file;   // open after the first event
    };

    BBXAnalyticsController(const std::string& sessionIdentifier, const std::string& root,
                           const std::optional<std::string>& betaToken, Environment environment);
    Settings settingsSnapshot() const;
    // Reads settings without copying them all (the event path asks per event).
    template <class F>
    auto readSettings(F&& f) const {
        std::lock_guard lock(settingsMutex_);
        return f(settings_);
    }

    // Fragments.
    bool prepareNewSessionFragment(const std::string& identifier, std::uint64_t timestamp, base::Error* error);
    std::optional<std::string> createEventFileURLForPriority(std::int64_t priority, base::Error* error);
    bool ensureLogFileExistsForPriority(std::int64_t priority, base::Error* error);
    void appendOnPriorityQueue(std::int64_t priority, const std::shared_ptr<BBXEventLogEvent>& event);
    // Priority-2 events are formatted by the caller into one buffer that the
    // low-priority queue writes in batches: one wake-up and one write for
    // many events.
    void enqueueLowPriorityEvent(const BBXEventLogEvent& event);
    void writeLowPriorityBatch();
    bool handleSizeTriggeredMaintainSessionFragmentForLogFile(const BBXEventLogFile& file);
    bool handlePriorityTriggeredMaintainSessionFragmentForEvent(const BBXEventLogEvent& event);
    void requestTriggeredMaintenance();
    void readLastSessionInformation();
    void saveCurrentSessionInformation();
    void handleDisabledFeatureSwitch();
    void applySettings(const std::optional<base::Json>& settings);
    bool lockSessionDirectory();

    // Maintenance steps, each on the maintenance queue.
    void openNewSessionFragment(Completion completion);
    void packageClosedSessionFragments(Completion completion);
    void transmitPackagedSessionFragments(Completion completion);
    void transmitNextPackagedSessionFragment(Completion completion);
    // An upload in flight: its outcome is kept here so that a controller
    // going away can still apply it.
    struct Upload {
        std::mutex mutex;
        std::condition_variable cv;
        std::string fragment;
        bool finished = false;
        bool applied = false;
        std::optional<base::Error> error;
    };
    void handleTransmitCompletion(const std::shared_ptr<Upload>& upload, Completion completion);
    // Removes what is left of an accepted upload's fragment, once.
    void applyUploadResult(Upload& upload);
    void finishInFlightUpload();
    void pruneSessionFragmentLogFiles(Completion completion);
    void cleanUpRepository(Completion completion);
    bool tryTakeMaintenanceLock();
    // Our fragments still written: the open one and any whose hand-over has
    // not finished.
    std::vector<std::string> fragmentsInUse();
    bool holdsSessionLock() const;
    // Held while maintenance works in another session's folder; null when a
    // running copy holds that session. Our own session is always granted.
    std::shared_ptr<void> claimSession(const std::string& sessionDirectory);
    using Claims = std::map<std::string, std::shared_ptr<void>>;
    // Log files that pruning may remove; the ACTIVE sessions they lie in
    // stay claimed in `claims` while the caller holds it.
    std::vector<std::string> nonCurrentLogFileURLsForAllStates(base::Error* error, Claims& claims);

public:
    static std::vector<std::vector<std::string>> mutableSortedFileURLsGroupedByPrioritiesFromLogFileURLs(
        const std::vector<std::string>& files);

private:
    std::string root_;
    std::string sessionIdentifier_;
    std::optional<std::string> betaToken_;
    std::uint64_t sessionTimestamp_ = 0;
    Environment env_;
    BBXEventLogSessionRepository repository_;
    std::unique_ptr<BBXAnalyticsMetadataController> metadataController_;

    mutable std::mutex settingsMutex_;
    Settings settings_;

    // Maintenance-queue state.
    std::string currentFragmentIdentifier_;
    std::uint64_t currentFragmentTimestamp_ = 0;
    std::string currentFragmentDirectory_;
    std::mutex currentFragmentMutex_;  // guards currentFragmentDirectory_ for readers elsewhere
    bool loggedAnalyticsEnabled_ = false;
    std::atomic<bool> performSessionMaintenanceAfterSettingsArrive_{false};
    std::optional<std::vector<std::string>> sessionFragmentsToTransmit_;
    std::mutex uploadMutex_;
    std::shared_ptr<Upload> upload_;  // the upload in flight, if any
    base::TimePoint transmitNotBefore_{};
    std::chrono::seconds transmitBackOff_{0};
    std::string sessionDirectory_;
    int sessionLockFd_ = -1;
    int rootLockFd_ = -1;
    std::atomic<bool> triggeredMaintenancePending_{false};
    std::atomic<bool> stopping_{false};

    std::mutex inUseMutex_;
    std::multiset<std::string> fragmentsInUse_;  // one entry per priority queue still on a fragment

    std::mutex timerMutex_;
    std::optional<base::Scheduler::TimerId> timerId_;
    std::uint64_t timerGeneration_ = 0;

    std::optional<std::string> lastSessionIdentifier_;
    std::uint64_t lastSessionTimestamp_ = 0;
    std::optional<std::string> lastSessionMetadata_;

    std::vector<base::NotificationCenter::ObserverId> observers_;

    // How callbacks on other threads (the network's answers, the scheduler's
    // timers, notifications) reach the controller: through this, never by
    // holding it, so that the owner's last reference is always the last one
    // and the controller is never destroyed on one of those threads after
    // what it was given (its notification centre, its core) has gone. The
    // destructor closes it first, waiting for a callback under way.
    struct Gate {
        std::recursive_mutex mutex;
        BBXAnalyticsController* controller = nullptr;
    };
    std::shared_ptr<Gate> gate_ = std::make_shared<Gate>();
    // Runs `f` with the controller if it is not going away.
    template <typename F>
    static void through(const std::shared_ptr<Gate>& gate, F&& f) {
        std::lock_guard lock(gate->mutex);
        if (gate->controller) f(*gate->controller);
    }

    std::array<PriorityState, 3> priorities_;

    struct PendingLines {
        std::mutex mutex;
        std::condition_variable room;  // callers wait here while too much waits
        std::condition_variable full;  // a batch is full, or someone waits for the disk
        std::string lines;             // whole event lines waiting, in order
        bool writePosted = false;      // a batch write is queued
        bool urgent = false;           // write without gathering more
    };
    // Asks a queued batch write to go at once (flush, shutdown).
    void hurryLowPriorityBatch();
    PendingLines pending_;
    std::string lowPriorityBatch_;  // the low-priority queue's buffer, reused batch after batch
    // Callers wait while this much is waiting (a disk far behind), so that
    // memory stays bounded.
    static constexpr std::size_t kMaxPendingLowPriorityBytes = 4u << 20;
    // A batch write gathers lines for at most this long, or until this much
    // waits: a busy caller wakes the writer about once per batch, not per event.
    static constexpr std::chrono::microseconds kLowPriorityGatherTime{1000};
    static constexpr std::size_t kLowPriorityBatchBytes = 64u << 10;
    // Declared last: destroyed first, after they have run what was queued.
    base::SerialQueue maintenanceQueue_{"io.blackbox.analytics.maintenance"};
    std::array<std::unique_ptr<base::SerialQueue>, 3> priorityQueues_;
};
