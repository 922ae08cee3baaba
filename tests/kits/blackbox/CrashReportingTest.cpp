// The crash reporting controller's launch: preconditions, the marker, the
// current report, and what earlier executions left, against a loopback
// report endpoint.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "LogCapture.h"
#include "LoopbackServer.h"
#include "RenameShim.h"
#include "TempDir.h"
#include "base/AppInfo.h"
#include "base/Scheduler.h"
#include "kits/blackbox/BBXBetaController.h"
#include "kits/blackbox/BBXCrashReportingController.h"
#include "kits/blackbox/BBXFileManager.h"
#include "kits/blackbox/BBXInternalReport.h"
#include "kits/blackbox/BBXKitSupport.h"
#include "kits/blackbox/BBXSettings.h"

namespace fs = std::filesystem;
using testsupport::LoopbackServer;
using testsupport::Reply;

namespace {

void write(const std::string& path, const std::string& text) { std::ofstream(path) << text; }
bool exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

struct Prompt : BBXPermissionPrompt {
    std::vector<std::vector<std::string>> shown;
    int answer = 1000;
    int runPermissionAlert(const std::string&, const std::string&, const std::vector<std::string>& buttons) override {
        shown.push_back(buttons);
        return answer;
    }
};

struct Launch : ::testing::Test, BBXCrashReportingControllerDelegate {
    testsupport::TempDir dir;
    LoopbackServer server;
    std::shared_ptr<base::ManualTimeSource> clock = std::make_shared<base::ManualTimeSource>();
    base::Scheduler scheduler{clock};
    base::ManualExecutor mainQueue;
    Prompt prompt;
    std::shared_ptr<BBXFileManager> files = std::make_shared<BBXFileManager>(dir.file("root"));
    nlohmann::json settingsDictionary = nullptr;
    std::string bundle = "com.example.booth";
    bool informDelegate = false;
    std::optional<bool> delegateAnswer = true;
    std::vector<std::string> internallyDetected, asked;
    std::optional<BBXContextInitData> installed;
    std::string installedReportPath;
    std::unique_ptr<BBXCrashReportingController> controller;

    void SetUp() override { ::setenv("BlackboxReportsEndpoint", server.baseUrl().c_str(), 1); }
    void TearDown() override {
        if (controller) controller->workQueue().drain();
        controller.reset();
        server.stop();
        ::unsetenv("BlackboxReportsEndpoint");
    }
    BBXCrashReportingController& make() {
        BBXCrashReportingController::Environment environment;
        environment.mainQueue = &mainQueue;
        environment.scheduler = &scheduler;
        environment.prompt = &prompt;
        environment.bundleIdentifier = bundle;
        environment.installContext = [this](const BBXContextInitData* input) {
            installed = *input;
            installedReportPath = input->reportPath ? input->reportPath : "";
        };
        controller = std::make_unique<BBXCrashReportingController>(files, this, std::move(environment));
        return *controller;
    }
    std::string earlier(const std::string& stage, const std::string& name, std::initializer_list<const char*> contents) {
        std::string path = stage + "/" + name;
        fs::create_directories(path);
        write(path + "/metadata.bbxrecord", "{\"identity\":{\"session_id\":\"" + name + "\",\"started_at\":1}}\n");
        for (const char* f : contents) write(path + "/" + f, "{\"x\":1}\n");
        return path;
    }
    void settle() {
        for (int i = 0; i < 5; ++i) {
            controller->workQueue().drain();
            mainQueue.runPending();
        }
    }
    std::set<std::string> uploadedReportIds() {
        std::set<std::string> ids;
        for (const auto& r : server.requests()) {
            auto at = r.body.find("name=\"report_id\"");
            if (at == std::string::npos) continue;
            auto start = r.body.find("\r\n\r\n", at) + 4;
            ids.insert(r.body.substr(start, r.body.find("\r\n", start) - start));
        }
        return ids;
    }

    bool shouldInstallCrashCallback() override { return false; }
    void detectedCrash() override {}
    bool reportingControllerCanUseBackgroundSessions(BBXCrashReportingController&) override { return true; }
    bool reportingControllerMustInformDelegateOfReports(BBXCrashReportingController&) override { return informDelegate; }
    void reportingControllerDidDetectReportForLastExecution(BBXCrashReportingController&,
                                                            const std::shared_ptr<BBXInternalReport>& report,
                                                            std::function<void(bool)> handler) override {
        asked.push_back(report->identifier());
        if (delegateAnswer) handler(*delegateAnswer);
    }
    void reportingControllerInternalDidDetectReportForLastExecution(BBXCrashReportingController&,
                                                                    const std::shared_ptr<BBXInternalReport>& report) override {
        internallyDetected.push_back(report->identifier());
    }
    bool reportingControllerEnsureDeliveryOfUnixSignal(BBXCrashReportingController&, int signal) override {
        return signal == SIGTRAP;
    }
    std::string APIKeyForCrashReportingController(BBXCrashReportingController&) override { return "abc123"; }
    std::string installIDForCrashReportingController(BBXCrashReportingController&) override { return "INSTALL"; }
    bool isFirstInstallForCrashReportingController(BBXCrashReportingController&) override { return true; }
    std::shared_ptr<BBXSettings> settingsForCrashReportingController(BBXCrashReportingController&) override {
        return std::make_shared<BBXSettings>(settingsDictionary);
    }
    std::string executionIdentifierForCrashReportingController(BBXCrashReportingController&) override {
        return numberRuns ? "COPY" + std::to_string(runs++) : "NOW";
    }
    bool numberRuns = false;
    std::atomic<int> runs{0};
};

TEST_F(Launch, PreconditionsStopTheStartBeforeAnythingIsTouched) {
    bundle.clear();
    ::unsetenv("FLASHWREN_TEST_NOTHING");
    EXPECT_FALSE(make().startWithProfilingMark(0, std::nullopt));
    EXPECT_FALSE(exists(files->rootPath()));
    EXPECT_FALSE(installed);

    bundle = "com.example.booth";
    settingsDictionary = {{"features", {{"collect_reports", false}}}};
    ASSERT_TRUE(files->prepareForNewLaunch());
    earlier(files->activePath(), "OLD", {"signal.bbxrecord"});
    write(files->preparedPath() + "/P.multipartmime", "x");
    EXPECT_FALSE(make().startWithProfilingMark(0, std::nullopt));
    EXPECT_TRUE(files->activePathContents().empty());
    EXPECT_TRUE(files->preparedPathContents().empty());
    EXPECT_FALSE(exists(controller->launchFailureMarkerPath()));
    EXPECT_FALSE(installed);
}

// An Info.plist that cannot be read leaves the application without an
// identity, and so crash reporting off: the log says which file and why.
TEST_F(Launch, AnUnreadableInfoPlistTurnsReportingOffWithTheReason) {
    const std::string previous = base::AppInfo::shared().resourcesDir();
    write(dir.file("Info.plist"), "<plist><dict><key>CFBundleIdentifier</key>");
    testsupport::LogCapture log;
    base::AppInfo::shared().load(dir.path());
    bundle = BBXBundleIdentifierNamespace();
    EXPECT_FALSE(make().startWithProfilingMark(0, std::nullopt));
    base::AppInfo::shared().load(previous);
    EXPECT_FALSE(installed);
    const auto why = log.lines("Crash reporting is off: the application information " + dir.file("Info.plist") +
                               " could not be read: it is not a property list",
                               spdlog::level::err);
    EXPECT_EQ(why.size(), 1u);
}

TEST_F(Launch, StartMakesThisRunsReportInstallsCaptureAndClearsTheMarkerOnTheMainQueue) {
    settingsDictionary = {{"session", {{"max_custom_key_value_pairs", 40}}}};
    ASSERT_TRUE(make().startWithProfilingMark(0, std::string("BETA")));
    ASSERT_TRUE(installed);
    EXPECT_EQ(installedReportPath, files->activePath() + "/NOW");
    EXPECT_STREQ(installed->sessionId, "NOW");
    EXPECT_STREQ(installed->apiKey, "abc123");
    EXPECT_STREQ(installed->betaToken, "BETA");
    EXPECT_TRUE(installed->firstInstall);
    EXPECT_EQ(installed->maxCustomKeys, 40u);
    EXPECT_EQ(installed->machExceptionMask, 64u);  // only SIGTRAP is left to signal delivery
    EXPECT_EQ(installed->crashCallbackTarget, nullptr);
    EXPECT_TRUE(BBXReportDirectoryIsLive(files->activePath() + "/NOW"));
    EXPECT_TRUE(exists(controller->launchFailureMarkerPath()));
    mainQueue.runPending();
    EXPECT_FALSE(exists(controller->launchFailureMarkerPath()));
    settle();
    EXPECT_EQ(server.requestCount(), 0u);
    EXPECT_TRUE(exists(files->activePath() + "/NOW"));
}

// This run's report is made where renames take no flags, and when the first
// try is lost to another copy emptying the tree at that very moment.
TEST_F(Launch, ThisRunsReportIsMadeWhereRenamesTakeNoFlagsOrTheFirstTryIsLost) {
    numberRuns = true;
    for (const bool refused : {true, false}) {
        SCOPED_TRACE(refused ? "rename flags refused" : "first try lost");
        int tries = 0;
        testsupport::setRenameHook([&](const char*, const char* to, unsigned flags) -> std::optional<int> {
            if (!std::string(to).starts_with(files->activePath() + "/COPY")) return std::nullopt;
            ++tries;
            if (refused && flags) {
                errno = EINVAL;
                return -1;
            }
            if (!refused && tries == 1) fs::remove_all(files->structurePath());
            return std::nullopt;
        });
        installed.reset();
        const bool started = make().startWithProfilingMark(0, std::nullopt);
        testsupport::setRenameHook({});
        settle();
        EXPECT_TRUE(started);
        ASSERT_TRUE(installed);
        EXPECT_TRUE(BBXReportDirectoryIsLive(installedReportPath)) << installedReportPath;
        EXPECT_EQ(tries, refused ? 1 : 2);
    }
}

TEST_F(Launch, EarlierReportsAreSentOnceAndReportsWithNothingToSendAreDeleted) {
    ASSERT_TRUE(files->prepareForNewLaunch());
    earlier(files->activePath(), "CRASHED", {"signal.bbxrecord"});
    earlier(files->activePath(), "QUIET", {"user_incremental_kv.bbxrecord", "log_a.bbxrecord"});
    write(files->activePath() + "/stray-file", "not a report");
    earlier(files->processingPath(), "HALFWAY", {"exception.bbxrecord", "exception.bbxrecord.gz"});
    earlier(files->processingPath(), "EMPTY", {});
    // A package left by an interrupted upload (its content needs no parsing here).
    write(files->preparedPath() + "/B0UNDARY.multipartmime",
          "--B0UNDARY\r\nContent-Disposition: form-data; name=\"report_id\"\r\n\r\nPACKAGED\r\n--B0UNDARY--\r\n");
    write(files->preparedPath() + "/junk.txt", "x");

    ASSERT_TRUE(make().startWithProfilingMark(0, std::nullopt));
    ASSERT_TRUE(server.waitForRequests(3));
    // Each package is removed once its upload is answered: with none left
    // and the work queue drained, nothing more can be sent.
    for (int i = 0; i < 1000 && !(files->processingPathContents().empty() && files->preparedPathContents().empty()); ++i) {
        settle();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    settle();
    EXPECT_EQ(server.requestCount(), 3u);
    EXPECT_EQ(uploadedReportIds(), (std::set<std::string>{"CRASHED", "HALFWAY", "PACKAGED"}));
    EXPECT_EQ(internallyDetected, std::vector<std::string>{"CRASHED"});
    EXPECT_EQ(files->activePathContents(), std::vector<std::string>{files->activePath() + "/NOW"});
    EXPECT_TRUE(files->processingPathContents().empty());
    EXPECT_TRUE(files->preparedPathContents().empty());
}

TEST_F(Launch, AFailedLastLaunchSendsItsNewestReportAtOnceAndTheRestInTurn) {
    ASSERT_TRUE(files->prepareForNewLaunch());
    write(files->structurePath() + "/launchmarker", "");
    std::string older = earlier(files->activePath(), "OLDER", {"signal.bbxrecord"});
    fs::last_write_time(older, fs::file_time_type::clock::now() - std::chrono::hours(1));
    earlier(files->activePath(), "NEWEST", {"signal.bbxrecord"});
    informDelegate = false;
    ASSERT_TRUE(make().startWithProfilingMark(0, std::nullopt));
    // The newest left active before the start returned; the older waits for the queue.
    EXPECT_FALSE(exists(files->activePath() + "/NEWEST"));
    ASSERT_TRUE(server.waitForRequests(2));
    settle();
    EXPECT_EQ(uploadedReportIds(), (std::set<std::string>{"OLDER", "NEWEST"}));
    EXPECT_TRUE(asked.size() <= 1u);
}

// The controller may be dropped while an upload it started is being
// answered: what the answer sets off must not reach it once it is going.
// Under ThreadSanitizer the answer meets the teardown within a few rounds.
TEST_F(Launch, AControllerDroppedAsItsUploadIsAnsweredIsNotCalledAfterwards) {
    ASSERT_TRUE(files->prepareForNewLaunch());
    numberRuns = true;  // each start is a run of its own
    for (int round = 0; round < 40; ++round) {
        const std::string id = "P" + std::to_string(round);
        write(files->preparedPath() + "/" + id + ".multipartmime",
              "--B0UNDARY\r\nContent-Disposition: form-data; name=\"report_id\"\r\n\r\n" + id + "\r\n--B0UNDARY--\r\n");
        ASSERT_TRUE(make().startWithProfilingMark(0, std::nullopt));
        ASSERT_TRUE(server.waitForRequests(round + 1));
        controller.reset();
    }
}

TEST_F(Launch, AnotherRunningCopysLiveDirectoryIsLeftAlone) {
    ASSERT_TRUE(files->prepareForNewLaunch());
    std::string live = earlier(files->activePath(), "OTHER", {"signal.bbxrecord"});
    int held = BBXReportDirectoryLock(live);
    ASSERT_GE(held, 0);
    ASSERT_TRUE(make().startWithProfilingMark(0, std::nullopt));
    settle();
    EXPECT_TRUE(exists(live + "/signal.bbxrecord"));
    EXPECT_EQ(server.requestCount(), 0u);
    ::close(held);
}

// Two copies starting over and over on one tree, each at its own pace, so
// that one lists and judges the reports while the other makes its own: each
// finds its own report directory in place and held as live.
TEST_F(Launch, CopiesStartingTogetherEachKeepTheirOwnReport) {
    numberRuns = true;
    std::atomic<bool> failed{false};
    auto copy = [&](int rounds) {
        for (int round = 0; round < rounds && !failed; ++round) {
            std::string path;
            BBXCrashReportingController::Environment environment;
            environment.mainQueue = &mainQueue;
            environment.scheduler = &scheduler;
            environment.bundleIdentifier = bundle;
            environment.installContext = [&path](const BBXContextInitData* input) {
                path = input->reportPath ? input->reportPath : "";
            };
            BBXCrashReportingController controller(files, this, std::move(environment));
            const bool started = controller.startWithProfilingMark(0, std::nullopt);
            controller.workQueue().drain();
            if (!started || path.empty() || !BBXReportDirectoryIsLive(path)) {
                ADD_FAILURE() << "round " << round << ": " << (started ? path + " lost" : "no report");
                failed = true;
            }
        }
    };
    // A third looks in on every report as a starting copy does.
    std::atomic<bool> done{false};
    std::thread looker([&] {
        while (!done)
            for (const auto& path : files->activePathContents()) BBXReportDirectoryIsLive(path);
    });
    std::thread other(copy, 400);
    copy(400);
    other.join();
    done = true;
    looker.join();
}

TEST_F(Launch, TheUsersAnswerHoldsForTheRestOfTheRun) {
    settingsDictionary = {{"features", {{"prompt_enabled", true}}}};
    ASSERT_TRUE(files->prepareForNewLaunch());
    earlier(files->activePath(), "A", {"signal.bbxrecord"});
    earlier(files->activePath(), "B", {"errors_a.bbxrecord"});
    prompt.answer = 1002;  // "Don't Send" of three buttons
    ASSERT_TRUE(make().startWithProfilingMark(0, std::nullopt));
    settle();
    ASSERT_EQ(prompt.shown.size(), 1u);
    EXPECT_EQ(prompt.shown[0], (std::vector<std::string>{"Send", "Always Send", "Don't Send"}));
    EXPECT_EQ(controller->promptChoice(), 1);
    EXPECT_EQ(files->activePathContents(), std::vector<std::string>{files->activePath() + "/NOW"});
    EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(Launch, FailedUploadsAreRetriedEveryTenMinutesAFewTimesOnly) {
    server.setHandler([](const testsupport::RecordedRequest&) { return Reply{500, {{"Retry-After", "1"}}, ""}; });
    ASSERT_TRUE(files->prepareForNewLaunch());
    earlier(files->activePath(), "A", {"signal.bbxrecord"});
    ASSERT_TRUE(make().startWithProfilingMark(0, std::nullopt));
    std::size_t expected = 1;
    for (unsigned attempt = 0; attempt <= BBXCrashReportingController::kMaxRetriesPerPackage + 1; ++attempt) {
        // Each upload is restarted by the client a few times, then handed back.
        for (int i = 0; i < 400; ++i) {
            settle();
            if (scheduler.pendingCount() > 0) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (scheduler.pendingCount() == 0) break;
        clock->advance(std::chrono::seconds(601));
        ++expected;
    }
    settle();
    const auto perUpload = 1 + BBXNetworkClient::kMaxRestarts;
    EXPECT_LE(server.requestCount(), perUpload * (1 + BBXCrashReportingController::kMaxRetriesPerPackage));
    EXPECT_EQ(files->preparedPathContents().size(), 1u);  // kept for the next launch
}

}  // namespace

namespace {

struct BetaDelegate : BBXBetaControllerDelegate {
    std::string APIKeyForBetaController(BBXBetaController&) override { return "key"; }
    std::shared_ptr<BBXSettings> settingsForBetaController(BBXBetaController&) override {
        return std::make_shared<BBXSettings>(nlohmann::json{{"beta", {{"update_suspend_duration", 5}}}});
    }
};

TEST(Beta, WithoutATokenNothingIsObservedOrAsked) {
    LoopbackServer server;
    ::setenv("BlackboxBetaEndpoint", server.baseUrl().c_str(), 1);
    BetaDelegate delegate;
    {
        BBXBetaController beta(&delegate);
        EXPECT_FALSE(beta.start());
        base::NotificationCenter::defaultCenter().post("TRLSettingsAvailableNotification");
    }
    EXPECT_EQ(server.requestCount(), 0u);
    ::unsetenv("BlackboxBetaEndpoint");
}

TEST(Beta, AnOfferIsKeptOnlyWithAnHttpsAddressAndChecksPauseAfterAReply) {
    LoopbackServer server;
    server.enqueue(Reply{200, {{"Content-Type", "application/json"}}, R"({"url":"http://example.com/b.zip","version_string":"2"})"});
    server.enqueue(Reply{200, {{"Content-Type", "application/json"}}, R"({"url":"https://example.com/b.zip","version_string":"2"})"});
    ::setenv("BlackboxBetaEndpoint", server.baseUrl().c_str(), 1);
    auto clock = std::make_shared<base::ManualTimeSource>();
    base::Scheduler scheduler(clock);
    BetaDelegate delegate;
    BBXBetaController::Environment environment;
    environment.tokenSource = [] { return std::optional<std::string>("TOKEN"); };
    environment.scheduler = &scheduler;
    BBXBetaController beta(&delegate, environment);
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::optional<base::Error>> results;
    beta.setCompletionObserver([&](auto, auto error) {
        std::lock_guard lock(m);
        results.push_back(error);
        cv.notify_all();
    });
    ASSERT_TRUE(beta.start());
    base::NotificationCenter::defaultCenter().post("TRLSettingsAvailableNotification");
    {
        std::unique_lock lock(m);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(5), [&] { return results.size() == 1; }));
    }
    ASSERT_TRUE(results[0]);
    EXPECT_EQ(results[0]->code, -1017);
    EXPECT_FALSE(beta.activeUpdate());
    EXPECT_TRUE(beta.checksSuspended());
    auto request = server.requests()[0];
    EXPECT_EQ(request.header("X-Blackbox-Beta-Token"), "TOKEN");
    EXPECT_NE(request.path.find("/beta_update_check"), std::string::npos);

    beta.checkForUpdate();  // suspended: nothing sent
    clock->advance(std::chrono::seconds(61));  // the pause of 5 s is held to a minute
    EXPECT_FALSE(beta.checksSuspended());
    beta.checkForUpdate();
    {
        std::unique_lock lock(m);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(5), [&] { return results.size() == 2; }));
    }
    EXPECT_FALSE(results[1]);
    EXPECT_EQ(beta.betaUpdateURL(), "https://example.com/b.zip");
    EXPECT_EQ(server.requestCount(), 2u);
    ::unsetenv("BlackboxBetaEndpoint");
}

}  // namespace
