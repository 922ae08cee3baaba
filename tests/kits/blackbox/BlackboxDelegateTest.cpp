// What the kit answers the crash reporting controller on behalf of the
// application's delegate, and, in a program that starts the kit, its
// warnings about late and deprecated calls.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>

#include "TempDir.h"
#include "base/Executor.h"
#include "base/Plist.h"
#include "kits/blackbox/BBXCrashReportingController.h"
#include "kits/blackbox/BBXFileManager.h"
#include "kits/blackbox/BBXInternalReport.h"
#include "kits/blackbox/BBXKitSupport.h"
#include "kits/blackbox/Blackbox.h"

namespace {

// A delegate that implements the operations it is told to and notes calls.
struct Delegate : BlackboxDelegate {
    bool newCallback = false, crashCallback = false, backgroundAnswerGiven = false, legacyWithReport = false,
         legacy = false;
    bool submit = true, backgroundAnswer = true;
    int signalToDeliver = 0;
    std::vector<std::string> heard;

    bool implementsDidDetectReportForLastExecution() const override { return newCallback; }
    void blackboxDidDetectReportForLastExecution(const std::shared_ptr<BBXCrashReport>& report,
                                                 std::function<void(bool)> completionHandler) override {
        heard.push_back("report " + report->identifier());
        completionHandler(submit);
    }
    bool implementsDidDetectCrash() const override { return crashCallback; }
    void blackboxDidDetectCrash(Blackbox&) override { heard.push_back("crash"); }
    bool implementsCanUseBackgroundSessions() const override { return backgroundAnswerGiven; }
    bool blackboxCanUseBackgroundSessions(Blackbox&) override { return backgroundAnswer; }
    bool implementsEnsureDeliveryOfUnixSignal() const override { return signalToDeliver != 0; }
    bool blackboxEnsureDeliveryOfUnixSignal(Blackbox&, int signal) override { return signal == signalToDeliver; }
    bool implementsDidDetectCrashDuringPreviousExecutionWithReport() const override { return legacyWithReport; }
    void blackboxDidDetectCrashDuringPreviousExecution(Blackbox&, const std::shared_ptr<BBXCrashReport>& report) override {
        heard.push_back("legacy report " + report->identifier());
    }
    bool implementsDidDetectCrashDuringPreviousExecution() const override { return legacy; }
    void blackboxDidDetectCrashDuringPreviousExecution(Blackbox&) override { heard.push_back("legacy"); }
};

struct KitAnswers : ::testing::Test {
    testsupport::TempDir dir;
    base::ManualExecutor mainQueue;
    Blackbox& kit = Blackbox::sharedInstance();
    std::unique_ptr<BBXCrashReportingController> controller;
    std::shared_ptr<BBXInternalReport> report;
    std::vector<std::optional<bool>> decisions;

    void SetUp() override {
        Blackbox::setMainQueue(&mainQueue);
        controller = std::make_unique<BBXCrashReportingController>(std::make_shared<BBXFileManager>(dir.file("root")), &kit);
        report = std::make_shared<BBXInternalReport>(dir.path(), "3f2bd0a4c5e64b1e9a0c7d1e2f3a4b5c");
    }
    void TearDown() override {
        kit.setDelegate(nullptr);
        Blackbox::setMainQueue(nullptr);
    }
    void detect() {
        kit.reportingControllerDidDetectReportForLastExecution(*controller, report,
                                                               [this](bool submit) { decisions.push_back(submit); });
    }
};

TEST_F(KitAnswers, WithoutADelegateEveryReportIsAcceptedAndNothingIsAsked) {
    EXPECT_FALSE(kit.shouldInstallCrashCallback());
    EXPECT_TRUE(kit.reportingControllerCanUseBackgroundSessions(*controller));
    EXPECT_FALSE(kit.reportingControllerMustInformDelegateOfReports(*controller));
    for (int signal : {SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGSEGV, SIGSYS, SIGTRAP})
        EXPECT_FALSE(kit.reportingControllerEnsureDeliveryOfUnixSignal(*controller, signal));
    kit.detectedCrash();
    detect();
    EXPECT_EQ(decisions, std::vector<std::optional<bool>>{true});
    EXPECT_EQ(mainQueue.runPending(), 0u);
}

TEST_F(KitAnswers, TheCrashCallbackIsInstalledOnlyForADelegateThatHasOne) {
    auto delegate = std::make_shared<Delegate>();
    kit.setDelegate(delegate);
    EXPECT_FALSE(kit.shouldInstallCrashCallback());
    kit.detectedCrash();
    EXPECT_TRUE(delegate->heard.empty());
    delegate->crashCallback = true;
    EXPECT_TRUE(kit.shouldInstallCrashCallback());
    kit.detectedCrash();
    EXPECT_EQ(delegate->heard, std::vector<std::string>{"crash"});
}

TEST_F(KitAnswers, TheDelegateDecidesBackgroundSessionsAndSignalDelivery) {
    auto delegate = std::make_shared<Delegate>();
    kit.setDelegate(delegate);
    EXPECT_TRUE(kit.reportingControllerCanUseBackgroundSessions(*controller));
    delegate->backgroundAnswerGiven = true;
    delegate->backgroundAnswer = false;
    EXPECT_FALSE(kit.reportingControllerCanUseBackgroundSessions(*controller));
    delegate->signalToDeliver = SIGABRT;
    EXPECT_TRUE(kit.reportingControllerEnsureDeliveryOfUnixSignal(*controller, SIGABRT));
    EXPECT_FALSE(kit.reportingControllerEnsureDeliveryOfUnixSignal(*controller, SIGSEGV));
}

TEST_F(KitAnswers, TheDelegatesOwnDecisionReachesTheController) {
    auto delegate = std::make_shared<Delegate>();
    delegate->newCallback = true;
    delegate->submit = false;
    kit.setDelegate(delegate);
    EXPECT_TRUE(kit.reportingControllerMustInformDelegateOfReports(*controller));
    detect();
    EXPECT_EQ(decisions, std::vector<std::optional<bool>>{false});
    EXPECT_EQ(delegate->heard, std::vector<std::string>{"report 3f2bd0a4c5e64b1e9a0c7d1e2f3a4b5c"});
    mainQueue.runPending();
    EXPECT_EQ(delegate->heard.size(), 1u);  // no older callback
}

TEST_F(KitAnswers, OlderCallbacksMustBeInformedAndHearOnTheMainQueueAfterTheReportIsAccepted) {
    auto delegate = std::make_shared<Delegate>();
    delegate->legacyWithReport = true;
    kit.setDelegate(delegate);
    EXPECT_TRUE(kit.reportingControllerMustInformDelegateOfReports(*controller));
    detect();
    EXPECT_EQ(decisions, std::vector<std::optional<bool>>{true});
    EXPECT_TRUE(delegate->heard.empty());
    mainQueue.runPending();
    EXPECT_EQ(delegate->heard, std::vector<std::string>{"legacy report 3f2bd0a4c5e64b1e9a0c7d1e2f3a4b5c"});

    delegate->heard.clear();
    delegate->legacyWithReport = false;
    delegate->legacy = true;
    EXPECT_TRUE(kit.reportingControllerMustInformDelegateOfReports(*controller));
    detect();
    mainQueue.runPending();
    EXPECT_EQ(delegate->heard, std::vector<std::string>{"legacy"});
}

TEST_F(KitAnswers, DebugModeIsTurnedOnWhateverTheArgument) {
    const bool before = BBXDebugMode();
    BBXSetDebugMode(false);
    kit.setDebugMode(false);
    EXPECT_TRUE(kit.debugMode());
    EXPECT_TRUE(BBXDebugMode());
    BBXSetDebugMode(before);
}

// ---- a program that starts the kit

std::string runKitProgram(const std::string& mode, int* status) {
    FILE* p = ::popen((std::string("'") + BLACKBOX_KIT_PROGRAM_PATH + "' " + mode + " 2>&1").c_str(), "r");
    std::string out;
    char buffer[4096];
    while (p && std::fgets(buffer, sizeof buffer, p)) out += buffer;
    *status = p ? ::pclose(p) : -1;
    return out;
}

TEST(KitStart, DeprecatedDelaysStartAtOnceAndLateSettingsAreWarnedAbout) {
    testsupport::ScopedHome home;
    testsupport::TempDir resources;
    std::ofstream(resources.file("Info.plist"))
        << base::plistToXml({{"CFBundleIdentifier", "com.example.kitprogram"}, {"CFBundleVersion", "7"}});
    ::setenv("FLASHWREN_RESOURCES", resources.path().c_str(), 1);
    // Nothing listens here: the settings download fails at once.
    for (const char* key : {"SettingsEndpoint", "ConfigureEndpoint", "BlackboxReportsEndpoint", "BlackboxBetaEndpoint"})
        ::setenv(key, "http://127.0.0.1:9", 1);
    int status = -1;
    const std::string out = runKitProgram("late", &status);
    for (const char* key :
         {"FLASHWREN_RESOURCES", "SettingsEndpoint", "ConfigureEndpoint", "BlackboxReportsEndpoint", "BlackboxBetaEndpoint"})
        ::unsetenv(key);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << out;
    auto has = [&](const std::string& text) { return out.find(text) != std::string::npos; };
    EXPECT_TRUE(has("[Blackbox] Warning, startWithAPIKey:delegate:afterDelay: is deprecated.")) << out;
    EXPECT_TRUE(has("[Blackbox] Warning, startWithAPIKey:afterDelay: is deprecated.")) << out;
    EXPECT_TRUE(has("started at once: yes")) << out;
    EXPECT_TRUE(has("[Blackbox] The Blackbox delegate '")) << out;
    EXPECT_TRUE(has("' implements deprecated methods.  Please see Blackbox.h for details.")) << out;
    EXPECT_TRUE(has("[Blackbox] Warning, consider enabling debug mode before starting Blackbox")) << out;
    EXPECT_TRUE(has("debug mode: yes")) << out;
    EXPECT_TRUE(has("[Blackbox] Warning, setting delegate after start. Make sure to set the Blackbox delegate before "
                    "calling startWithAPIKey:.., or +[Trellis with...] to avoid missing some delegate callbacks."))
        << out;
}

}  // namespace
