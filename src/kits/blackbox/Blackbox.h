#pragma once
// The crash kit's public face: the application starts it with its API key;
// it records custom keys, user data and errors, and answers the crash
// reporting controller and the beta check.
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/Error.h"
#include "base/Executor.h"
#include "kits/blackbox/BBXBetaController.h"
#include "kits/blackbox/BBXCrashReportingController.h"
#include "kits/blackbox/BBXReport.h"
#include "kits/blackbox/BBXStackFrame.h"

struct TRLKitDescriptor;
class Blackbox;

// What the application may hear from the kit; every operation is optional
// and says whether it is implemented.
class BlackboxDelegate {
public:
    virtual ~BlackboxDelegate() = default;
    virtual bool implementsDidDetectReportForLastExecution() const { return false; }
    virtual void blackboxDidDetectReportForLastExecution(const std::shared_ptr<BBXCrashReport>& report,
                                                         std::function<void(bool submit)> completionHandler) {
        (void)report;
        completionHandler(true);
    }
    virtual bool implementsDidDetectCrash() const { return false; }
    virtual void blackboxDidDetectCrash(Blackbox& kit) { (void)kit; }
    virtual bool implementsCanUseBackgroundSessions() const { return false; }
    virtual bool blackboxCanUseBackgroundSessions(Blackbox& kit) { (void)kit; return true; }
    virtual bool implementsEnsureDeliveryOfUnixSignal() const { return false; }
    virtual bool blackboxEnsureDeliveryOfUnixSignal(Blackbox& kit, int signal) { (void)kit, (void)signal; return false; }
    // The older callbacks.
    virtual bool implementsDidDetectCrashDuringPreviousExecutionWithReport() const { return false; }
    virtual void blackboxDidDetectCrashDuringPreviousExecution(Blackbox& kit, const std::shared_ptr<BBXCrashReport>& report) {
        (void)kit, (void)report;
    }
    virtual bool implementsDidDetectCrashDuringPreviousExecution() const { return false; }
    virtual void blackboxDidDetectCrashDuringPreviousExecution(Blackbox& kit) { (void)kit; }
};

class Blackbox : public BBXCrashReportingControllerDelegate, public BBXBetaControllerDelegate {
public:
    static Blackbox& sharedInstance();

    // Kit identity.
    static std::string bundleIdentifier() { return "io.blackbox.mac"; }
    static std::string kitDisplayVersion() { return "3.4.1"; }
    static std::string kitBuildVersion() { return "92"; }
    std::string version() const { return kitDisplayVersion(); }
    std::optional<nlohmann::json> kitInfo() const { return std::nullopt; }
    void setKitInfo(const nlohmann::json&) {}
    std::optional<nlohmann::json> settingsDictionary() const { return std::nullopt; }
    // Registers this kit and the analytics kit with the SDK core.
    static void registerKits();

    // What the application hands the kit before starting it: its main queue
    // (for callbacks and the prompt) and the permission prompt.
    static void setMainQueue(base::Executor* mainQueue);
    static void setPermissionPrompt(BBXPermissionPrompt* prompt);

    static Blackbox& startWithAPIKey(const std::string& apiKey);
    static Blackbox& startWithAPIKey(const std::string& apiKey, std::shared_ptr<BlackboxDelegate> delegate);
    static Blackbox& startWithAPIKey(const std::string& apiKey, double delay);
    static Blackbox& startWithAPIKey(const std::string& apiKey, std::shared_ptr<BlackboxDelegate> delegate, double delay);
    // The SDK core's entry while it starts its kits.
    static void initializeIfNeeded();
    void start();

    std::optional<std::string> APIKey();
    std::string installID();
    bool isFirstInstall();
    bool isBlackboxStarted() const;
    void setDebugMode(bool on);
    bool debugMode() const;
    void setDelegate(std::shared_ptr<BlackboxDelegate> delegate);
    std::shared_ptr<BlackboxDelegate> delegate() const;
    BBXBetaController* betaController() const { return betaController_.get(); }
    BBXCrashReportingController* crashReportingController() const { return controller_.get(); }

    // User data. The class forms (the static ones) forward to the shared
    // instance; a static and an instance operation cannot share a name, so
    // the instance forms carry "Instance" in theirs.
    void setInstanceUserIdentifier(const std::optional<std::string>& value);
    void setInstanceUserName(const std::optional<std::string>& value);
    void setInstanceUserEmail(const std::optional<std::string>& value);
    void setInstanceObjectValue(const std::optional<std::string>& value, const std::string& key);
    void setInstanceIntValue(long long value, const std::string& key);
    void setInstanceBoolValue(bool value, const std::string& key);
    void setInstanceFloatValue(double value, const std::string& key);
    void setInstanceDevelopmentPlatformName(const std::optional<std::string>& value);
    void setInstanceDevelopmentPlatformVersion(const std::optional<std::string>& value);
    static void setUserIdentifier(const std::optional<std::string>& value);
    static void setUserName(const std::optional<std::string>& value);
    static void setUserEmail(const std::optional<std::string>& value);
    static void setObjectValue(const std::optional<std::string>& value, const std::string& key);
    static void setIntValue(long long value, const std::string& key);
    static void setBoolValue(bool value, const std::string& key);
    static void setFloatValue(double value, const std::string& key);
    static void setDevelopmentPlatformName(const std::optional<std::string>& value);
    static void setDevelopmentPlatformVersion(const std::optional<std::string>& value);
    std::optional<std::string> developmentPlatformName() const;
    std::optional<std::string> developmentPlatformVersion() const;
    void recordError(const base::Error& error);
    void recordError(const base::Error& error, const nlohmann::json& additionalUserInfo);
    void recordCustomExceptionName(const std::string& name, const std::string& reason,
                                   const std::vector<BBXStackFrame>& frameArray);
    // The web-view error monitor, for the application's web layer to
    // install (the kit knows no web engine): the script a page runs at
    // document end in its main frame, which reports every script error to
    // the page's "blackbox" message handler and chains to the page's own
    // onload and onerror; and what that handler receives, recorded as a
    // "javascript" exception.
    static std::string webViewErrorMonitorScript();
    void userContentController(const nlohmann::json& scriptMessageBody);
    void logInstanceEvent(const std::string& name);
    void logInstanceEvent(const std::string& name, const nlohmann::json& attributes);
    static void logEvent(const std::string& name);
    static void logEvent(const std::string& name, const nlohmann::json& attributes);
    [[noreturn]] void crash();
    void throwException();

    // Answers to the crash reporting controller.
    bool shouldInstallCrashCallback() override;
    void detectedCrash() override;
    bool reportingControllerCanUseBackgroundSessions(BBXCrashReportingController& controller) override;
    bool reportingControllerMustInformDelegateOfReports(BBXCrashReportingController& controller) override;
    void reportingControllerDidDetectReportForLastExecution(BBXCrashReportingController& controller,
                                                            const std::shared_ptr<BBXInternalReport>& report,
                                                            std::function<void(bool)> completionHandler) override;
    void reportingControllerInternalDidDetectReportForLastExecution(
        BBXCrashReportingController& controller, const std::shared_ptr<BBXInternalReport>& report) override;
    bool reportingControllerEnsureDeliveryOfUnixSignal(BBXCrashReportingController& controller, int signal) override;
    std::string APIKeyForCrashReportingController(BBXCrashReportingController& controller) override;
    std::string installIDForCrashReportingController(BBXCrashReportingController& controller) override;
    bool isFirstInstallForCrashReportingController(BBXCrashReportingController& controller) override;
    std::shared_ptr<BBXSettings> settingsForCrashReportingController(BBXCrashReportingController& controller) override;
    std::string executionIdentifierForCrashReportingController(BBXCrashReportingController& controller) override;

    // Answers to the beta check.
    std::string APIKeyForBetaController(BBXBetaController& controller) override;
    std::shared_ptr<BBXSettings> settingsForBetaController(BBXBetaController& controller) override;

private:
    Blackbox() = default;
    std::shared_ptr<BBXSettings> currentSettings();
    void warnDelegateAboutMethods();
    base::Executor* mainQueue() const;

    mutable std::mutex mutex_;
    std::once_flag startOnce_;
    std::shared_ptr<BlackboxDelegate> delegate_;
    std::unique_ptr<BBXBetaController> betaController_;
    std::unique_ptr<BBXCrashReportingController> controller_;
};
