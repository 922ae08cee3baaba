#include "kits/blackbox/BBXCrashReportingController.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "base/AppInfo.h"
#include "base/Log.h"
#include "kits/blackbox/BBXApplication.h"
#include "kits/blackbox/BBXContextSetup.h"
#include "kits/blackbox/BBXException.h"
#include "kits/blackbox/BBXFileManager.h"
#include "kits/blackbox/BBXInternalReport.h"
#include "kits/blackbox/BBXKitSupport.h"
#include "kits/blackbox/BBXSettings.h"
#include "kits/blackbox/BBXUserLogging.h"
#include "base/Text.h"

namespace {

bool isDirectory(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

// "%f", with a point in every locale.
std::string millisecondsText(double ms) { return base::formatFixed(ms, 6); }

}  // namespace

int BBXReportDirectoryLock(const std::string& directory) {
    const std::string path = directory + "/.lock";
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool BBXReportDirectoryIsLive(const std::string& directory) {
    const std::string path = directory + "/.lock";
    // Without blocking: whatever stands in the lock's place is never waited on.
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    const bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0;
    ::close(fd);
    return held;
}

BBXCrashReportingController::BBXCrashReportingController(std::shared_ptr<BBXFileManager> fileManager,
                                                         BBXCrashReportingControllerDelegate* delegate,
                                                         Environment environment)
    : fileManager_(std::move(fileManager)), delegate_(delegate), environment_(std::move(environment)) {
    client_ = BBXNetworkClient::initWithQueue(&queue_, fileManager_, this, environment_.pinnedCertificates);
    if (environment_.scheduler) client_->setScheduler(environment_.scheduler);
}

BBXCrashReportingController::~BBXCrashReportingController() {
    for (auto id : observers_) base::NotificationCenter::defaultCenter().removeObserver(id);
    for (auto id : timers_) scheduler().cancel(id);
    // An upload still being answered reports through the client, on our
    // queue: let the client go first, so that its session stops delivering
    // here, then wait for what it delivered already. Draining first would
    // leave an answer landing after the drain to run into our teardown.
    std::shared_ptr<BBXNetworkClient> client;
    std::shared_ptr<BBXReportsController> reports;
    {
        std::lock_guard lock(mutex_);  // a queued task may be making the reports controller
        client = std::move(client_);
        reports = std::move(reportsController_);
    }
    reports.reset();
    client.reset();
    queue_.drain();
    if (currentLock_ >= 0) ::close(currentLock_);
}

base::Executor& BBXCrashReportingController::mainQueue() {
    return environment_.mainQueue ? *environment_.mainQueue : static_cast<base::Executor&>(queue_);
}
base::Scheduler& BBXCrashReportingController::scheduler() {
    return environment_.scheduler ? *environment_.scheduler : base::Scheduler::shared();
}

std::shared_ptr<BBXSettings> BBXCrashReportingController::settings() {
    std::lock_guard lock(mutex_);
    if (!settings_) settings_ = delegate_ ? delegate_->settingsForCrashReportingController(*this) : nullptr;
    if (!settings_) settings_ = std::make_shared<BBXSettings>();
    return settings_;
}

std::string BBXCrashReportingController::bundleIdentifier() const {
    return environment_.bundleIdentifier ? *environment_.bundleIdentifier : BBXBundleIdentifierNamespace();
}

std::shared_ptr<BBXReportsController> BBXCrashReportingController::reportsController() {
    std::lock_guard lock(mutex_);
    if (!reportsController_) reportsController_ = std::make_shared<BBXReportsController>(&queue_, this, client_, fileManager_);
    return reportsController_;
}

bool BBXCrashReportingController::needsToPrompt() {
    const auto choice = promptChoice_.load();
    if (choice == 2 || choice == 3) return false;
    return settings()->userPromptEnabled();
}
bool BBXCrashReportingController::delegateNeedsToBeInformedOfReports() {
    return delegate_ && delegate_->reportingControllerMustInformDelegateOfReports(*this);
}
bool BBXCrashReportingController::canProcessUrgentReports() {
    return settings()->canProcessUrgentReports() && !needsToPrompt() && !delegateNeedsToBeInformedOfReports();
}
bool BBXCrashReportingController::packagingEnabled() { return settings()->shouldPackageReports(); }

// ---- launch marker

std::string BBXCrashReportingController::launchFailureMarkerPath() const {
    return fileManager_->structurePath() + "/launchmarker";
}
bool BBXCrashReportingController::createLaunchFailureMarker() {
    int fd = ::open(launchFailureMarkerPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    return ::close(fd) == 0;
}
bool BBXCrashReportingController::launchFailureMarkerPresent() const { return exists(launchFailureMarkerPath()); }
bool BBXCrashReportingController::removeLaunchFailureMarker() { return ::unlink(launchFailureMarkerPath().c_str()) == 0; }

bool BBXCrashReportingController::checkForAndCreateLaunchMarker() {
    if (launchFailureMarkerPresent()) {
        if (BBXDebugMode()) spdlog::info("[Blackbox:Crash] Last launch failed");
        return true;
    }
    createLaunchFailureMarker();
    return false;
}

// ---- start

bool BBXCrashReportingController::startWithProfilingMark(std::uint64_t mark, const std::optional<std::string>& betaToken) {
    if (bundleIdentifier().empty()) {
        spdlog::error("[Blackbox] An application must have a valid bundle idenifier in its Info.plist");
        if (const std::string why = base::AppInfo::shared().loadError(); !why.empty())
            spdlog::error("[Blackbox] Crash reporting is off: {}", why);
        return false;
    }
    if (!settings()->crashReportingEnabled()) {
        spdlog::info("[Blackbox:Crash] Reporting is disabled");
        fileManager_->removeContentsOfAllPaths();
        return false;
    }
    auto files = fileManager_;
    queue_.post([files] {
        files->removeLegacyDirectories();
        files->removeStaleTemporaryPackages(60);
    });
    if (!fileManager_->prepareForNewLaunch()) return false;

    const bool lastLaunchFailed = checkForAndCreateLaunchMarker();
    // Everything earlier executions left is listed before any of it is
    // handed on, so that nothing is picked up twice.
    const std::vector<std::string> earlierReports = fileManager_->activePathContents();
    const std::vector<std::string> processing = fileManager_->processingPathContents();
    const std::vector<std::string> prepared = fileManager_->preparedPathContents();

    currentReport_ = setupCurrentReport();
    if (!currentReport_) spdlog::error("[Blackbox:Crash] Unable to setup a new report");
    startCrashReporter(betaToken, currentReport_);
    crashReportingSetupCompleted(mark);

    processExistingReportPaths(earlierReports, lastLaunchFailed);
    handleExistingFilesInProcessing(processing);
    handleExistingFilesInPrepared(prepared);

    const std::string elapsed = millisecondsText(BBXProfileEndInterval(mark));
    BBXLoggingQueue().post([elapsed] { BBXUserLoggingWriteInternalKeyValue("io.blackbox.kit-start-time", elapsed); });
    return currentReport_ != nullptr;
}

std::shared_ptr<BBXInternalReport> BBXCrashReportingController::setupCurrentReport() {
    createLaunchFailureMarker();
    const std::string identifier = delegate_ ? delegate_->executionIdentifierForCrashReportingController(*this) : "";
    // Held for the life of the process, from before the directory can be
    // seen: another running copy leaves it alone.
    auto lock = [this](const std::string& directory) {
        if (currentLock_ >= 0) ::close(currentLock_);
        currentLock_ = BBXReportDirectoryLock(directory);
        return currentLock_ >= 0;
    };
    auto path = fileManager_->setupNewPathForExecutionIdentifier(identifier, lock);
    if (!path && !identifier.empty()) {
        spdlog::warn("[Blackbox:Crash] Unable to create the report directory of this run, trying once more");
        fileManager_->prepareForNewLaunch();
        path = fileManager_->setupNewPathForExecutionIdentifier(identifier, lock);
    }
    if (!path) {
        if (currentLock_ >= 0) ::close(currentLock_);
        currentLock_ = -1;
        return nullptr;
    }
    return BBXInternalReport::initWithPath(*path, identifier);
}

std::uint32_t BBXCrashReportingController::machExceptionMask() {
    // Exception types of the signals capture handles, in its order.
    static const std::pair<int, std::uint32_t> kSignals[] = {
        {SIGABRT, 1024}, {SIGBUS, 2}, {SIGFPE, 8}, {SIGILL, 4}, {SIGSEGV, 2}, {SIGSYS, 1024}, {SIGTRAP, 64}};
    std::uint32_t mask = 0;
    for (const auto& [signal, exceptionMask] : kSignals) {
        if (delegate_ && delegate_->reportingControllerEnsureDeliveryOfUnixSignal(*this, signal)) mask |= exceptionMask;
    }
    return mask;
}

void BBXCrashReportingController::startCrashReporter(const std::optional<std::string>& betaToken,
                                                     const std::shared_ptr<BBXInternalReport>& report) {
    auto s = settings();
    apiKey_ = delegate_ ? delegate_->APIKeyForCrashReportingController(*this) : "";
    installId_ = delegate_ ? delegate_->installIDForCrashReportingController(*this) : "";
    betaToken_ = betaToken.value_or("");
    reportPath_ = report ? report->path() : "";
    reportId_ = report ? report->identifier() : "";

    BBXContextInitData input;
    input.apiKey = apiKey_.c_str();
    input.potentiallySubmittableCrashTarget = nullptr;
    input.firstInstall = delegate_ && delegate_->isFirstInstallForCrashReportingController(*this);
    input.crashCallbackTarget = delegate_ && delegate_->shouldInstallCrashCallback() ? this : nullptr;
    input.customBundleId = nullptr;
    input.reportPath = report ? reportPath_.c_str() : nullptr;
    input.sessionId = report ? reportId_.c_str() : nullptr;
    input.installId = installId_.c_str();
    input.betaToken = betaToken ? betaToken_.c_str() : nullptr;
    input.machExceptionMask = machExceptionMask();
    input.errorReportingEnabled = s->errorReportingEnabled();
    input.customExceptionsEnabled = s->customExceptionsEnabled();
    input.maxCustomExceptions = s->maxCustomExceptions();
    input.errorLogBufferSize = s->errorLogBufferSize();
    input.logBufferSize = s->logBufferSize();
    input.maxCustomKeys = s->maxCustomKeys();

    if (environment_.installContext) environment_.installContext(&input);
    else BBXContextInitialize(&input);
    setupStateNotifications();
}

void BBXCrashReportingController::setupStateNotifications() {
    BBXLoggingQueue().post([] { BBXUserLoggingWriteInternalKeyValue("io.blackbox.in-background", "0"); });
    auto& center = base::NotificationCenter::defaultCenter();
    observers_.push_back(center.addObserver("NSApplicationWillBecomeActiveNotification", nullptr, nullptr,
                                            [](const base::Notification&) {
                                                BBXUserLoggingRecordInternalKeyValue("io.blackbox.in-background", "0");
                                            }));
    observers_.push_back(center.addObserver("NSApplicationDidResignActiveNotification", nullptr, nullptr,
                                            [](const base::Notification&) {
                                                BBXUserLoggingRecordInternalKeyValue("io.blackbox.in-background", "1");
                                            }));
}

void BBXCrashReportingController::crashReportingSetupCompleted(std::uint64_t mark) {
    mainQueue().post([this, mark] {
        removeLaunchFailureMarker();
        BBXLoggingQueue().post([mark] {
            BBXUserLoggingWriteInternalKeyValue("io.blackbox.first-run-loop-time",
                                                millisecondsText(BBXProfileEndInterval(mark)));
        });
    });
    timers_.push_back(scheduler().after(std::chrono::seconds(2), &mainQueue(), [this] {
        // By now other components may have put their own handlers in front.
        BBXExceptionCheckHandlers();
        BBXSignalCheckHandlers();
        BBXMachExceptionCheckHandlers();
        checkForUserPromptSetting();
    }));
}

void BBXCrashReportingController::checkForUserPromptSetting() {
    if (settings()->userPromptEnabled() && !delegateNeedsToBeInformedOfReports()) {
        spdlog::warn(
            "[Blackbox:Crash] WARNING: the user prompt feature is enabled. As of Blackbox 3.0.0, implementing a user "
            "prompt is the application's responsibility. See Blackbox.h's notes about "
            "-blackboxDidDetectReportForLastExecution:completionHandler:");
    }
}

// ---- reports of earlier executions

void BBXCrashReportingController::processExistingReportPaths(const std::vector<std::string>& paths, bool asUrgent) {
    // Only the newest report is worth blocking the launch for; the others
    // wait their turn on the work queue.
    std::string newest;
    if (asUrgent && canProcessUrgentReports()) {
        std::int64_t newestTime = -1;
        for (const auto& path : paths) {
            if (currentReport_ && path == currentReport_->path()) continue;
            struct stat st;
            if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_mtime >= newestTime) {
                newestTime = st.st_mtime;
                newest = path;
            }
        }
    }
    for (const auto& path : paths) processExistingActiveReportPath(path, asUrgent && path == newest);
}

void BBXCrashReportingController::processExistingActiveReportPath(const std::string& path, bool asUrgent) {
    if (currentReport_ && path == currentReport_->path()) return;
    auto files = fileManager_;
    if (!isDirectory(path)) {
        // Not a report directory: it can never be sent.
        queue_.post([files, path] { files->removeItemAtPath(path); });
        return;
    }
    if (BBXReportDirectoryIsLive(path)) return;  // another running copy's own report
    auto report = BBXInternalReport::reportWithPath(path);
    if (!report || !report->needsToBeSubmitted()) {
        queue_.post([files, path] { files->removeItemAtPath(path); });
        return;
    }
    if (delegate_) delegate_->reportingControllerInternalDidDetectReportForLastExecution(*this, report);
    if (asUrgent && canProcessUrgentReports()) {
        reportsController()->prepareAndSubmitReport(report, true, true);
        return;
    }
    if (!delegate_) {
        handleDelegateCompletionForReport(report, true);
        return;
    }
    delegate_->reportingControllerDidDetectReportForLastExecution(
        *this, report, [this, report](bool submit) { handleDelegateCompletionForReport(report, submit); });
}

void BBXCrashReportingController::handleDelegateCompletionForReport(const std::shared_ptr<BBXInternalReport>& report,
                                                                    bool submit) {
    queue_.post([this, report, submit] {
        if (submit && !needsToPrompt()) {
            reportsController()->prepareAndSubmitReport(report, false, true);
        } else if (submit) {
            displayPermissionAlertForReport(report);
        } else {
            if (BBXDebugMode()) spdlog::info("[Blackbox:Crash] Removing report at request of delegate");
            removeReport(report);
        }
    });
}

void BBXCrashReportingController::removeReport(const std::shared_ptr<BBXInternalReport>& report) {
    if (report) fileManager_->removeItemAtPath(report->path());
}

void BBXCrashReportingController::handleExistingFilesInProcessing(const std::vector<std::string>& paths) {
    auto files = fileManager_;
    queue_.post([this, files, paths] {
        for (const auto& path : paths) {
            if (!exists(path) || BBXReportDirectoryIsLive(path)) continue;
            auto report = isDirectory(path) ? BBXInternalReport::reportWithPath(path) : nullptr;
            if (!report || !report->needsToBeSubmitted()) {
                files->removeItemAtPath(path);
                continue;
            }
            reportsController()->prepareAndSubmitReport(report, false, false);
        }
    });
}

void BBXCrashReportingController::handleExistingFilesInPrepared(const std::vector<std::string>& paths) {
    client_->attemptToReconnectBackgroundSessionWithCompletionBlock(
        [this, paths] { queue_.post([this, paths] { uploadPreexistingFiles(paths); }); });
}

void BBXCrashReportingController::uploadPreexistingFiles(const std::vector<std::string>& paths) {
    for (const auto& path : paths) {
        if (!exists(path)) continue;
        if (BBXPathExtension(path) != "multipartmime" || isDirectory(path)) {
            fileManager_->removeItemAtPath(path);  // no package: nothing could ever send it
            continue;
        }
        reportsController()->uploadPackagedReportAtPath(path, false);
    }
}

// ---- permission prompt

void BBXCrashReportingController::displayPermissionAlertForReport(const std::shared_ptr<BBXInternalReport>& report) {
    if (BBXApplicationIsExtension() || !environment_.prompt) {
        // Nothing can ask the user here: the report goes as if accepted.
        queue_.post([this, report] { reportsController()->prepareAndSubmitReport(report, false, true); });
        return;
    }
    auto s = settings();
    const std::string title = s->interactivePromptTitle(), message = s->interactivePromptMessage(),
                      cancel = s->interactivePromptCancelTitle(), send = s->interactivePromptSendTitle(),
                      always = s->interactivePromptAlwaysSendTitle();
    if (BBXDebugMode()) spdlog::info("[Blackbox:Crash] Displaying permission alert");
    mainQueue().post([this, report, title, message, cancel, send, always] {
        const auto choice = promptChoice_.load();
        if (choice == 1) return handlePromptCompleteForReport(report, false, false);
        if (choice == 2 || choice == 3) return handlePromptCompleteForReport(report, true, false);
        std::vector<std::string> buttons{send};
        if (!always.empty()) buttons.push_back(always);
        buttons.push_back(cancel);
        const int answer = environment_.prompt->runPermissionAlert(title, message, buttons);
        if (buttons.size() == 3) {
            handlePromptCompleteForReport(report, answer == 1000 || answer == 1001, answer == 1001);
        } else {
            handlePromptCompleteForReport(report, answer != 1001, false);
        }
    });
}

void BBXCrashReportingController::handlePromptCompleteForReport(const std::shared_ptr<BBXInternalReport>& report,
                                                                bool submit, bool always) {
    // The answer counts at once: an alert already waiting behind this one
    // must not ask again.
    promptChoice_ = !submit ? 1 : always ? 3 : 2;
    queue_.post([this, report, submit, always] {
        if (!submit) {
            if (BBXDebugMode()) spdlog::info("[Blackbox:Crash] Removing report at request of user");
            removeReport(report);
            return;
        }
        reportsController()->prepareAndSubmitReport(report, false, true);
        if (always) spdlog::info("should set always submit here");
    });
}

// ---- crash time

void BBXCrashReportingController::deliverCrashDelegateCallback() {
    if (delegate_) delegate_->detectedCrash();
}

// ---- answers

bool BBXCrashReportingController::networkClientCanUseBackgroundSessions(BBXNetworkClient&) {
    return delegate_ && delegate_->reportingControllerCanUseBackgroundSessions(*this);
}

void BBXCrashReportingController::networkClientDidFinishUploadWithPath(BBXNetworkClient&, const std::string& path,
                                                                       const std::optional<base::Error>& error) {
    reportsController()->reportUploadAtPath(path, error);
}

void BBXCrashReportingController::reportsControllerDidCompletePackageSubmission(BBXReportsController&,
                                                                                const std::string& path,
                                                                                const std::optional<base::Error>& error) {
    if (!error) {
        if (BBXDebugMode()) spdlog::info("[Blackbox:Crash] report submission successful");
        std::lock_guard lock(mutex_);
        retries_.erase(path);
        return;
    }
    if (BBXDebugMode()) spdlog::info("[Blackbox:Crash] report submission failed with error {}", error->localizedDescription());
    BBXSDKLog("%s: Error: failed to submit report '%s'\n", __func__, error->localizedDescription().c_str());
    retryUploadForReportAtPath(path);
}

void BBXCrashReportingController::retryUploadForReportAtPath(const std::string& path) {
    if (!exists(path)) return;  // refused for good and removed, or sent by now
    {
        std::lock_guard lock(mutex_);
        if (++retries_[path] > kMaxRetriesPerPackage) {
            spdlog::warn("[Blackbox:Crash] giving up on {} for this run; the next launch tries again", path);
            return;
        }
    }
    timers_.push_back(scheduler().after(std::chrono::duration_cast<base::Duration>(std::chrono::duration<double>(kRetryDelaySeconds)),
                                        &queue_, [this, path] {
                                            if (BBXDebugMode()) spdlog::info("[Blackbox:Crash] re-attempting report submission");
                                            if (exists(path)) reportsController()->uploadPackagedReportAtPath(path, false);
                                        }));
}

void BBXCrashReportingController::reportsControllerDidCompleteAllSubmissions(BBXReportsController&) {
    queue_.post([this] {
        std::shared_ptr<BBXReportsController> dropped;
        {
            std::lock_guard lock(mutex_);
            dropped.swap(reportsController_);
        }
        // Whoever still holds it (a call under way) lets it go last.
        dropped.reset();
        if (BBXDebugMode()) spdlog::info("[Blackbox:Crash] report submission complete");
    });
}

std::shared_ptr<BBXSettings> BBXCrashReportingController::settingsForReportsController(BBXReportsController&) {
    return settings();
}
std::string BBXCrashReportingController::APIKeyForReportsController(BBXReportsController&) {
    return delegate_ ? delegate_->APIKeyForCrashReportingController(*this) : "";
}
std::string BBXCrashReportingController::bundleIdentifierForReportsController(BBXReportsController&) {
    return bundleIdentifier();
}
