// The maintenance chain of the analytics controller and its timer: switch
// fragments, package the closed ones, upload, prune, clean up.
#include <algorithm>
#include <cmath>
#include <filesystem>

#include "kits/tally/BBXAnalyticsController.h"
#include "base/Plist.h"
#include "kits/tally/BBXAnalyticsPackaging.h"
#include "kits/tally/TallyLog.h"
#include "kits/trellis/BBXURLSession.h"
#include "kits/trellis/BBXUserDefaults.h"

namespace fs = std::filesystem;
using Repo = BBXEventLogSessionRepository;
using Completion = BBXAnalyticsController::Completion;

namespace {
base::Error controllerError(std::int64_t code, const std::string& text) {
    return base::Error(kBBXAnalyticsControllerErrorDomain, code, text);
}

void logRemoveFailure(const std::string& fragment, const base::Error& error) {
    tally::debugLog("Unable to delete session fragment directory \"{}\" {{{}}}", fragment,
                    error.localizedDescription());
}
}  // namespace

void BBXAnalyticsController::maintainSessionFragmentsIgnoringError() {
    maintainSessionFragments([](std::optional<base::Error> error) {
        if (error) tally::debugLog("Unable to maintain session fragments {{{}}}", error->localizedDescription());
    });
}

void BBXAnalyticsController::maintainSessionFragments(Completion completion) {
    openNewSessionFragment([this, completion](std::optional<base::Error> error) {
        if (error) tally::debugLog("Unable to open new session fragment {{{}}}", error->localizedDescription());
        if (stopping_ || !tryTakeMaintenanceLock()) {
            // Another running copy maintains the store; this one only
            // switches its own fragments.
            completion(std::nullopt);
            return;
        }
        packageClosedSessionFragments([this, completion](std::optional<base::Error> error) {
            if (error)
                tally::debugLog("Unable to package closed session fragments {{{}}}", error->localizedDescription());
            transmitPackagedSessionFragments([this, completion](std::optional<base::Error> error) {
                if (error)
                    tally::debugLog("Unable to transmit packaged session fragments {{{}}}",
                                    error->localizedDescription());
                else
                    tally::debugLog("Successfully transmitted packaged session fragments");
                pruneSessionFragmentLogFiles([this, completion](std::optional<base::Error> error) {
                    if (error)
                        tally::debugLog("Unable to prune session fragment log files {{{}}}",
                                        error->localizedDescription());
                    cleanUpRepository([this, completion](std::optional<base::Error> error) {
                        if (error)
                            tally::debugLog("Unable to clean up session repository {{{}}}",
                                            error->localizedDescription());
                        saveLastMaintenanceDate(
                            static_cast<double>(env_.timestampGenerator->generateAnalyticsTimestamp()) / 1000.0);
                        completion(std::nullopt);
                    });
                });
            });
        });
    });
}

void BBXAnalyticsController::openNewSessionFragment(Completion completion) {
    maintenanceQueue_.post([this, completion] {
        triggeredMaintenancePending_ = false;
        if (stopping_) {
            completion(std::nullopt);
            return;
        }
        base::Error error;
        if (!prepareNewSessionFragment(env_.identifierGenerator->generateSessionFragmentIdentifier(),
                                       env_.timestampGenerator->generateAnalyticsTimestamp(), &error)) {
            if (error.domain.empty()) error = controllerError(-4, "the fragment hand-over timed out");
            completion(error);
            return;
        }
        completion(std::nullopt);
    });
}

void BBXAnalyticsController::packageClosedSessionFragments(Completion completion) {
    maintenanceQueue_.post([this, completion] {
        // Leave alone what is still written: our open fragment, one whose
        // hand-over has not finished, and every session a running copy
        // holds, decided session by session right before packaging it.
        base::Error error;
        if (!BBXAnalyticsPackaging::packageClosedSessionFragments(
                repository_, fragmentsInUse(), [this](const std::string& session) { return claimSession(session); },
                &error)) {
            completion(error);
            return;
        }
        completion(std::nullopt);
    });
}

void BBXAnalyticsController::transmitPackagedSessionFragments(Completion completion) {
    maintenanceQueue_.post([this, completion] {
        if (settingsSnapshot().analyticsURL.empty()) {
            completion(controllerError(-2, "no analytics URL in the settings"));
            return;
        }
        if (sessionFragmentsToTransmit_) {
            completion(controllerError(-1, "an upload pass is already running"));
            return;
        }
        if (env_.scheduler->clock().now() < transmitNotBefore_) {
            completion(controllerError(-5, "the upload address was unreachable; waiting before trying again"));
            return;
        }
        auto fragments = repository_.sessionFragmentDirectoryURLsForStateName(Repo::kPackagedState);
        sessionFragmentsToTransmit_ = fragments ? *fragments : std::vector<std::string>{};
        transmitNextPackagedSessionFragment(completion);
    });
}

void BBXAnalyticsController::transmitNextPackagedSessionFragment(Completion completion) {
    while (sessionFragmentsToTransmit_ && !sessionFragmentsToTransmit_->empty()) {
        std::string fragment = sessionFragmentsToTransmit_->front();
        // A fragment that vanished meanwhile, or holds nothing readable, is
        // skipped: never an empty form.
        std::optional<std::vector<std::string>> files;
        if (!stopping_ && !Repo::isPrepDirectoryURL(fragment) && fs::is_directory(fragment))
            files = repository_.logFileURLsForSessionFragmentDirectory(fragment);
        if (!files || files->empty()) {
            sessionFragmentsToTransmit_->erase(sessionFragmentsToTransmit_->begin());
            continue;
        }
        tally::debugLog("Transmitting packaged session fragments in {}", fragment);
        auto settings = settingsSnapshot();
        std::string apiKey = env_.core ? env_.core->apiKey().value_or("") : "";
        auto upload = std::make_shared<Upload>();
        upload->fragment = fragment;
        {
            std::lock_guard lock(uploadMutex_);
            upload_ = upload;
        }
        env_.networkingClient->transmitLogFilesAtURLs(
            *files, settings.analyticsURL, apiKey, [gate = gate_, upload, completion](std::optional<base::Error> error) {
                {
                    std::lock_guard lock(upload->mutex);
                    upload->finished = true;
                    upload->error = error;
                    // An accepted fragment goes now, not once the maintenance
                    // queue gets through the work ahead of it: a run killed
                    // meanwhile would send it again.
                    base::Error removeError;
                    if (!error && !Repo::discardSessionFragmentDirectory(upload->fragment, &removeError))
                        logRemoveFailure(upload->fragment, removeError);
                }
                upload->cv.notify_all();
                // A controller already going away applies the outcome
                // itself; otherwise its queue, drained before it is gone,
                // takes the rest.
                through(gate, [&](auto& self) {
                    self.maintenanceQueue_.post(
                        [raw = &self, upload, completion] { raw->handleTransmitCompletion(upload, completion); });
                });
            });
        return;
    }
    sessionFragmentsToTransmit_.reset();
    completion(std::nullopt);
}

namespace {
// The upload address could not be reached at all, as opposed to a server
// that answered with an error: trying the next fragment now is pointless.
bool isTransportFailure(const base::Error& error) {
    return error.domain == kBBXURLErrorDomain && error.code != kBBXURLErrorCancelled;
}
}  // namespace

void BBXAnalyticsController::applyUploadResult(Upload& upload) {
    {
        std::lock_guard lock(upload.mutex);
        if (!upload.finished || upload.applied) return;
        upload.applied = true;
        if (upload.error) return;  // a failed fragment stays in PACKAGED for a later pass
    }
    // The fragment went when the answer came; the folders it left empty go
    // here, where no packaging adds to them meanwhile.
    base::Error removeError;
    if (!repository_.removeSessionFragmentDirectory(upload.fragment, &removeError))
        logRemoveFailure(upload.fragment, removeError);
}

void BBXAnalyticsController::finishInFlightUpload() {
    std::shared_ptr<Upload> upload;
    {
        std::lock_guard lock(uploadMutex_);
        upload = upload_;
    }
    if (!upload) return;
    {
        std::unique_lock lock(upload->mutex);
        upload->cv.wait_for(lock, kShutdownUploadWait, [&] { return upload->finished; });
    }
    // Whatever was posted to the queue has run by now, or never will.
    maintenanceQueue_.drain();
    applyUploadResult(*upload);
}

void BBXAnalyticsController::handleTransmitCompletion(const std::shared_ptr<Upload>& upload, Completion completion) {
    applyUploadResult(*upload);
    {
        std::lock_guard lock(uploadMutex_);
        if (upload_ == upload) upload_.reset();
    }
    std::optional<base::Error> error;
    {
        std::lock_guard lock(upload->mutex);
        error = upload->error;
    }
    if (error && isTransportFailure(*error)) {
        // End the pass; the next ones wait, longer after each failure.
        transmitBackOff_ = transmitBackOff_.count() == 0 ? kFirstTransmitBackOff
                                                         : std::min(transmitBackOff_ * 2, kMaxTransmitBackOff);
        transmitNotBefore_ = env_.scheduler->clock().now() + transmitBackOff_;
        sessionFragmentsToTransmit_.reset();
        completion(error);
        return;
    }
    if (!error) {
        transmitBackOff_ = std::chrono::seconds(0);
        transmitNotBefore_ = {};
    }
    if (sessionFragmentsToTransmit_ && !sessionFragmentsToTransmit_->empty())
        sessionFragmentsToTransmit_->erase(sessionFragmentsToTransmit_->begin());
    transmitNextPackagedSessionFragment(completion);
}

std::vector<std::vector<std::string>> BBXAnalyticsController::mutableSortedFileURLsGroupedByPrioritiesFromLogFileURLs(
    const std::vector<std::string>& files) {
    std::vector<std::vector<std::string>> groups;
    for (const auto& file : files) {
        auto priority = Repo::priorityForEventLogFileWithName(fs::path(file).filename().string());
        if (priority < 0) continue;
        if (groups.size() <= static_cast<std::size_t>(priority)) groups.resize(priority + 1);
        groups[priority].push_back(file);
    }
    for (auto& g : groups) std::sort(g.begin(), g.end());
    return groups;
}

std::vector<std::string> BBXAnalyticsController::nonCurrentLogFileURLsForAllStates(base::Error* error,
                                                                                  Claims& claims) {
    auto all = repository_.logFileURLsForAllStates(error);
    if (!all) return {};
    auto inUse = fragmentsInUse();
    std::vector<std::string> out;
    for (auto& file : *all) {
        std::string fragment = Repo::standardized(Repo::sessionFragmentDirectoryURLForLogFileURL(file));
        if (std::find(inUse.begin(), inUse.end(), fragment) != inUse.end()) continue;
        std::string session = Repo::standardized(Repo::sessionDirectoryURLForSessionFragmentDirectoryURL(fragment));
        if (Repo::itemURLHasNameMatching(Repo::stateDirectoryURLForSessionDirectoryURL(session), Repo::kActiveState)) {
            auto claim = claims.find(session);
            if (claim == claims.end()) claim = claims.emplace(session, claimSession(session)).first;
            if (!claim->second) continue;  // a running copy writes there
        }
        out.push_back(std::move(file));
    }
    return out;
}

void BBXAnalyticsController::pruneSessionFragmentLogFiles(Completion completion) {
    maintenanceQueue_.post([this, completion] {
        auto settings = settingsSnapshot();
        std::uint64_t limit = settings.haveSettings ? settings.maxPendingSendFileCount : kBuiltInMaxPendingSendFileCount;
        base::Error error;
        error.domain.clear();
        Claims claims;
        auto files = nonCurrentLogFileURLsForAllStates(&error, claims);
        if (files.empty() && !error.domain.empty()) {
            completion(error);
            return;
        }
        std::size_t n = files.size();
        auto groups = mutableSortedFileURLsGroupedByPrioritiesFromLogFileURLs(files);
        while (n > limit) {
            // The lowest priority present loses its oldest file first.
            while (!groups.empty() && groups.back().empty()) groups.pop_back();
            if (groups.empty()) {
                completion(controllerError(-3, "no log file left to remove"));
                return;
            }
            auto& last = groups.back();
            if (!repository_.removeLogFile(last.front(), &error)) {
                completion(error);
                return;
            }
            last.erase(last.begin());
            --n;
        }
        completion(std::nullopt);
    });
}

void BBXAnalyticsController::cleanUpRepository(Completion completion) {
    maintenanceQueue_.post([this, completion] {
        base::Error error;
        if (!repository_.cleanUpEventLogRepositoryIgnoring(
                fragmentsInUse(), [this](const std::string& session) { return claimSession(session); }, &error)) {
            completion(error);
            return;
        }
        completion(std::nullopt);
    });
}

// --- the timer -----------------------------------------------------------------

double BBXAnalyticsController::lastMaintenanceDate() {
    double now = static_cast<double>(env_.timestampGenerator->generateAnalyticsTimestamp()) / 1000.0;
    if (!env_.defaults) return now;
    auto stored = env_.defaults->objectForKey(kLastMaintenanceDateKey);
    if (stored) {
        if (auto date = base::plistDateSeconds(*stored)) return *date;
        // Earlier builds stored the seconds as a plain number.
        if (stored->is_number() && std::isfinite(stored->get<double>())) return stored->get<double>();
    }
    saveLastMaintenanceDate(now);
    return now;
}

void BBXAnalyticsController::saveLastMaintenanceDate(double secondsSince1970) {
    if (!env_.defaults) return;
    env_.defaults->setObject(base::plistDate(secondsSince1970), kLastMaintenanceDateKey);
    env_.defaults->synchronize();
}

double BBXAnalyticsController::initialMaintenanceTimeWithFlushInterval(std::uint32_t interval) {
    double now = static_cast<double>(env_.timestampGenerator->generateAnalyticsTimestamp()) / 1000.0;
    double elapsed = now - lastMaintenanceDate();
    // A clock set back makes the last maintenance look like the future:
    // still fire within one interval.
    elapsed = std::clamp(elapsed, 0.0, static_cast<double>(interval));
    return static_cast<double>(interval) - elapsed;
}

void BBXAnalyticsController::scheduleSessionMaintenance() {
    cancelSessionMaintenance();
    auto settings = settingsSnapshot();
    if (!analyticsFeatureSwitchEnabled() || settings.flushIntervalSecs == 0 || stopping_) return;
    double delay = initialMaintenanceTimeWithFlushInterval(settings.flushIntervalSecs);
    auto interval = std::chrono::seconds(settings.flushIntervalSecs);
    std::lock_guard lock(timerMutex_);
    std::uint64_t generation = ++timerGeneration_;
    auto first = std::chrono::duration_cast<base::Duration>(std::chrono::duration<double>(delay));
    // The timer holds the controller weakly; its work goes to the
    // maintenance queue.
    timerId_ = env_.scheduler->after(first, nullptr, [gate = gate_, generation, interval] {
        through(gate, [&](auto& self) {
            {
                std::lock_guard lock(self.timerMutex_);
                if (generation != self.timerGeneration_) return;
                self.timerId_ = self.env_.scheduler->every(interval, nullptr, [gate] {
                    through(gate, [](auto& again) { again.maintainSessionFragmentsIgnoringError(); });
                });
            }
            self.maintainSessionFragmentsIgnoringError();
        });
    });
}

void BBXAnalyticsController::cancelSessionMaintenance() {
    std::lock_guard lock(timerMutex_);
    ++timerGeneration_;
    if (timerId_) env_.scheduler->cancel(*timerId_);
    timerId_.reset();
}

bool BBXAnalyticsController::isMaintenanceTimerScheduled() {
    std::lock_guard lock(timerMutex_);
    return timerId_.has_value() && env_.scheduler->isPending(*timerId_);
}
