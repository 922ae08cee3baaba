#include "kits/tally/BBXAnalyticsController.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <filesystem>
#include <limits>
#include <thread>

#include "base/Plist.h"
#include "kits/tally/TallyLog.h"
#include "kits/trellis/BBXUserDefaults.h"

namespace fs = std::filesystem;
using base::Json;
using Repo = BBXEventLogSessionRepository;

namespace {

bool settingBool(const Json* object, const char* key) {
    if (!object || !object->is_object()) return false;
    auto it = object->find(key);
    if (it == object->end()) return false;
    if (it->is_boolean()) return it->get<bool>();
    if (it->is_number_integer() || it->is_number_unsigned()) return it->get<std::int64_t>() != 0;
    if (it->is_number_float()) return it->get<double>() != 0.0;
    return false;
}

// Wrong types and negative values read as zero; large values are clamped.
std::uint64_t settingUnsigned(const Json* object, const char* key, std::uint64_t max) {
    if (!object || !object->is_object()) return 0;
    auto it = object->find(key);
    if (it == object->end()) return 0;
    if (it->is_number_unsigned()) return std::min<std::uint64_t>(it->get<std::uint64_t>(), max);
    if (it->is_number_integer()) {
        auto v = it->get<std::int64_t>();
        return v < 0 ? 0 : std::min<std::uint64_t>(static_cast<std::uint64_t>(v), max);
    }
    if (it->is_number_float()) {
        double d = it->get<double>();
        if (!(d > 0)) return 0;
        if (d >= static_cast<double>(max)) return max;
        return static_cast<std::uint64_t>(d);
    }
    return 0;
}

// A count the server must give as a positive whole number; anything else
// (missing, zero, negative, fractional, text) is no value at all, so that a
// broken reply never reads as "keep nothing".
std::optional<std::uint32_t> settingPositiveCount(const Json* object, const char* key) {
    if (!object || !object->is_object()) return std::nullopt;
    auto it = object->find(key);
    if (it == object->end()) return std::nullopt;
    if (it->is_number_unsigned()) {
        auto v = it->get<std::uint64_t>();
        if (v == 0) return std::nullopt;
        return static_cast<std::uint32_t>(std::min<std::uint64_t>(v, UINT32_MAX));
    }
    if (it->is_number_integer()) {
        auto v = it->get<std::int64_t>();
        if (v <= 0) return std::nullopt;
        return static_cast<std::uint32_t>(std::min<std::int64_t>(v, UINT32_MAX));
    }
    if (it->is_number_float()) {
        double d = it->get<double>();
        if (!std::isfinite(d) || d < 1 || d != std::floor(d)) return std::nullopt;
        return static_cast<std::uint32_t>(std::min(d, static_cast<double>(UINT32_MAX)));
    }
    return std::nullopt;
}

std::int64_t settingSigned(const Json* object, const char* key) {
    if (!object || !object->is_object()) return 0;
    auto it = object->find(key);
    if (it == object->end()) return 0;
    if (it->is_number_unsigned())
        return static_cast<std::int64_t>(
            std::min<std::uint64_t>(it->get<std::uint64_t>(), std::numeric_limits<std::int64_t>::max()));
    if (it->is_number_integer()) return it->get<std::int64_t>();
    if (it->is_number_float()) {
        double d = it->get<double>();
        if (!std::isfinite(d) || std::fabs(d) > 9e18) return 0;
        return static_cast<std::int64_t>(d);
    }
    return 0;
}

const Json* child(const std::optional<Json>& object, const char* key) {
    if (!object || !object->is_object()) return nullptr;
    auto it = object->find(key);
    return it == object->end() ? nullptr : &*it;
}

// A stored millisecond count: none unless it is a number an unsigned 64-bit
// integer holds (the file may have been edited or damaged).
std::optional<std::uint64_t> storedTimestamp(const Json& value) {
    if (value.is_number_unsigned()) return value.get<std::uint64_t>();
    if (value.is_number_integer()) {
        auto v = value.get<std::int64_t>();
        if (v < 0) return std::nullopt;
        return static_cast<std::uint64_t>(v);
    }
    if (value.is_number_float()) {
        double d = value.get<double>();
        // 2^64 is the first double beyond the range.
        if (!std::isfinite(d) || d < 0 || d >= 18446744073709551616.0) return std::nullopt;
        return static_cast<std::uint64_t>(d);
    }
    return std::nullopt;
}

base::Error controllerError(std::int64_t code, const std::string& text) {
    return base::Error(kBBXAnalyticsControllerErrorDomain, code, text);
}

// Takes the lock file of a session folder, creating both when missing. A lock
// taken on a file that maintenance removed meanwhile is no lock: take it
// again on the new one. Waits for a claim another copy holds (it is brief)
// when `wait` is set, else gives up at once.
int lockSessionFolder(BBXEventLogSessionRepository& repository, const std::string& state,
                      const std::string& identifier, std::uint64_t timestamp, std::string* folder,
                      std::chrono::milliseconds wait) {
    auto until = std::chrono::steady_clock::now() + wait;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        auto dir = repository.sessionDirectoryURLForStateName(state, identifier, timestamp);
        if (!dir) return -1;
        if (folder) *folder = *dir;
        std::string path = *dir + "/.lock";
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) continue;
        bool locked = false;
        for (;;) {
            if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
                locked = true;
                break;
            }
            if (errno != EWOULDBLOCK && errno != EINTR) break;
            if (std::chrono::steady_clock::now() >= until) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        struct stat held{}, onDisk{};
        if (locked && ::fstat(fd, &held) == 0 && ::stat(path.c_str(), &onDisk) == 0 && held.st_ino == onDisk.st_ino &&
            held.st_dev == onDisk.st_dev)
            return fd;
        ::close(fd);
        if (!locked && std::chrono::steady_clock::now() >= until) return -1;
    }
    return -1;
}

}  // namespace

// --- creation ----------------------------------------------------------------

bool BBXAnalyticsController::supported(const Json& infoDictionary) {
    if (!infoDictionary.is_object()) return true;
    auto it = infoDictionary.find("NSExtension");
    if (it == infoDictionary.end()) return true;
    if (it->is_object()) {
        auto id = it->find("NSExtensionPointIdentifier");
        if (id != it->end() && id->is_string()) return false;
        tally::debugLog("Error: NSExtensionPointIdentifier Info.plist entry is mal-formed\n");
        return true;
    }
    tally::debugLog("Error: NSExtension Info.plist entry is mal-formed\n");
    return true;
}

BBXAnalyticsController::BBXAnalyticsController(const std::string& sessionIdentifier, const std::string& root,
                                               const std::optional<std::string>& betaToken, Environment environment)
    : root_(root),
      sessionIdentifier_(sessionIdentifier),
      betaToken_(betaToken),
      env_(std::move(environment)),
      repository_(root) {
    gate_->controller = this;
    if (!env_.identifierGenerator) env_.identifierGenerator = std::make_shared<BBXAnalyticsIdentifierGenerator>();
    if (!env_.timestampGenerator) env_.timestampGenerator = std::make_shared<BBXAnalyticsTimestampGenerator>();
    if (!env_.networkingClient) env_.networkingClient = std::make_shared<BBXAnalyticsNetworkingClient>();
    if (!env_.scheduler) env_.scheduler = &base::Scheduler::shared();
    if (!env_.notificationCenter) env_.notificationCenter = &base::NotificationCenter::defaultCenter();
    sessionTimestamp_ = env_.timestampGenerator->generateAnalyticsTimestamp();
    BBXAnalyticsMetadataSource source = env_.core ? env_.core->metadataSource() : BBXAnalyticsMetadataSource{};
    metadataController_ = std::make_unique<BBXAnalyticsMetadataController>(sessionTimestamp_, betaToken_, source);
    priorityQueues_[0] = std::make_unique<base::SerialQueue>("io.blackbox.analytics.high-priority");
    priorityQueues_[1] = std::make_unique<base::SerialQueue>("io.blackbox.analytics.medium-priority");
    priorityQueues_[2] = std::make_unique<base::SerialQueue>("io.blackbox.analytics.low-priority");
}

std::shared_ptr<BBXAnalyticsController> BBXAnalyticsController::create(const std::string& sessionIdentifier,
                                                                       const std::string& analyticsRootDirectory,
                                                                       const std::optional<std::string>& betaToken,
                                                                       Environment environment) {
    std::shared_ptr<BBXAnalyticsController> controller(
        new BBXAnalyticsController(sessionIdentifier, analyticsRootDirectory, betaToken, std::move(environment)));
    auto* c = controller.get();
    base::Error error;
    bool prepared = c->maintenanceQueue_.syncResult([&] {
        c->lockSessionDirectory();
        return c->prepareNewSessionFragment(c->env_.identifierGenerator->generateSessionFragmentIdentifier(),
                                            c->sessionTimestamp_, &error);
    });
    if (!prepared)
        tally::debugLog("Unable to prepare new session fragment {{error: {}}}", error.localizedDescription());
    c->readLastSessionInformation();
    c->saveCurrentSessionInformation();
    if (!prepared) return nullptr;  // registers nothing: it is released at once

    auto gate = c->gate_;
    auto& center = *c->env_.notificationCenter;
    c->observers_.push_back(center.addObserver(kTRLSettingsAvailableNotification, nullptr, nullptr,
                                               [gate](const base::Notification&) {
                                                   through(gate, [](auto& self) { self.trellisSettingsDownloaded(); });
                                               }));
    for (const char* name : {BBXAnalyticsApplicationLifecycleEvent::kWillTerminate,
                             BBXAnalyticsApplicationLifecycleEvent::kWillResignActive,
                             BBXAnalyticsApplicationLifecycleEvent::kDidBecomeActive}) {
        c->observers_.push_back(center.addObserver(name, nullptr, nullptr, [gate](const base::Notification& n) {
            through(gate, [&](auto& self) { self.applicationLifecycleEvent(n.name); });
        }));
    }
    c->setSettings(c->env_.core ? c->env_.core->settings() : std::nullopt);
    return controller;
}

BBXAnalyticsController::~BBXAnalyticsController() {
    {
        std::lock_guard lock(gate_->mutex);
        gate_->controller = nullptr;
    }
    stopping_ = true;
    for (auto id : observers_) env_.notificationCenter->removeObserver(id);
    cancelSessionMaintenance();
    // An upload the server accepts while we go away must not be sent again
    // by the next run: wait a little for its answer and apply it.
    finishInFlightUpload();
    // Let every queue finish what it holds (queued events are written),
    // twice, since one queue's work may hand some to another.
    hurryLowPriorityBatch();
    for (int round = 0; round < 2; ++round) {
        maintenanceQueue_.drain();
        for (auto& q : priorityQueues_) q->drain();
    }
    if (sessionLockFd_ >= 0) ::close(sessionLockFd_);
    if (rootLockFd_ >= 0) ::close(rootLockFd_);
}

void BBXAnalyticsController::flush() {
    hurryLowPriorityBatch();
    for (int round = 0; round < 2; ++round) {
        maintenanceQueue_.drain();
        for (auto& q : priorityQueues_) q->drain();
    }
}

bool BBXAnalyticsController::lockSessionDirectory() {
    // Our session folder carries a lock for the life of the run, so that
    // another running copy leaves its fragments alone. A copy's maintenance
    // holds it only for a moment, so waiting for it is short.
    int fd = lockSessionFolder(repository_, Repo::kActiveState, sessionIdentifier_, sessionTimestamp_,
                               &sessionDirectory_, std::chrono::seconds(30));
    if (fd < 0) return false;
    if (sessionLockFd_ >= 0) ::close(sessionLockFd_);
    sessionLockFd_ = fd;
    return true;
}

bool BBXAnalyticsController::holdsSessionLock() const {
    if (sessionLockFd_ < 0) return false;
    struct stat held{}, onDisk{};
    std::string path = sessionDirectory_ + "/.lock";
    return ::fstat(sessionLockFd_, &held) == 0 && ::stat(path.c_str(), &onDisk) == 0 &&
           held.st_ino == onDisk.st_ino && held.st_dev == onDisk.st_dev;
}

std::shared_ptr<void> BBXAnalyticsController::claimSession(const std::string& session) {
    if (Repo::standardized(session) == Repo::standardized(sessionDirectory_)) return std::make_shared<int>(-1);
    // Creating the lock file ourselves keeps a copy that is just starting in
    // this folder from taking it while we work here: it waits, then finds
    // its folder gone and makes it again.
    int fd = ::open((session + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return nullptr;  // gone meanwhile: nothing to do there
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return nullptr;  // a running copy writes there
    }
    return std::shared_ptr<void>(new int(fd), [](void* p) {
        auto* held = static_cast<int*>(p);
        ::close(*held);
        delete held;
    });
}

bool BBXAnalyticsController::tryTakeMaintenanceLock() {
    if (rootLockFd_ >= 0) {
        struct stat held{}, onDisk{};
        std::string path = root_ + "/.maintenance.lock";
        if (::fstat(rootLockFd_, &held) == 0 && ::stat(path.c_str(), &onDisk) == 0 && held.st_ino == onDisk.st_ino)
            return true;
        ::close(rootLockFd_);  // the root was purged; take a fresh one
        rootLockFd_ = -1;
    }
    std::error_code ec;
    fs::create_directories(root_, ec);
    int fd = ::open((root_ + "/.maintenance.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    rootLockFd_ = fd;
    return true;
}

// --- last session ----------------------------------------------------------------

void BBXAnalyticsController::readLastSessionInformation() {
    lastSessionIdentifier_.reset();
    lastSessionTimestamp_ = 0;
    lastSessionMetadata_.reset();
    if (!env_.defaults) return;
    auto identifier = env_.defaults->objectForKey(kLastSessionIdentifierKey);
    auto timestamp = env_.defaults->objectForKey(kLastSessionTimestampKey);
    auto metadata = env_.defaults->objectForKey(kLastSessionMetadataKey);
    if (!identifier || !identifier->is_string() || !timestamp || !metadata || !metadata->is_binary() ||
        base::plistIsDate(*metadata))
        return;
    auto start = storedTimestamp(*timestamp);
    if (!start) return;
    lastSessionIdentifier_ = identifier->get<std::string>();
    lastSessionTimestamp_ = *start;
    const auto& bytes = metadata->get_binary();
    lastSessionMetadata_ = std::string(bytes.begin(), bytes.end());
}

void BBXAnalyticsController::saveCurrentSessionInformation() {
    if (!env_.defaults) return;
    const std::string& meta = metadataController_->metadataJSONData();
    env_.defaults->setObject(sessionIdentifier_, kLastSessionIdentifierKey);
    env_.defaults->setObject(sessionTimestamp_, kLastSessionTimestampKey);
    env_.defaults->setObject(Json::binary(std::vector<std::uint8_t>(meta.begin(), meta.end())),
                             kLastSessionMetadataKey);
    env_.defaults->synchronize();
}

// --- settings ----------------------------------------------------------------

BBXAnalyticsController::Settings BBXAnalyticsController::settingsSnapshot() const {
    std::lock_guard lock(settingsMutex_);
    return settings_;
}

bool BBXAnalyticsController::analyticsFeatureSwitchEnabled() const {
    return readSettings([](const Settings& s) { return !s.haveSettings || s.collect; });
}

bool BBXAnalyticsController::customEventsFeatureSwitchEnabled() const {
    return readSettings([](const Settings& s) { return !s.haveSettings || (s.collect && s.trackCustomEvents); });
}

bool BBXAnalyticsController::predefinedEventsFeatureSwitchEnabled() const {
    return readSettings([](const Settings& s) { return !s.haveSettings || (s.collect && s.trackPredefinedEvents); });
}

void BBXAnalyticsController::trellisSettingsDownloaded() {
    setSettings(env_.core ? env_.core->settings() : std::nullopt);
}

void BBXAnalyticsController::setSettings(std::optional<Json> settings) {
    maintenanceQueue_.post([this, settings = std::move(settings)] {
        if (!stopping_) applySettings(settings);
    });
}

void BBXAnalyticsController::applySettings(const std::optional<Json>& settings) {
    bool collect = settingBool(child(settings, "features"), "collect_analytics");
    const Json* analytics = child(settings, "analytics");
    if (collect) tally::debugLog("Tally enabled with settings: {}", analytics ? analytics->dump() : "(null)");
    Settings s;
    s.haveSettings = settings.has_value() && settings->is_object();
    s.collect = collect;
    if (analytics && analytics->is_object()) {
        auto url = analytics->find("url");
        if (url != analytics->end() && url->is_string()) s.analyticsURL = url->get<std::string>();
    }
    s.flushOnBackground = settingBool(analytics, "flush_on_background");
    s.maxByteSizePerFile = settingUnsigned(analytics, "max_byte_size_per_file", UINT64_MAX);
    s.flushIntervalSecs = static_cast<std::uint32_t>(settingUnsigned(analytics, "flush_interval_secs", UINT32_MAX));
    s.maxPendingSendFileCount = settingPositiveCount(analytics, "max_pending_send_file_count")
                                    .value_or(kBuiltInMaxPendingSendFileCount);
    s.trackCustomEvents = settingBool(analytics, "track_custom_events");
    s.trackPredefinedEvents = settingBool(analytics, "track_predefined_events");
    s.samplingRate = settingSigned(analytics, "sampling_rate");
    {
        std::lock_guard lock(settingsMutex_);
        settings_ = s;
    }
    scheduleSessionMaintenance();
    handleDisabledFeatureSwitch();

    if (!s.haveSettings) {
        // Nothing can be sent yet, but what waits must stay bounded.
        if (tryTakeMaintenanceLock()) pruneSessionFragmentLogFiles([](std::optional<base::Error> error) {
                if (error) tally::debugLog("Unable to prune session fragment log files {{{}}}", error->localizedDescription());
            });
        return;
    }
    if (!collect) return;
    std::string current;
    {
        std::lock_guard lock(currentFragmentMutex_);
        current = currentFragmentDirectory_;
    }
    if (!current.empty() && !fs::is_directory(current)) {
        // Switched back on after a purge: start writing again.
        lockSessionDirectory();
        base::Error error;
        if (!prepareNewSessionFragment(env_.identifierGenerator->generateSessionFragmentIdentifier(),
                                       env_.timestampGenerator->generateAnalyticsTimestamp(), &error))
            tally::debugLog("Unable to prepare new session fragment {{error: {}}}", error.localizedDescription());
    }
    if (!loggedAnalyticsEnabled_) {
        if (auto dir = repository_.sessionDirectoryURLForStateName(Repo::kActiveState, sessionIdentifier_,
                                                                   sessionTimestamp_)) {
            tally::debugLog("Logging events to session directory {}", *dir);
            loggedAnalyticsEnabled_ = true;
        }
    }
    if (performSessionMaintenanceAfterSettingsArrive_.exchange(false)) maintainSessionFragmentsIgnoringError();
}

void BBXAnalyticsController::handleDisabledFeatureSwitch() {
    if (analyticsFeatureSwitchEnabled()) return;
    tally::debugLog("Tally is disabled. Cleaning up session directory");
    std::error_code ec;
    if (fs::exists(root_, ec)) {
        for (int p = 0; p < 3; ++p) {
            priorityQueues_[p]->sync([this, p] {
                auto& ps = priorities_[p];
                ps.file.reset();
                ps.fileURL.clear();  // later appends fail cleanly until a new fragment opens
            });
        }
        fs::remove_all(root_, ec);
        if (ec) tally::debugLog("Unable to purge analytics directory {{error = {}}}", ec.message());
    }
    loggedAnalyticsEnabled_ = false;
    performSessionMaintenanceAfterSettingsArrive_ = false;
}

// --- events ------------------------------------------------------------------

void BBXAnalyticsController::logAppInstalled() {
    if (!env_.core || !env_.core->isFirstInstall()) return;
    logEvent(BBXAnalyticsApplicationLifecycleEvent::initApplicationInstalledEvent(
        env_.timestampGenerator->generateAnalyticsTimestamp(), env_.identifierGenerator->generateEventIdentifier()));
}

void BBXAnalyticsController::logAppLaunched() {
    logEvent(BBXAnalyticsApplicationLifecycleEvent::initApplicationLaunchedEvent(
        env_.timestampGenerator->generateAnalyticsTimestamp(), env_.identifierGenerator->generateEventIdentifier()));
}

void BBXAnalyticsController::applicationLifecycleEvent(const std::string& notificationName) {
    logEvent(BBXAnalyticsApplicationLifecycleEvent::initWithApplicationNotificationName(
        notificationName, env_.timestampGenerator->generateAnalyticsTimestamp(),
        env_.identifierGenerator->generateEventIdentifier(), settingsSnapshot().flushOnBackground));
    if (notificationName == BBXAnalyticsApplicationLifecycleEvent::kWillTerminate) {
        // The process is about to exit: write what is still queued.
        hurryLowPriorityBatch();
        for (auto& q : priorityQueues_) q->drain();
    }
}

void BBXAnalyticsController::logPredefinedEvent(std::shared_ptr<BBXTallyEvent> event) {
    if (!event) return;
    if (!predefinedEventsFeatureSwitchEnabled()) {
        tally::alwaysLog("Tally Event tracking is disabled for this application. Ignoring {}", event->description());
        return;
    }
    logTallyEvent(std::move(event));
}

void BBXAnalyticsController::logCustomEvent(std::shared_ptr<BBXTallyEvent> event) {
    if (!event) return;
    if (!customEventsFeatureSwitchEnabled()) {
        tally::alwaysLog("Tally Event tracking is disabled for this application. Ignoring {}", event->description());
        return;
    }
    logTallyEvent(std::move(event));
}

void BBXAnalyticsController::logTallyEvent(std::shared_ptr<BBXTallyEvent> event) {
    if (!event) return;
    if (!analyticsFeatureSwitchEnabled()) {
        tally::alwaysLog("Tally is disabled for this application. Please enable Tally on your dashboard.");
        return;
    }
    // The description is built only when it is written.
    if (tally::debugEnabled()) tally::debugLog("Logging event: {}", event->description());
    logEvent(BBXAnalyticsEvent::initWithTallyEvent(std::shared_ptr<const BBXTallyEvent>(std::move(event)),
                                                   env_.timestampGenerator->generateAnalyticsTimestamp(),
                                                   env_.identifierGenerator->generateEventIdentifier()));
}

void BBXAnalyticsController::logEvent(std::shared_ptr<BBXEventLogEvent> event) {
    if (!event) return;
    auto installID = env_.core ? env_.core->installID() : std::nullopt;
    if (BBXAnalyticsEventFilter::shouldDiscardEvent(event.get(), betaToken_, installID,
                                                    readSettings([](const Settings& s) { return s.samplingRate; }))) {
        tally::debugLog("Application is enabled for sampling, skipping {}", event->key());
        return;
    }
    if (!analyticsFeatureSwitchEnabled()) return;
    std::uint64_t priority = event->priority();
    if (priority > 2) return;
    if (priority == 2) {
        enqueueLowPriorityEvent(*event);
    } else {
        priorityQueues_[priority]->sync([&] { appendOnPriorityQueue(static_cast<std::int64_t>(priority), event); });
    }
}

void BBXAnalyticsController::enqueueLowPriorityEvent(const BBXEventLogEvent& event) {
    bool post, full;
    {
        std::unique_lock lock(pending_.mutex);
        if (pending_.lines.size() >= kMaxPendingLowPriorityBytes && !priorityQueues_[2]->isCurrent())
            pending_.room.wait(lock, [&] { return pending_.lines.size() < kMaxPendingLowPriorityBytes; });
        std::size_t before = pending_.lines.size();
        event.appendEventData(pending_.lines);
        post = !pending_.writePosted;
        pending_.writePosted = true;
        full = !post && before < kLowPriorityBatchBytes && pending_.lines.size() >= kLowPriorityBatchBytes;
    }
    if (post) priorityQueues_[2]->post([this] { writeLowPriorityBatch(); });
    if (full) pending_.full.notify_one();
}

void BBXAnalyticsController::hurryLowPriorityBatch() {
    {
        std::lock_guard lock(pending_.mutex);
        pending_.urgent = true;
    }
    pending_.full.notify_all();
}

void BBXAnalyticsController::writeLowPriorityBatch() {
    {
        std::unique_lock lock(pending_.mutex);
        pending_.full.wait_for(lock, kLowPriorityGatherTime, [&] {
            return pending_.urgent || pending_.lines.size() >= kLowPriorityBatchBytes;
        });
        pending_.urgent = false;
        // The emptied batch buffer goes back, so neither side allocates again.
        lowPriorityBatch_.clear();
        std::swap(lowPriorityBatch_, pending_.lines);
        pending_.writePosted = false;
    }
    pending_.room.notify_all();
    if (lowPriorityBatch_.empty()) return;
    base::Error error;
    if (!ensureLogFileExistsForPriority(2, &error)) {
        tally::debugLog("Unable to create a new log file for priority {} {{error: {}}}", 2,
                        error.localizedDescription());
    } else if (!priorities_[2].file->appendData(lowPriorityBatch_, &error)) {
        tally::debugLog("Unable to append events {{error: {}}}", error.localizedDescription());
        priorities_[2].file.reset();  // reopened (and headed again) by the next batch
    } else {
        handleSizeTriggeredMaintainSessionFragmentForLogFile(*priorities_[2].file);
    }
    if (lowPriorityBatch_.capacity() > 2 * kMaxPendingLowPriorityBytes) std::string().swap(lowPriorityBatch_);
    lowPriorityBatch_.clear();
}

void BBXAnalyticsController::appendOnPriorityQueue(std::int64_t priority,
                                                   const std::shared_ptr<BBXEventLogEvent>& event) {
    base::Error error;
    if (!ensureLogFileExistsForPriority(priority, &error)) {
        tally::debugLog("Unable to create a new log file for priority {} {{error: {}}}", priority,
                        error.localizedDescription());
        return;
    }
    auto& ps = priorities_[priority];
    if (!ps.file->appendEvent(*event, &error)) {
        tally::debugLog("Unable to append event {} {{error: {}}}", event->key(), error.localizedDescription());
        ps.file.reset();  // reopened (and headed again) by the next event
        return;
    }
    if (!handleSizeTriggeredMaintainSessionFragmentForLogFile(*ps.file))
        handlePriorityTriggeredMaintainSessionFragmentForEvent(*event);
}

bool BBXAnalyticsController::handleSizeTriggeredMaintainSessionFragmentForLogFile(const BBXEventLogFile& file) {
    std::uint64_t limit = readSettings([](const Settings& s) { return s.maxByteSizePerFile; });
    if (limit == 0 || file.fileSize() <= limit) return false;
    requestTriggeredMaintenance();
    return true;
}

bool BBXAnalyticsController::handlePriorityTriggeredMaintainSessionFragmentForEvent(const BBXEventLogEvent& event) {
    if (event.priority() != 0) return false;
    if (readSettings([](const Settings& s) { return s.haveSettings; })) requestTriggeredMaintenance();
    else performSessionMaintenanceAfterSettingsArrive_ = true;
    return true;
}

void BBXAnalyticsController::requestTriggeredMaintenance() {
    // One chain waiting per fragment is enough: the next fragment switch
    // clears the flag.
    if (triggeredMaintenancePending_.exchange(true)) return;
    maintainSessionFragmentsIgnoringError();
}

bool BBXAnalyticsController::ensureLogFileExistsForPriority(std::int64_t priority, base::Error* error) {
    if (priority == -1) return true;
    if (priority < 0 || priority > 2) {
        if (error) *error = controllerError(-4, "no such priority");
        return false;
    }
    auto& ps = priorities_[priority];
    if (ps.file) return true;
    if (ps.fileURL.empty()) {
        if (error) *error = controllerError(-4, "no open session fragment");
        return false;
    }
    std::error_code ec;
    // Another copy's clean-up may have taken an empty fragment away.
    fs::create_directories(fs::path(ps.fileURL).parent_path(), ec);
    auto file = BBXEventLogEventFile::initWithURL(ps.fileURL);
    if (!file) {
        if (error) *error = controllerError(-4, "unable to open " + ps.fileURL);
        return false;
    }
    std::optional<std::string> meta;
    if (!metadataController_->metadataJSONData().empty()) meta = metadataController_->metadataJSONData();
    BBXAnalyticsMetadataEvent header(static_cast<std::uint64_t>(priority), ps.fragmentTimestamp, meta);
    if (!file->appendEvent(header, error)) return false;
    ps.file = std::move(file);
    return true;
}

// --- fragments ---------------------------------------------------------------

std::string BBXAnalyticsController::currentSessionFragmentDirectoryURL() {
    std::lock_guard lock(currentFragmentMutex_);
    return currentFragmentDirectory_;
}

std::optional<std::string> BBXAnalyticsController::createEventFileURLForPriority(std::int64_t priority,
                                                                                 base::Error* error) {
    return repository_.eventLogFileURLForStateName(Repo::kActiveState, sessionIdentifier_, sessionTimestamp_,
                                                   currentFragmentIdentifier_, currentFragmentTimestamp_, priority,
                                                   error);
}

bool BBXAnalyticsController::prepareNewSessionFragment(const std::string& identifier, std::uint64_t timestamp,
                                                       base::Error* error) {
    // Our lock goes when the whole folder was purged (analytics switched
    // off and on): take it again before writing there.
    if (!sessionDirectory_.empty() && !holdsSessionLock()) lockSessionDirectory();
    currentFragmentIdentifier_ = identifier;
    currentFragmentTimestamp_ = timestamp;
    auto dir = repository_.sessionFragmentDirectoryURLForStateName(Repo::kActiveState, sessionIdentifier_,
                                                                   sessionTimestamp_, identifier, timestamp, error);
    if (!dir) return false;
    {
        std::lock_guard lock(currentFragmentMutex_);
        currentFragmentDirectory_ = *dir;
    }
    std::array<std::string, 3> urls;
    for (int p = 0; p < 3; ++p) {
        auto url = createEventFileURLForPriority(p, error);
        if (!url) return false;
        urls[p] = *url;
    }
    struct HandOver {
        std::mutex mutex;
        std::condition_variable cv;
        int remaining = 3;
    };
    auto handOver = std::make_shared<HandOver>();
    std::string fragment = Repo::standardized(*dir);
    {
        std::lock_guard lock(inUseMutex_);
        for (int p = 0; p < 3; ++p) fragmentsInUse_.insert(fragment);
    }
    for (int p = 0; p < 3; ++p) {
        priorityQueues_[p]->post([this, p, url = urls[p], timestamp, fragment, handOver] {
            auto& ps = priorities_[p];
            ps.file.reset();
            std::string previous = std::move(ps.fragmentDirectory);
            ps.fileURL = url;
            ps.fragmentTimestamp = timestamp;
            ps.fragmentDirectory = fragment;
            if (!previous.empty()) {
                std::lock_guard lock(inUseMutex_);
                auto it = fragmentsInUse_.find(previous);
                if (it != fragmentsInUse_.end()) fragmentsInUse_.erase(it);
            }
            std::lock_guard lock(handOver->mutex);
            if (--handOver->remaining == 0) handOver->cv.notify_all();
        });
    }
    std::unique_lock lock(handOver->mutex);
    return handOver->cv.wait_for(lock, kHandOverTimeout, [&] { return handOver->remaining == 0; });
}

std::vector<std::string> BBXAnalyticsController::fragmentsInUse() {
    std::vector<std::string> out;
    {
        std::lock_guard lock(inUseMutex_);
        out.assign(fragmentsInUse_.begin(), fragmentsInUse_.end());
    }
    auto current = currentSessionFragmentDirectoryURL();
    if (!current.empty()) out.push_back(Repo::standardized(current));
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

// --- previous session crash ---------------------------------------------------------

void BBXAnalyticsController::logPreviousSessionCrashedOnDate(std::optional<double> secondsSince1970) {
    tally::debugLog("Logging previous session crashed event {{date: {}}}",
                    secondsSince1970 ? std::to_string(*secondsSince1970) : "(null)");
    maintenanceQueue_.post([this, secondsSince1970] {
        if (!secondsSince1970 || !lastSessionIdentifier_ || !lastSessionMetadata_ || lastSessionTimestamp_ == 0)
            return;
        double secs = std::floor(std::max(0.0, *secondsSince1970));
        std::uint64_t timestamp = static_cast<std::uint64_t>(secs) * 1000;
        auto crash = BBXAnalyticsApplicationLifecycleEvent::initApplicationCrashedEvent(
            timestamp, env_.identifierGenerator->generateEventIdentifier());
        BBXAnalyticsMetadataEvent metadata(1, timestamp, lastSessionMetadata_);
        // The previous session's folder may be in the hands of another
        // copy's maintenance: write there only once it lets go.
        int lockFd = lockSessionFolder(repository_, Repo::kActiveState, *lastSessionIdentifier_,
                                       lastSessionTimestamp_, nullptr, std::chrono::seconds(2));
        struct Unlock {
            int fd;
            ~Unlock() {
                if (fd >= 0) ::close(fd);
            }
        } unlock{lockFd};
        base::Error error;
        auto url = repository_.eventLogFileURLForStateName(
            Repo::kActiveState, *lastSessionIdentifier_, lastSessionTimestamp_,
            env_.identifierGenerator->generateSessionFragmentIdentifier(), timestamp, 1, &error);
        if (!url) {
            tally::debugLog("Unable to create a new session fragment to contain crash event {{error: {}}}",
                            error.localizedDescription());
            return;
        }
        auto file = BBXEventLogEventFile::initWithURL(*url);
        if (!file) return;
        bool ok = file->appendEvent(metadata, &error);
        if (!ok) tally::debugLog("Unable to log metadata event {{error: {}}}", error.localizedDescription());
        if (ok && !(ok = file->appendEvent(*crash, &error)))
            tally::debugLog("Unable to log crash event {{error: {}}}", error.localizedDescription());
        if (!ok) {
            file.reset();
            repository_.removeLogFile(*url);
        }
    });
}
