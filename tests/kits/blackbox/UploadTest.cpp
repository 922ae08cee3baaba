// Report packaging and upload against a loopback report endpoint.
#include <gtest/gtest.h>

#include <ctime>
#include <stdlib.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>

#include "LoopbackServer.h"
#include "RenameShim.h"
#include "TempDir.h"
#include "base/Files.h"
#include "base/Scheduler.h"
#include "kits/blackbox/BBXCrashReportingController.h"
#include "kits/blackbox/BBXFileManager.h"
#include "kits/blackbox/BBXInternalReport.h"
#include "kits/blackbox/BBXNetworkClient.h"
#include "kits/blackbox/BBXReportsController.h"
#include "kits/blackbox/BBXSettings.h"
#include "kits/trellis/TRLNetworkClient.h"
#include "kits/trellis/TRLServerTrust.h"

namespace fs = std::filesystem;
using testsupport::LoopbackServer;
using testsupport::Reply;

namespace {

void write(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

std::string run(const std::string& command) {
    std::string out;
    FILE* p = ::popen(command.c_str(), "r");
    if (!p) return out;
    char buffer[4096];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, p)) out.append(buffer, n);
    ::pclose(p);
    return out;
}

// Parses a recorded upload with Python's email package.
nlohmann::json parseMultipart(const testsupport::RecordedRequest& request, const testsupport::TempDir& dir) {
    const std::string bodyPath = dir.file("body.bin");
    write(bodyPath, request.body);
    const std::string script = std::string(FLASHWREN_SOURCE_DIR) + "/tests/kits/blackbox/read_multipart.py";
    auto out = run("python3 '" + script + "' '" + request.header("Content-Type").value_or("") + "' '" + bodyPath + "'");
    auto json = nlohmann::json::parse(out, nullptr, false);
    return json.is_discarded() ? nlohmann::json{{"error", out}} : json;
}

struct Upload : ::testing::Test, BBXNetworkClientDelegate, BBXReportsControllerDelegate {
    testsupport::TempDir dir;
    LoopbackServer server;
    std::shared_ptr<base::ManualTimeSource> clock = std::make_shared<base::ManualTimeSource>();
    base::Scheduler scheduler{clock};
    base::SerialQueue queue{"io.blackbox.mac.work-queue"};
    std::shared_ptr<BBXFileManager> files = std::make_shared<BBXFileManager>(dir.file("root"));
    std::shared_ptr<BBXSettings> settingsObject;
    bool background = true;
    std::shared_ptr<BBXNetworkClient> client;
    std::unique_ptr<BBXReportsController> controller;

    std::mutex mutex;
    std::condition_variable cv;
    std::vector<std::pair<std::string, std::optional<base::Error>>> completions;

    void SetUp() override {
        ::setenv("BlackboxReportsEndpoint", server.baseUrl().c_str(), 1);
        settingsObject = std::make_shared<BBXSettings>();
        ASSERT_TRUE(files->prepareForNewLaunch());
    }
    void start() {
        client = BBXNetworkClient::initWithQueue(&queue, files, this);
        client->setScheduler(&scheduler);
        controller = std::make_unique<BBXReportsController>(&queue, this, client, files);
    }
    void TearDown() override {
        queue.drain();
        server.stop();
        ::unsetenv("BlackboxReportsEndpoint");
        ::unsetenv("BlackboxPackageReports");
        ::unsetenv("BlackboxSubmitReports");
    }

    bool networkClientCanUseBackgroundSessions(BBXNetworkClient&) override { return background; }
    void networkClientDidFinishUploadWithPath(BBXNetworkClient&, const std::string& path,
                                              const std::optional<base::Error>& error) override {
        controller->reportUploadAtPath(path, error);
    }
    void reportsControllerDidCompletePackageSubmission(BBXReportsController&, const std::string& path,
                                                       const std::optional<base::Error>& error) override {
        std::lock_guard lock(mutex);
        completions.emplace_back(path, error);
        cv.notify_all();
    }
    void reportsControllerDidCompleteAllSubmissions(BBXReportsController&) override {}
    std::shared_ptr<BBXSettings> settingsForReportsController(BBXReportsController&) override { return settingsObject; }
    std::string APIKeyForReportsController(BBXReportsController&) override { return "0123456789abcdef0123456789abcdef01234567"; }
    std::string bundleIdentifierForReportsController(BBXReportsController&) override { return "com.example.booth"; }

    // What the delegate has been told so far: it is told on the client's threads.
    std::vector<std::pair<std::string, std::optional<base::Error>>> completed() {
        std::lock_guard lock(mutex);
        return completions;
    }
    bool waitForCompletions(std::size_t n, int ms = 5000) {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return completions.size() >= n; });
    }

    std::shared_ptr<BBXInternalReport> makeReport(const std::string& name) {
        std::string path = files->activePath() + "/" + name;
        fs::create_directories(path);
        write(path + "/metadata.bbxrecord",
              "{\"identity\":{\"api_key\":\"report-key\",\"started_at\":1700000000,\"session_id\":\"SESSION-" + name +
                  "\"}}\n");
        write(path + "/exception.bbxrecord", "{\"exception\":{\"type\":\"c++\"}}\n");
        write(path + "/exception.bbxrecord.symbolicated", "{\"threads\":[[]]}\n");
        write(path + "/sdk.log", "a log line\n");
        write(path + "/.DS_Store", "hidden");
        write(path + "/signal.bbxrecord.gz", "cut short by an earlier kill");
        return BBXInternalReport::reportWithPath(path);
    }
    std::vector<std::string> prepared() { return files->preparedPathContents(); }
};

TEST_F(Upload, AReportBecomesOnePackageThatAnIndependentParserReads) {
    server.enqueue(Reply{202, {}, ""});
    start();
    auto report = makeReport("EXEC-1");
    ASSERT_TRUE(controller->prepareAndSubmitReport(report, false, true));
    ASSERT_TRUE(waitForCompletions(1));
    EXPECT_FALSE(completed()[0].second);

    ASSERT_EQ(server.requestCount(), 1u);
    auto request = server.requests()[0];
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.path, "/sdk-api/v1/platforms/mac/apps/com.example.booth/reports");
    EXPECT_EQ(request.header("Content-Length"), std::to_string(request.body.size()));
    EXPECT_EQ(request.header("X-Blackbox-API-Key"), "0123456789abcdef0123456789abcdef01234567");
    EXPECT_EQ(request.header("User-Agent"), "Blackbox Mac SDK/3.4.1");
    EXPECT_EQ(request.header("X-Blackbox-API-Client-Id"), "io.blackbox.mac");
    EXPECT_EQ(request.header("X-Blackbox-API-Client-Build-Version"), "92");

    auto parsed = parseMultipart(request, dir);
    ASSERT_TRUE(parsed.contains("parts")) << parsed.dump();
    EXPECT_TRUE(parsed["defects"].empty()) << parsed.dump();
    auto& parts = parsed["parts"];
    ASSERT_EQ(parts.size(), 6u) << parsed.dump();
    EXPECT_EQ(parts[0]["name"], "api_key");
    EXPECT_EQ(parts[0]["content"], "report-key");
    EXPECT_EQ(parts[1]["name"], "report_id");
    EXPECT_EQ(parts[1]["content"], "SESSION-EXEC-1");
    std::map<std::string, nlohmann::json> byName;
    for (std::size_t i = 2; i < parts.size(); ++i) {
        EXPECT_EQ(parts[i]["type"], "application/x-gzip");
        EXPECT_FALSE(parts[i].contains("error")) << parts[i].dump();
        byName[parts[i]["name"].get<std::string>()] = parts[i];
    }
    EXPECT_EQ(byName["exception"]["filename"], "exception.bbxrecord.gz");
    EXPECT_EQ(byName["exception"]["content"], "{\"exception\":{\"type\":\"c++\"}}\n");
    EXPECT_EQ(byName["exception.bbxrecord"]["filename"], "exception.bbxrecord.symbolicated.gz");
    EXPECT_EQ(byName["sdk"]["content"], "a log line\n");
    EXPECT_TRUE(byName.count("metadata"));
    EXPECT_FALSE(byName.count("signal"));  // the stale compressed file is no report file

    // Delivered: nothing is left anywhere.
    queue.drain();
    EXPECT_TRUE(prepared().empty());
    EXPECT_TRUE(files->processingPathContents().empty());
    EXPECT_TRUE(files->activePathContents().empty());
}

TEST_F(Upload, ATransportFailureKeepsThePackageAndARefusalRemovesIt) {
    server.stop();  // nothing listens on the port any more
    start();
    ASSERT_TRUE(controller->prepareAndSubmitReport(makeReport("EXEC-2"), false, true));
    ASSERT_TRUE(waitForCompletions(1));
    ASSERT_TRUE(completed()[0].second);
    queue.drain();
    ASSERT_EQ(prepared().size(), 1u);
    EXPECT_TRUE(files->processingPathContents().empty());

    LoopbackServer refusing;
    refusing.enqueue(Reply{403, {}, "no"});
    ::setenv("BlackboxReportsEndpoint", refusing.baseUrl().c_str(), 1);
    ASSERT_TRUE(controller->uploadPackagedReportAtPath(prepared()[0], false));
    ASSERT_TRUE(waitForCompletions(2));
    ASSERT_TRUE(completed()[1].second);
    EXPECT_TRUE(BBXReportsController::isPermanentFailure(*completed()[1].second));
    queue.drain();
    EXPECT_TRUE(prepared().empty());
    refusing.stop();
}

TEST_F(Upload, ServerBusyIsRetriedAfterItsClampedPauseAndRestartsAreCapped) {
    server.enqueue(Reply{503, {{"Retry-After", "0"}}, ""});
    server.enqueue(Reply{201, {}, ""});
    start();
    ASSERT_TRUE(controller->prepareAndSubmitReport(makeReport("EXEC-3"), false, true));
    ASSERT_TRUE(server.waitForRequests(1));
    // A pause of 0 is held to one second.
    for (int i = 0; i < 50 && scheduler.pendingCount() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    clock->advance(std::chrono::milliseconds(900));
    EXPECT_EQ(server.requestCount(), 1u);
    clock->advance(std::chrono::milliseconds(200));
    ASSERT_TRUE(waitForCompletions(1));
    EXPECT_FALSE(completed()[0].second);
    EXPECT_EQ(server.requestCount(), 2u);
    EXPECT_EQ(BBXNetworkClient::retryDelayForResponse(nullptr), 300);
    TRLHTTPURLResponse huge;
    huge.headers = {{"Retry-After", "999999"}};
    EXPECT_EQ(BBXNetworkClient::retryDelayForResponse(&huge), 3600);
    // A date waits until then, held to the same bounds.
    auto dated = [](std::chrono::system_clock::duration fromNow) {
        const std::time_t t = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now() + fromNow);
        std::tm tm{};
        ::gmtime_r(&t, &tm);
        char text[64];
        std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &tm);
        TRLHTTPURLResponse response;
        response.headers = {{"Retry-After", text}};
        return BBXNetworkClient::retryDelayForResponse(&response);
    };
    EXPECT_EQ(dated(std::chrono::hours(2)), 3600);
    EXPECT_NEAR(dated(std::chrono::minutes(10)), 600, 2);
    EXPECT_EQ(dated(-std::chrono::hours(2)), 1);

    server.setHandler([](const testsupport::RecordedRequest&) { return Reply{503, {{"Retry-After", "1"}}, ""}; });
    ASSERT_TRUE(controller->prepareAndSubmitReport(makeReport("EXEC-4"), false, true));
    for (unsigned i = 0; i <= BBXNetworkClient::kMaxRestarts; ++i) {
        ASSERT_TRUE(server.waitForRequests(3 + i)) << i;
        for (int w = 0; w < 100 && scheduler.pendingCount() == 0 && completed().size() < 2; ++w)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        clock->advance(std::chrono::seconds(2));
    }
    ASSERT_TRUE(waitForCompletions(2));
    EXPECT_TRUE(completed()[1].second);
    EXPECT_EQ(server.requestCount(), 3u + BBXNetworkClient::kMaxRestarts);
    queue.drain();
    EXPECT_EQ(prepared().size(), 1u);  // kept for a later attempt
}

TEST_F(Upload, StartingOnePackageTwiceUploadsItOnce) {
    server.enqueue(Reply{200, {}, "", 300});
    start();
    ::setenv("BlackboxSubmitReports", "NO", 1);
    ASSERT_FALSE(controller->prepareAndSubmitReport(makeReport("EXEC-5"), false, true));
    ASSERT_EQ(prepared().size(), 1u);  // submission off: packages wait
    ::unsetenv("BlackboxSubmitReports");
    const std::string package = prepared()[0];
    EXPECT_TRUE(controller->uploadPackagedReportAtPath(package, false));
    EXPECT_TRUE(controller->uploadPackagedReportAtPath(package, false));
    ASSERT_TRUE(waitForCompletions(1));
    // Both starts have been looked at once the queue is drained; a second
    // upload, had one begun, would still be in flight or answered by now.
    queue.drain();
    for (int i = 0; i < 1000 && client->uploadsInFlight() > 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(client->uploadsInFlight(), 0u);
    queue.drain();
    EXPECT_EQ(server.requestCount(), 1u);
    EXPECT_EQ(completed().size(), 1u);
    // Gone now: a third start sends nothing.
    EXPECT_FALSE(controller->uploadPackagedReportAtPath(package, false));
}

// Two copies packaging one report at once (the second at the moment the
// first puts its package in place): each writes under its own temporary
// name, neither replaces the package the other put there, and both end with
// it. On a filesystem that takes flags on a rename and on one that does not.
TEST_F(Upload, TwoCopiesPackagingOneReportAtOnceEndWithOnePackage) {
    for (int refused : {0, EINVAL}) {
        SCOPED_TRACE(refused ? "rename flags refused" : "rename flags taken");
        auto report = makeReport(refused ? "EXEC-21" : "EXEC-20");
        BBXPackageReportOperation first(report, files), second(report, files);
        bool secondRan = false;
        struct stat placed {};
        testsupport::setRenameHook([&](const char*, const char* to, unsigned flags) -> std::optional<int> {
            if (!secondRan && std::string(to).ends_with(".multipartmime")) {
                secondRan = true;
                second.main();
                ::stat(to, &placed);
            }
            if (refused && flags) {
                errno = refused;
                return -1;
            }
            return std::nullopt;
        });
        first.main();
        testsupport::setRenameHook({});
        ASSERT_TRUE(secondRan);
        ASSERT_TRUE(second.finalPath());
        ASSERT_TRUE(first.finalPath());
        EXPECT_EQ(*first.finalPath(), *second.finalPath());
        struct stat now {};
        ASSERT_EQ(::stat(first.finalPath()->c_str(), &now), 0);
        EXPECT_EQ(now.st_ino, placed.st_ino) << "the package the second copy put in place was replaced";
        std::size_t all = 0;
        for (const auto& entry : fs::directory_iterator(files->preparedPath())) all += entry.is_regular_file() ? 1 : 0;
        EXPECT_EQ(all, prepared().size()) << "a temporary package is left";
        for (const auto& path : prepared()) fs::remove(path);
    }
}

// A package whose report folder an earlier run left in processing: the
// folder goes before the package is sent, unless another copy holds it (it
// is packaging it now), and then the package is left to that copy.
TEST_F(Upload, AFolderLeftBesideItsPackageGoesUnlessAnotherCopyHoldsIt) {
    server.enqueue(Reply{202, {}, ""});
    start();
    auto report = makeReport("EXEC-22");
    ASSERT_TRUE(files->moveItemAtPath(report->path(), files->processingPath()));
    report->setPath(files->processingPath() + "/EXEC-22");
    std::string package;
    {
        BBXPackageReportOperation operation(report, files);
        operation.main();
        ASSERT_TRUE(operation.finalPath());
        package = *operation.finalPath();
    }
    const int held = BBXReportClaim(report->path());
    ASSERT_GE(held, 0);
    EXPECT_FALSE(controller->uploadPackagedReportAtPath(package, false));
    BBXReportReleaseClaim(held);
    EXPECT_TRUE(fs::exists(report->path()));
    EXPECT_TRUE(controller->uploadPackagedReportAtPath(package, false));
    EXPECT_FALSE(fs::exists(report->path()));
    ASSERT_TRUE(waitForCompletions(1));
    EXPECT_EQ(server.requestCount(), 1u);
}

// Named pipes in the report tree, in a package's place or in a report
// lock's, are never waited on: nobody may ever write to them.
TEST_F(Upload, NamedPipesInTheTreeAreNeverWaitedOn) {
    start();
    const std::string package = files->preparedPath() + "/PIPE.multipartmime";
    const std::string folder = files->activePath() + "/EXEC-PIPE";
    ASSERT_TRUE(files->createDirectoryAtPath(folder));
    ASSERT_EQ(::mkfifo(package.c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo((folder + "/.lock").c_str(), 0600), 0);
    auto done = std::async(std::launch::async, [&] {
        EXPECT_FALSE(controller->uploadPackagedReportAtPath(package, false));
        EXPECT_FALSE(BBXReportDirectoryIsLive(folder));
    });
    if (done.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        ADD_FAILURE() << "waits on a named pipe";
        // A writer lets a waiting open through, so the test can end.
        for (const std::string& p : {package, folder + "/.lock"}) {
            const int writer = ::open(p.c_str(), O_RDWR | O_NONBLOCK);
            done.wait_for(std::chrono::seconds(5));
            if (writer >= 0) ::close(writer);
        }
    }
    done.wait();
    EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(Upload, PackagingOffLeavesTheReportInProcessingAndEmptyPackagesAreNotSent) {
    start();
    ::setenv("BlackboxPackageReports", "NO", 1);
    auto report = makeReport("EXEC-6");
    EXPECT_FALSE(controller->prepareAndSubmitReport(report, false, true));
    EXPECT_EQ(files->processingPathContents(), std::vector<std::string>{files->processingPath() + "/EXEC-6"});
    EXPECT_TRUE(prepared().empty());

    write(files->preparedPath() + "/EMPTY.multipartmime", "");
    EXPECT_FALSE(controller->submitPackageMultipartMimeAtPath(files->preparedPath() + "/EMPTY.multipartmime", false));
    EXPECT_FALSE(controller->submitPackageMultipartMimeAtPath(files->preparedPath() + "/GONE.multipartmime", false));
    EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(Upload, AnUrgentUploadWithoutBackgroundSessionsIsDeliveredBeforeTheCallReturns) {
    background = false;
    server.enqueue(Reply{204, {}, ""});
    start();
    ASSERT_TRUE(controller->prepareAndSubmitReport(makeReport("EXEC-7"), true, true));
    std::lock_guard lock(mutex);
    ASSERT_EQ(completions.size(), 1u);
    EXPECT_FALSE(completions[0].second);
    EXPECT_TRUE(prepared().empty());
    TRLURLRequest r = controller->mutableRequestWithURL("http://127.0.0.1:1/", 2);
    EXPECT_EQ(r.valueForHTTPHeaderField("Accept"), "application/json");
}

TEST_F(Upload, AnUrgentUploadIsDeliveredBeforeTheCallReturnsWhatTheDelegateAllows) {
    // No session here outlives the process, whatever the delegate allows.
    background = true;
    server.enqueue(Reply{202, {}, ""});
    start();
    EXPECT_FALSE(client->supportsBackgroundRequests());
    ASSERT_TRUE(controller->prepareAndSubmitReport(makeReport("EXEC-9"), true, true));
    std::lock_guard lock(mutex);
    ASSERT_EQ(completions.size(), 1u);
    EXPECT_FALSE(completions[0].second);
    EXPECT_TRUE(prepared().empty());
    EXPECT_EQ(server.requestCount(), 1u);
}

TEST_F(Upload, AServerThatRedirectsToItselfGetsOnePostPerUpload) {
    const std::string self = server.baseUrl() + "/sdk-api/v1/platforms/mac/apps/com.example.booth/reports";
    server.setHandler([self](const testsupport::RecordedRequest&) { return Reply{302, {{"Location", self}}, ""}; });
    start();
    // Queued, then urgent: each sends its package once and counts the
    // redirect as a failure, so the package waits for the next launch.
    ASSERT_TRUE(controller->prepareAndSubmitReport(makeReport("EXEC-10"), false, true));
    ASSERT_TRUE(waitForCompletions(1));
    EXPECT_TRUE(completed()[0].second);
    ASSERT_TRUE(controller->prepareAndSubmitReport(makeReport("EXEC-11"), true, true));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    queue.drain();
    EXPECT_EQ(server.requestCount(), 2u);
    EXPECT_EQ(prepared().size(), 2u);
}

// A 307 or 308 answer asks for the same request elsewhere: the upload
// follows it with its method and body, a few hops at most; a server that
// keeps sending it back to itself ends in a failure that keeps the package.
TEST_F(Upload, A307Or308IsFollowedWithTheSameMethodAndBodyAFewTimes) {
    const std::string reports = "/sdk-api/v1/platforms/mac/apps/com.example.booth/reports";
    const std::string finalUrl = server.baseUrl() + "/final";
    server.setHandler([&](const testsupport::RecordedRequest& r) {
        if (r.path == reports) return Reply{307, {{"Location", "/moved"}}, "see /moved"};
        if (r.path == "/moved") return Reply{308, {{"Location", finalUrl}}, ""};
        return Reply{202, {}, ""};
    });
    start();
    ASSERT_TRUE(controller->prepareAndSubmitReport(makeReport("EXEC-12"), false, true));
    ASSERT_TRUE(waitForCompletions(1));
    EXPECT_FALSE(completions[0].second);
    EXPECT_TRUE(prepared().empty());
    auto hops = server.requests();
    ASSERT_EQ(hops.size(), 3u);
    EXPECT_EQ(hops[2].path, "/final");
    for (const auto& hop : hops) {
        EXPECT_EQ(hop.method, "POST");
        EXPECT_EQ(hop.header("Content-Type"), hops[0].header("Content-Type"));
        EXPECT_EQ(hop.body, hops[0].body);
    }
    EXPECT_EQ(hops[0].header("Content-Length"), std::to_string(hops[0].body.size()));

    const std::string self = server.baseUrl() + reports;
    server.setHandler([self](const testsupport::RecordedRequest&) { return Reply{307, {{"Location", self}}, ""}; });
    ASSERT_TRUE(controller->prepareAndSubmitReport(makeReport("EXEC-13"), false, true));
    ASSERT_TRUE(waitForCompletions(2));
    EXPECT_TRUE(completions[1].second);
    EXPECT_EQ(server.requestCount(), 3u + 1 + kBBXURLSessionMaxUploadRedirects);
    EXPECT_EQ(prepared().size(), 1u);
}

TEST_F(Upload, AKilledPackagingLeavesNothingThatIsSent) {
    start();
    // What a process killed mid-packaging leaves: a hidden partial package
    // and partial compressed files in the report directory.
    write(files->preparedPath() + "/.DEAD.multipartmime.tmp", "--partial");
    EXPECT_TRUE(prepared().empty());
    // And what one killed while making its run's report folder leaves,
    // beside a copy that is making its own right now.
    ASSERT_TRUE(files->createDirectoryAtPath(files->activePath() + "/.DEAD.new"));
    ASSERT_TRUE(files->createDirectoryAtPath(files->activePath() + "/.LIVE.new"));
    const int live = BBXReportDirectoryLock(files->activePath() + "/.LIVE.new");
    ASSERT_GE(live, 0);
    EXPECT_EQ(files->removeStaleTemporaryPackages(3600), 0u);  // too young to be stale
    EXPECT_EQ(files->removeStaleTemporaryPackages(0), 2u);
    EXPECT_TRUE(std::filesystem::exists(files->activePath() + "/.LIVE.new"));
    ::close(live);

    // A source file whose reading fails midway fails the packaging as a
    // whole (this one opens, then every read is refused).
    auto report = makeReport("EXEC-8");
    fs::create_symlink("/proc/self/mem", report->pathForContentFile("errors_a.bbxrecord"));
    BBXPackageReportOperation package(report, files);
    package.main();
    EXPECT_FALSE(package.finalPath());
    EXPECT_TRUE(fs::is_empty(files->preparedPath()));
}

TEST(UploadBounds, WaitingPackagesAreBoundedOldestFirst) {
    testsupport::TempDir dir;
    BBXFileManager files(dir.file("root"));
    ASSERT_TRUE(files.prepareForNewLaunch());
    for (int i = 0; i < 5; ++i) {
        std::string p = files.preparedPath() + "/P" + std::to_string(i) + ".multipartmime";
        write(p, std::string(1000, 'x'));
        fs::last_write_time(p, fs::file_time_type::clock::now() - std::chrono::hours(10 - i));
    }
    EXPECT_EQ(files.trimDirectory(files.preparedPath(), 3, 1 << 20), 2u);
    EXPECT_EQ(files.preparedPathContents().front(), files.preparedPath() + "/P2.multipartmime");
    // Bytes bound too; the kept path survives even when it is the oldest.
    EXPECT_EQ(files.trimDirectory(files.preparedPath(), 10, 1500, files.preparedPath() + "/P2.multipartmime"), 2u);
    EXPECT_EQ(files.preparedPathContents(), std::vector<std::string>{files.preparedPath() + "/P2.multipartmime"});
    EXPECT_EQ(BBXPackageReportOperation::fieldNameForCompressedFile("sdk.log.gz"), "sdk");
    EXPECT_EQ(BBXPackageReportOperation::fieldNameForCompressedFile("README.gz"), "README");
}

}  // namespace
