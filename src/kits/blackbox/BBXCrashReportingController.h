#pragma once
// The crash kit's conductor at launch: prepares the report tree, notices a
// failed last launch, makes this execution's report directory, installs
// crash capture, and hands the reports and packages earlier executions left
// behind to processing and upload.
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/Error.h"
#include "base/Executor.h"
#include "base/NotificationCenter.h"
#include "base/Scheduler.h"
#include "kits/blackbox/BBXNetworkClient.h"
#include "kits/blackbox/BBXReportsController.h"
#include "kits/blackbox/crashtime/BBXContext.h"

class BBXFileManager;
class BBXInternalReport;
class BBXSettings;
class BBXCrashReportingController;

class BBXCrashReportingControllerDelegate {
public:
    virtual ~BBXCrashReportingControllerDelegate() = default;
    virtual bool shouldInstallCrashCallback() = 0;
    virtual void detectedCrash() = 0;
    virtual bool reportingControllerCanUseBackgroundSessions(BBXCrashReportingController& controller) = 0;
    virtual bool reportingControllerMustInformDelegateOfReports(BBXCrashReportingController& controller) = 0;
    virtual void reportingControllerDidDetectReportForLastExecution(BBXCrashReportingController& controller,
                                                                    const std::shared_ptr<BBXInternalReport>& report,
                                                                    std::function<void(bool submit)> completionHandler) = 0;
    virtual void reportingControllerInternalDidDetectReportForLastExecution(
        BBXCrashReportingController& controller, const std::shared_ptr<BBXInternalReport>& report) = 0;
    virtual bool reportingControllerEnsureDeliveryOfUnixSignal(BBXCrashReportingController& controller, int signal) = 0;
    virtual std::string APIKeyForCrashReportingController(BBXCrashReportingController& controller) = 0;
    virtual std::string installIDForCrashReportingController(BBXCrashReportingController& controller) = 0;
    virtual bool isFirstInstallForCrashReportingController(BBXCrashReportingController& controller) = 0;
    virtual std::shared_ptr<BBXSettings> settingsForCrashReportingController(BBXCrashReportingController& controller) = 0;
    // The SDK core's identifier of this run: the name of its report directory.
    virtual std::string executionIdentifierForCrashReportingController(BBXCrashReportingController& controller) = 0;
};

// Shows the crash-report permission prompt; the application supplies it (a
// dialog of its toolkit). Buttons in order; the answer is 1000 + the index
// of the button chosen. Called on the main queue.
class BBXPermissionPrompt {
public:
    virtual ~BBXPermissionPrompt() = default;
    virtual int runPermissionAlert(const std::string& title, const std::string& message,
                                   const std::vector<std::string>& buttons) = 0;
};

class BBXCrashReportingController : public BBXNetworkClientDelegate,
                                    public BBXReportsControllerDelegate,
                                    public BBXCrashCallbackTarget {
public:
    struct Environment {
        base::Executor* mainQueue = nullptr;      // null: the work queue stands in
        base::Scheduler* scheduler = nullptr;      // null: the shared one
        BBXPermissionPrompt* prompt = nullptr;
        std::optional<std::string> bundleIdentifier;  // none: the application's, "/" as "_"
        // Builds the crash context and installs capture (tests observe it).
        std::function<void(const BBXContextInitData*)> installContext;
        std::optional<TRLCertificateList> pinnedCertificates;
    };

    BBXCrashReportingController(std::shared_ptr<BBXFileManager> fileManager,
                                BBXCrashReportingControllerDelegate* delegate)
        : BBXCrashReportingController(std::move(fileManager), delegate, Environment()) {}
    BBXCrashReportingController(std::shared_ptr<BBXFileManager> fileManager,
                                BBXCrashReportingControllerDelegate* delegate, Environment environment);
    ~BBXCrashReportingController() override;

    bool startWithProfilingMark(std::uint64_t mark, const std::optional<std::string>& betaToken);

    // Predicates.
    bool needsToPrompt();
    bool delegateNeedsToBeInformedOfReports();
    bool canProcessUrgentReports();
    bool packagingEnabled();
    std::shared_ptr<BBXSettings> settings();
    std::string bundleIdentifier() const;

    // Reports of earlier executions.
    void processExistingReportPaths(const std::vector<std::string>& paths, bool asUrgent);
    void handleDelegateCompletionForReport(const std::shared_ptr<BBXInternalReport>& report, bool submit);
    void removeReport(const std::shared_ptr<BBXInternalReport>& report);
    void retryUploadForReportAtPath(const std::string& path);

    // Launch marker.
    std::string launchFailureMarkerPath() const;
    bool createLaunchFailureMarker();
    bool launchFailureMarkerPresent() const;
    bool removeLaunchFailureMarker();

    // Crash time.
    void deliverCrashDelegateCallback() override;

    // Answers to the upload client and the reports controller.
    bool networkClientCanUseBackgroundSessions(BBXNetworkClient& client) override;
    void networkClientDidFinishUploadWithPath(BBXNetworkClient& client, const std::string& path,
                                              const std::optional<base::Error>& error) override;
    void reportsControllerDidCompletePackageSubmission(BBXReportsController& controller, const std::string& path,
                                                       const std::optional<base::Error>& error) override;
    void reportsControllerDidCompleteAllSubmissions(BBXReportsController& controller) override;
    std::shared_ptr<BBXSettings> settingsForReportsController(BBXReportsController& controller) override;
    std::string APIKeyForReportsController(BBXReportsController& controller) override;
    std::string bundleIdentifierForReportsController(BBXReportsController& controller) override;

    base::SerialQueue& workQueue() { return queue_; }
    // Made on first use; dropped once every submission is complete.
    std::shared_ptr<BBXReportsController> reportsController();
    const std::shared_ptr<BBXInternalReport>& currentReport() const { return currentReport_; }
    std::int64_t promptChoice() const { return promptChoice_; }

    // A failed upload is tried again this long after, at most this often.
    static constexpr double kRetryDelaySeconds = 600;
    static constexpr unsigned kMaxRetriesPerPackage = 6;

private:
    bool checkForAndCreateLaunchMarker();
    std::shared_ptr<BBXInternalReport> setupCurrentReport();
    void startCrashReporter(const std::optional<std::string>& betaToken, const std::shared_ptr<BBXInternalReport>& report);
    std::uint32_t machExceptionMask();
    void crashReportingSetupCompleted(std::uint64_t mark);
    void setupStateNotifications();
    void processExistingActiveReportPath(const std::string& path, bool asUrgent);
    void handleExistingFilesInProcessing(const std::vector<std::string>& paths);
    void handleExistingFilesInPrepared(const std::vector<std::string>& paths);
    void uploadPreexistingFiles(const std::vector<std::string>& paths);
    void displayPermissionAlertForReport(const std::shared_ptr<BBXInternalReport>& report);
    void handlePromptCompleteForReport(const std::shared_ptr<BBXInternalReport>& report, bool submit, bool always);
    void checkForUserPromptSetting();
    base::Executor& mainQueue();
    base::Scheduler& scheduler();

    std::shared_ptr<BBXFileManager> fileManager_;
    BBXCrashReportingControllerDelegate* delegate_;
    Environment environment_;
    base::SerialQueue queue_{"io.blackbox.mac.work-queue"};
    std::shared_ptr<BBXNetworkClient> client_;
    std::mutex mutex_;
    std::shared_ptr<BBXReportsController> reportsController_;
    std::shared_ptr<BBXSettings> settings_;
    std::atomic<std::int64_t> promptChoice_{0};
    std::shared_ptr<BBXInternalReport> currentReport_;
    int currentLock_ = -1;
    std::map<std::string, unsigned> retries_;
    std::vector<base::NotificationCenter::ObserverId> observers_;
    std::vector<base::Scheduler::TimerId> timers_;
    // Kept alive for the crash context, which keeps pointers into them.
    std::string apiKey_, reportPath_, reportId_, installId_, betaToken_;
};

// An exclusive lock held by a running execution on its report directory
// (a hidden ".lock" file inside it); -1 when another process holds it.
int BBXReportDirectoryLock(const std::string& directory);
bool BBXReportDirectoryIsLive(const std::string& directory);
