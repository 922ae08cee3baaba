#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <limits>
#include <random>
#include <set>
#include <thread>

#include "ChildProcess.h"
#include "LoopbackServer.h"
#include "TallyTestSupport.h"
#include "TempDir.h"
#include "Wait.h"
#include "kits/tally/BBXAnalyticsController.h"
#include "base/Plist.h"
#include "kits/trellis/BBXUserDefaults.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using base::Json;
using tallytest::Line;

namespace {

class ControllerTest : public ::testing::Test {
protected:
    void SetUp() override {
        core = std::make_shared<tallytest::FakeCore>();
        timestamps = std::make_shared<tallytest::FakeTimestamps>();
        defaults = std::make_unique<BBXUserDefaults>(home.path() + "/defaults");
        clock = std::make_shared<base::ManualTimeSource>();
        scheduler = std::make_unique<base::Scheduler>(clock);
        root = home.path() + "/analytics";
        // A copy started by the test works on its parent's folder and settings.
        if (testsupport::ChildProcess::childMode()) {
            root = std::getenv(kRootVariable);
            core->set(base::parseJson(std::getenv(kSettingsVariable)));
        }
    }

    static constexpr const char* kRootVariable = "FLASHWREN_TEST_ANALYTICS_ROOT";
    static constexpr const char* kSettingsVariable = "FLASHWREN_TEST_ANALYTICS_SETTINGS";

    // The running test again, in a process of its own, as another copy of
    // the application would run beside this one.
    std::unique_ptr<testsupport::ChildProcess> startCopy(const std::string& mode) {
        auto settings = core->settings();
        return std::make_unique<testsupport::ChildProcess>(
            mode, testsupport::ChildProcess::Env{{kRootVariable, root},
                                                 {kSettingsVariable, settings ? settings->dump() : "null"}});
    }

    BBXAnalyticsController::Environment env() {
        BBXAnalyticsController::Environment e;
        e.core = core;
        e.defaults = defaults.get();
        e.timestampGenerator = timestamps;
        e.scheduler = scheduler.get();
        e.notificationCenter = &center;
        return e;
    }

    std::shared_ptr<BBXAnalyticsController> make(const std::string& session = "S1",
                                                 std::optional<std::string> beta = std::nullopt) {
        auto c = BBXAnalyticsController::create(session, root, beta, env());
        if (c) c->flush();
        return c;
    }

    void maintain(BBXAnalyticsController& c, std::chrono::seconds timeout = 10s) {
        auto done = std::make_shared<std::promise<void>>();
        auto finished = done->get_future();
        c.maintainSessionFragments([done](std::optional<base::Error>) { done->set_value(); });
        ASSERT_EQ(finished.wait_for(timeout), std::future_status::ready);
        c.flush();
    }

    // Maintenance may move or delete folders while we walk: a folder that
    // vanishes under the walk counts as empty, never as an error.
    std::vector<std::string> filesUnder(const std::string& state) {
        std::vector<std::string> out;
        std::vector<fs::path> folders = {root + "/v1/" + state};
        while (!folders.empty()) {
            fs::path folder = std::move(folders.back());
            folders.pop_back();
            std::error_code ec;
            fs::directory_iterator it(folder, ec), end;
            for (; !ec && it != end; it.increment(ec)) {
                std::error_code typeError;
                auto status = it->symlink_status(typeError);
                if (typeError || it->path().filename().string()[0] == '.') continue;  // hidden: locks, leftovers
                if (fs::is_directory(status)) folders.push_back(it->path());
                else if (fs::is_regular_file(status)) out.push_back(it->path().string());
            }
        }
        std::sort(out.begin(), out.end());
        return out;
    }

    testsupport::ScopedHome home;
    std::shared_ptr<tallytest::FakeCore> core;
    std::shared_ptr<tallytest::FakeTimestamps> timestamps;
    std::unique_ptr<BBXUserDefaults> defaults;
    std::shared_ptr<base::ManualTimeSource> clock;
    std::unique_ptr<base::Scheduler> scheduler;
    base::NotificationCenter center;
    std::string root;
};

// Answers 200 and closes the connection, so stopping the server never
// waits for an idle keep-alive connection.
void closeAfterEachReply(testsupport::LoopbackServer& server) {
    server.setHandler([](const testsupport::RecordedRequest&) {
        testsupport::Reply reply;
        reply.headers = {{"Connection", "close"}};
        return reply;
    });
}

std::shared_ptr<BBXTallyEvent> customEvent(const std::string& name, int n = 0) {
    return BBXTallyCustomEvent::initWithName(name, {{Json("n"), Json(n)}});
}

}  // namespace

TEST_F(ControllerTest, EventsLoggedBeforeSettingsAreSentOnceSettingsArrive) {
    testsupport::LoopbackServer server;
    closeAfterEachReply(server);
    auto c = make();
    ASSERT_TRUE(c);
    c->logAppInstalled();  // priority 0: asks for maintenance once settings exist
    c->logAppLaunched();
    c->logCustomEvent(customEvent("photo_taken"));
    c->flush();
    EXPECT_EQ(server.requestCount(), 0u);

    core->set(tallytest::settingsWith(server.baseUrl() + "/events"));
    center.post(kTRLSettingsAvailableNotification);
    ASSERT_TRUE(server.waitForRequests(1));
    c->flush();

    auto request = server.requests().at(0);
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.path, "/events");
    EXPECT_EQ(request.header("X-BLACKBOX-API-KEY"), "test-api-key");
    EXPECT_EQ(request.header("User-Agent"), "Tally Mac SDK/1.0.1");
    EXPECT_EQ(request.header("X-BLACKBOX-API-CLIENT-TYPE"), "Tally Mac SDK");
    EXPECT_EQ(request.header("X-BLACKBOX-API-CLIENT-DISPLAY-VERSION"), "1.0.1");
    auto token = request.header("X-BLACKBOX-DEVELOPER-TOKEN").value_or("");
    EXPECT_EQ(token.size(), 40u);
    auto parts = tallytest::parseMultipart(request);
    ASSERT_EQ(parts.size(), 3u);
    EXPECT_EQ(parts[0].name, "0.log.zip");
    EXPECT_EQ(parts[0].fileName, "0.log.zip");
    EXPECT_EQ(parts[2].fileName, "2.log.zip");
    EXPECT_EQ(parts[1].contentType, "application/vnd.blackbox.ios.events");

    std::map<std::string, std::vector<std::string>> keysByFile;
    for (const auto& part : parts) {
        auto data = base::gzipDecompress(part.body);
        ASSERT_TRUE(data);
        for (const auto& line : tallytest::parseLines(*data)) keysByFile[part.fileName].push_back(line.key);
    }
    EXPECT_EQ(keysByFile["0.log.zip"], (std::vector<std::string>{"metadata", "app_installed"}));
    EXPECT_EQ(keysByFile["1.log.zip"], (std::vector<std::string>{"metadata", "app_launched"}));
    EXPECT_EQ(keysByFile["2.log.zip"], (std::vector<std::string>{"metadata", "custom"}));
    // Sent fragments are gone; only the open one remains.
    for (int i = 0; i < 500 && !filesUnder("PACKAGED").empty(); ++i) std::this_thread::sleep_for(10ms);
    c->flush();
    EXPECT_TRUE(filesUnder("PACKAGED").empty());
    EXPECT_TRUE(filesUnder("ACTIVE").empty());
}

TEST_F(ControllerTest, CollectOffRemovesTheRootAndRefusesEvents) {
    auto c = make();
    c->logAppLaunched();
    c->flush();
    ASSERT_FALSE(filesUnder("ACTIVE").empty());

    // Wrong types read as off and never throw.
    core->set(Json{{"features", {{"collect_analytics", "yes"}}}, {"analytics", {{"max_byte_size_per_file", "big"}}}});
    c->trellisSettingsDownloaded();
    c->flush();
    EXPECT_FALSE(fs::exists(root));
    EXPECT_FALSE(c->analyticsFeatureSwitchEnabled());
    EXPECT_FALSE(c->customEventsFeatureSwitchEnabled());
    c->logCustomEvent(customEvent("refused"));
    c->logAppLaunched();
    c->logEvent(std::make_shared<BBXEventLogEvent>(2, 1, "direct"));
    c->flush();
    EXPECT_FALSE(fs::exists(root));

    // Switched on again, events are written to a new fragment.
    core->set(tallytest::settingsWith(""));
    c->trellisSettingsDownloaded();
    c->flush();
    c->logAppLaunched();
    c->flush();
    auto lines = tallytest::storedLines(root);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].key, "app_launched");
}

TEST_F(ControllerTest, FirstTimerFireFollowsTheLastMaintenance) {
    auto c = make();
    double now = static_cast<double>(timestamps->now.load()) / 1000.0;
    c->saveLastMaintenanceDate(now - 45);
    EXPECT_NEAR(c->initialMaintenanceTimeWithFlushInterval(60), 15, 0.1);
    c->saveLastMaintenanceDate(now - 120);
    EXPECT_NEAR(c->initialMaintenanceTimeWithFlushInterval(60), 0, 0.1);
    c->saveLastMaintenanceDate(now + 3600);  // the clock was set back
    EXPECT_NEAR(c->initialMaintenanceTimeWithFlushInterval(60), 60, 0.1);
    defaults->setObject("not a date", BBXAnalyticsController::kLastMaintenanceDateKey);
    EXPECT_NEAR(c->initialMaintenanceTimeWithFlushInterval(60), 60, 0.1);
    EXPECT_TRUE(base::plistIsDate(*defaults->objectForKey(BBXAnalyticsController::kLastMaintenanceDateKey)));

    // The timer itself: first fire at the remainder, then every interval.
    c->saveLastMaintenanceDate(static_cast<double>(timestamps->now.load()) / 1000.0 - 45);
    core->set(tallytest::settingsWith("", {{"flush_interval_secs", 60}}));
    c->trellisSettingsDownloaded();
    c->flush();
    ASSERT_TRUE(c->isMaintenanceTimerScheduled());
    auto first = c->currentSessionFragmentDirectoryURL();
    clock->advance(14s);
    c->flush();
    EXPECT_EQ(c->currentSessionFragmentDirectoryURL(), first);
    clock->advance(1s);
    c->flush();
    auto second = c->currentSessionFragmentDirectoryURL();
    EXPECT_NE(second, first);
    clock->advance(59s);
    c->flush();
    EXPECT_EQ(c->currentSessionFragmentDirectoryURL(), second);
    clock->advance(1s);
    c->flush();
    EXPECT_NE(c->currentSessionFragmentDirectoryURL(), second);

    // Settings without "analytics": no timer.
    core->set(Json{{"features", {{"collect_analytics", true}}}});
    c->trellisSettingsDownloaded();
    c->flush();
    EXPECT_FALSE(c->isMaintenanceTimerScheduled());
}

TEST_F(ControllerTest, PruningDropsLowestPriorityThenOldest) {
    BBXEventLogSessionRepository repo(root);
    auto put = [&](const std::string& fragment, int priority) {
        auto url = repo.eventLogFileURLForStateName("PACKAGED", "OLD", 1, fragment, 0, priority);
        std::ofstream(*url + ".zip") << "x";
    };
    put("a", 0), put("a", 2), put("b", 1), put("b", 2), put("c", 2), put("d", 0);
    // Files of no priority are not candidates.
    fs::create_directories(root + "/v1/PACKAGED/1_OLD/0_e");
    std::ofstream(root + "/v1/PACKAGED/1_OLD/0_e/7.log") << "x";

    auto c = make();
    c->logAppLaunched();  // the open fragment is never pruned
    core->set(tallytest::settingsWith("", {{"max_pending_send_file_count", 3}}));
    c->trellisSettingsDownloaded();
    c->flush();
    maintain(*c);
    std::vector<std::string> left;
    for (auto& f : filesUnder("PACKAGED")) left.push_back(fs::relative(f, root + "/v1/PACKAGED/1_OLD").string());
    // Seven candidates, limit three: the three priority-2 files go first
    // (oldest first), then the priority-1 file.
    std::vector<std::string> expected = {"0_a/0.log.zip", "0_d/0.log.zip", "0_e/7.log"};
    std::vector<std::string> got;
    for (auto& l : left)
        if (l.find("0_") == 0) got.push_back(l);
    EXPECT_EQ(got, expected);

    core->set(tallytest::settingsWith("", {{"max_pending_send_file_count", 1}}));
    c->trellisSettingsDownloaded();
    c->logAppLaunched();
    maintain(*c);
    // Limit 1: the file without a priority counts but cannot go, so every
    // file with one goes; the open fragment is untouched.
    EXPECT_EQ(filesUnder("PACKAGED").size(), 1u);
    auto active = filesUnder("ACTIVE");
    for (const auto& f : active) EXPECT_EQ(fs::path(f).parent_path().string(), c->currentSessionFragmentDirectoryURL());
}

TEST_F(ControllerTest, MissingOrInvalidPendingLimitKeepsTheBuiltInBacklog) {
    BBXEventLogSessionRepository repo(root);
    for (int i = 0; i < 5; ++i) {
        auto url = repo.eventLogFileURLForStateName("PACKAGED", "OLD", 1, "f" + std::to_string(i), 0, 2);
        std::ofstream(*url + ".zip") << "x";
    }
    auto c = make();
    // An outage (no upload address) with a limit the server did not give,
    // or gave as nonsense: what waits to be sent stays.
    std::vector<std::optional<Json>> invalid = {std::nullopt, Json(0), Json(-4), Json("ten"), Json(2.5),
                                                Json(nullptr), Json::array({3})};
    for (const auto& limit : invalid) {
        auto settings = tallytest::settingsWith("");
        if (limit) settings["analytics"]["max_pending_send_file_count"] = *limit;
        else settings["analytics"].erase("max_pending_send_file_count");
        core->set(settings);
        c->trellisSettingsDownloaded();
        c->flush();
        maintain(*c);
        EXPECT_EQ(filesUnder("PACKAGED").size(), 5u) << (limit ? limit->dump() : "missing");
    }
    // A valid positive limit from the server replaces the built-in one.
    core->set(tallytest::settingsWith("", {{"max_pending_send_file_count", 3}}));
    c->trellisSettingsDownloaded();
    c->flush();
    maintain(*c);
    EXPECT_EQ(filesUnder("PACKAGED").size(), 3u);
}

TEST_F(ControllerTest, FailedUploadIsSentAgainByTheNextPass) {
    testsupport::LoopbackServer server;
    closeAfterEachReply(server);
    server.enqueue({400, {{"Connection", "close"}}, "bad", 0, false});
    // An empty fragment and one whose file cannot be read are never sent.
    fs::create_directories(root + "/v1/PACKAGED/1_OLD/1_empty");
    fs::create_directories(root + "/v1/PACKAGED/1_OLD/2_unreadable/0.log.zip");
    auto c = make();
    core->set(tallytest::settingsWith(server.baseUrl() + "/events"));
    c->trellisSettingsDownloaded();
    c->logCustomEvent(customEvent("first"));
    maintain(*c);
    EXPECT_EQ(server.requestCount(), 1u);
    EXPECT_FALSE(filesUnder("PACKAGED").empty());

    maintain(*c);
    ASSERT_EQ(server.requestCount(), 2u);
    EXPECT_TRUE(filesUnder("PACKAGED").empty());
    auto requests = server.requests();
    EXPECT_EQ(requests[0].body.size(), requests[1].body.size());
    auto lines = tallytest::uploadedLines(server);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const Line& l) { return l.key == "custom"; }), 2);
}

TEST_F(ControllerTest, ConcurrentProducersAcrossFragmentSwitchesLoseNothing) {
    auto c = make();
    core->set(tallytest::settingsWith("", {{"max_byte_size_per_file", 4000}}));
    c->trellisSettingsDownloaded();
    c->flush();
    constexpr int kThreads = 4, kEach = 400;
    std::atomic<bool> running{true};
    std::atomic<int> switches{0};
    std::thread switcher([&] {
        while (running || switches < 20) {
            std::promise<void> done;
            c->maintainSessionFragments([&](std::optional<base::Error>) { done.set_value(); });
            done.get_future().wait();
            ++switches;
        }
    });
    std::vector<std::thread> producers;
    for (int t = 0; t < kThreads; ++t) {
        producers.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                if (i % 10 == 0) c->applicationLifecycleEvent(BBXAnalyticsApplicationLifecycleEvent::kDidBecomeActive);
                c->logCustomEvent(customEvent("p" + std::to_string(t), i));
            }
        });
    }
    for (auto& p : producers) p.join();
    running = false;
    switcher.join();
    c->flush();
    maintain(*c);

    std::set<std::string> ids;
    int customs = 0, actives = 0;
    for (const auto& line : tallytest::storedLines(root)) {
        if (line.key == "metadata") continue;
        EXPECT_TRUE(ids.insert(tallytest::eventId(line)).second) << "duplicate " << line.key;
        customs += line.key == "custom";
        actives += line.key == "app_became_active";
    }
    EXPECT_EQ(customs, kThreads * kEach);
    EXPECT_EQ(actives, kThreads * kEach / 10);
    EXPECT_GE(switches.load(), 20);
}

TEST_F(ControllerTest, BurstOverTheSizeLimitStartsFewMaintenances) {
    struct CountingIds : BBXAnalyticsIdentifierGenerator {
        std::atomic<int> fragments{0};
        std::string generateSessionFragmentIdentifier() override {
            ++fragments;
            return BBXAnalyticsIdentifierGenerator::generateSessionFragmentIdentifier();
        }
    };
    auto ids = std::make_shared<CountingIds>();
    auto e = env();
    e.identifierGenerator = ids;
    auto c = BBXAnalyticsController::create("S", root, std::nullopt, e);
    core->set(tallytest::settingsWith("", {{"max_byte_size_per_file", 200}}));
    c->trellisSettingsDownloaded();
    c->flush();
    int before = ids->fragments;
    for (int i = 0; i < 300; ++i) c->logCustomEvent(customEvent("burst", i));
    c->flush();
    // Without the one-pending rule every event over the limit would switch.
    EXPECT_GE(ids->fragments - before, 1);
    EXPECT_LT(ids->fragments - before, 30);
    // A maintenance started by the burst may still be packaging: count once it settles.
    int customs = 0;
    for (int attempt = 0; attempt < 100 && customs != 300; ++attempt) {
        if (attempt) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        c->flush();
        customs = 0;
        for (const auto& line : tallytest::storedLines(root)) customs += line.key == "custom";
    }
    EXPECT_EQ(customs, 300);
}

TEST_F(ControllerTest, PreviousSessionCrashGoesIntoThePreviousSession) {
    {
        auto first = make("FIRST");
        ASSERT_TRUE(first);
        EXPECT_FALSE(first->lastSessionIdentifier());
    }
    auto second = make("SECOND");
    ASSERT_EQ(second->lastSessionIdentifier(), "FIRST");
    ASSERT_TRUE(second->lastSessionMetadata());
    second->logPreviousSessionCrashedOnDate(1700000123.75);
    second->flush();
    std::string session = root + "/v1/ACTIVE/" + std::to_string(second->lastSessionTimestamp()) + "_FIRST";
    std::vector<Line> lines;
    for (auto& e : fs::recursive_directory_iterator(session)) {
        if (e.path().filename() != "1.log") continue;
        auto found = tallytest::parseLines(*base::readFile(e.path().string()));
        if (!found.empty() && found.back().key == "app_crashed") lines = found;
    }
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].key, "metadata");
    EXPECT_EQ(lines[0].timestamp, "1700000123000");
    EXPECT_EQ(*lines[0].payload, *second->lastSessionMetadata());
    EXPECT_EQ(lines[1].timestamp, "1700000123000");
}

TEST_F(ControllerTest, TwoRunningCopiesLeaveEachOthersFragmentsAlone) {
    auto a = make("A");
    auto b = make("B");
    b->logCustomEvent(customEvent("from-b"));
    b->logAppLaunched();
    a->logAppLaunched();
    a->flush();
    b->flush();
    core->set(tallytest::settingsWith("", {{"max_pending_send_file_count", 0}}));
    a->trellisSettingsDownloaded();
    b->trellisSettingsDownloaded();
    a->flush();
    b->flush();
    maintain(*a);
    maintain(*b);  // B has no lock: it switches fragments but packages nothing
    EXPECT_TRUE(a->holdsMaintenanceLock());
    EXPECT_FALSE(b->holdsMaintenanceLock());
    int bLines = 0;
    for (const auto& line : tallytest::storedLines(root)) bLines += line.key == "custom";
    EXPECT_EQ(bLines, 1);
    // Once B is gone, A takes care of its fragments.
    b.reset();
    a->logAppLaunched();
    maintain(*a);
    for (const auto& f : filesUnder("ACTIVE")) EXPECT_NE(f.find("_A/"), std::string::npos) << f;
}

TEST_F(ControllerTest, KilledDuringMaintenanceLosesNoAcknowledgedEvent) {
    if (const char* session = testsupport::ChildProcess::childMode()) {
        auto c = BBXAnalyticsController::create(session, root, std::nullopt, env());
        ASSERT_TRUE(c);
        for (int i = 0;; ++i) {
            // Priority 1 is written before logEvent returns: acknowledged.
            auto event = BBXAnalyticsApplicationLifecycleEvent::initWithPriority(
                1, 1, "app_launched", std::string(session) + "-" + std::to_string(i));
            c->logEvent(event);
            if (!testsupport::ChildProcess::report(event->eventIdentifier())) return;
            if (i % 50 == 0) c->maintainSessionFragmentsIgnoringError();
        }
    }
    testsupport::LoopbackServer server;
    closeAfterEachReply(server);
    core->set(tallytest::settingsWith(server.baseUrl() + "/events", {{"max_byte_size_per_file", 3000}}));
    std::mt19937 rng(7);
    std::set<std::string> acknowledged;
    for (int run = 0; run < 3; ++run) {
        auto copy = startCopy("RUN" + std::to_string(run));
        ASSERT_TRUE(copy->started());
        // Kill it at a random moment once it is under way: a loaded machine
        // may take long to start it, so count its acknowledgements, not time.
        const auto wanted = static_cast<std::ptrdiff_t>(20 + rng() % 200);
        copy->readReports([&](const std::string& r) { return std::count(r.begin(), r.end(), '\n') >= wanted; },
                          30s);
        std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 100));
        copy->kill();
        copy->readAllReports(10s);
        for (auto& id : copy->reportLines()) acknowledged.insert(id);
    }
    ASSERT_GT(acknowledged.size(), 10u);

    // The next run sends everything the killed runs left behind.
    auto c = make("FINAL");
    c->trellisSettingsDownloaded();
    c->flush();
    maintain(*c);
    maintain(*c);
    std::set<std::string> delivered;
    for (const auto& line : tallytest::uploadedLines(server)) delivered.insert(tallytest::eventId(line));
    for (const auto& line : tallytest::storedLines(root)) delivered.insert(tallytest::eventId(line));
    std::size_t missing = 0;
    for (const auto& id : acknowledged) missing += delivered.count(id) == 0;
    EXPECT_EQ(missing, 0u);
}

TEST_F(ControllerTest, CopiesRunningAtTheSameTimeLoseAndDuplicateNothing) {
    // Nothing is sent (no upload address), so every event must stay in the
    // shared folder exactly once. Small files: every copy switches fragments
    // and maintains often.
    core->set(tallytest::settingsWith("", {{"max_byte_size_per_file", 3000}, {"max_pending_send_file_count", 100000}}));
    if (const char* copy = testsupport::ChildProcess::childMode()) {
        // Many short runs, so that new sessions keep appearing while the
        // other copies maintain the shared folder.
        std::mt19937 rng(static_cast<unsigned>(std::stoi(copy)) * 7919u + 1u);
        auto until = std::chrono::steady_clock::now() + 1000ms;
        // Bounded by time and by volume, so a fast machine makes no more
        // work for the last run than a slow one.
        int logged = 0;
        for (int run = 0; std::chrono::steady_clock::now() < until && logged < 4000; ++run) {
            std::string session = "C" + std::string(copy) + "R" + std::to_string(run);
            auto c = BBXAnalyticsController::create(session, root, std::nullopt, env());
            ASSERT_TRUE(c);
            int events = 20 + static_cast<int>(rng() % 200);
            for (int i = 0; i < events && std::chrono::steady_clock::now() < until; ++i) {
                auto event = BBXAnalyticsApplicationLifecycleEvent::initWithPriority(
                    1, 1, "app_launched", session + "-" + std::to_string(i));
                c->logEvent(event);  // priority 1: on disk when this returns
                ++logged;
                ASSERT_TRUE(testsupport::ChildProcess::report(event->eventIdentifier()));
                // A full maintenance, while the other copies write and
                // maintain too.
                if (i % 30 == 29) maintain(*c, 20s);
            }
        }
        return;
    }
    constexpr int kCopies = 3;
    std::vector<std::unique_ptr<testsupport::ChildProcess>> copies;
    for (int copy = 0; copy < kCopies; ++copy) copies.push_back(startCopy(std::to_string(copy)));
    auto started = std::chrono::steady_clock::now();
    std::vector<std::thread> readers;
    for (auto& copy : copies) readers.emplace_back([&copy] { copy->readAllReports(120s); });
    for (auto& r : readers) r.join();
    std::vector<std::string> acknowledged;
    for (auto& copy : copies) {
        EXPECT_TRUE(copy->succeeds(60s)) << copy->output();
        auto ids = copy->reportLines();
        acknowledged.insert(acknowledged.end(), ids.begin(), ids.end());
    }
    ASSERT_GT(acknowledged.size(), 100u);

    // A last run packages whatever the copies left behind.
    auto c = make("FINAL");
    maintain(*c, 120s);  // a bound against a hang: packaging flushes every file to disk
    std::fprintf(stderr, "copies: %zu events in %.1f s\n", acknowledged.size(),
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    std::map<std::string, int> seen;
    for (const auto& line : tallytest::storedLines(root))
        if (line.key != "metadata") ++seen[tallytest::eventId(line)];
    std::size_t missing = 0, twice = 0;
    for (const auto& id : acknowledged) {
        auto it = seen.find(id);
        if (it == seen.end()) ++missing;
        else if (it->second > 1) ++twice;
    }
    EXPECT_EQ(missing, 0u) << "of " << acknowledged.size();
    EXPECT_EQ(twice, 0u) << "of " << acknowledged.size();
}

namespace {
testsupport::Reply slowReply(int delayMs, bool drop = false) {
    testsupport::Reply reply;
    reply.headers = {{"Connection", "close"}};
    reply.delayMs = delayMs;
    reply.dropConnection = drop;
    return reply;
}

int countKey(const std::vector<Line>& lines, const std::string& key) {
    return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const Line& l) { return l.key == key; }));
}
}  // namespace

TEST_F(ControllerTest, AnUploadAcceptedWhileGoingAwayIsNotSentAgain) {
    testsupport::LoopbackServer server;
    server.setHandler([](const testsupport::RecordedRequest&) { return slowReply(300); });
    core->set(tallytest::settingsWith(server.baseUrl() + "/events"));
    auto c = make("GOING");
    c->logCustomEvent(customEvent("once"));
    c->flush();
    c->maintainSessionFragmentsIgnoringError();
    ASSERT_TRUE(server.waitForRequests(1));
    c.reset();  // the answer is still on its way
    EXPECT_TRUE(filesUnder("PACKAGED").empty());

    auto next = make("NEXT");
    maintain(*next);
    maintain(*next);
    EXPECT_EQ(countKey(tallytest::uploadedLines(server), "custom"), 1);
}

// The server's acceptance removes the fragment at once, though the
// maintenance queue is busy with other work: a run killed right after it
// leaves nothing that the next run sends again.
TEST_F(ControllerTest, AFragmentAcceptedJustBeforeAKillIsNotSentAgain) {
    if (testsupport::ChildProcess::childMode()) {
        auto c = make("BUSY");
        for (int i = 0; i < 200; ++i) c->logCustomEvent(customEvent("busy", i));
        c->flush();
        c->maintainSessionFragmentsIgnoringError();
        // Once the upload is out, other work holds the queue until the kill.
        ASSERT_EQ(testsupport::ChildProcess::hear().value_or(""), "hold");
        c->sessionMaintenanceQueue().post([] {
            for (;;) ::pause();
        });
        testsupport::ChildProcess::report("held");
        for (;;) ::pause();
    }
    testsupport::LoopbackServer server;
    auto arrived = std::make_shared<std::promise<void>>();
    auto once = std::make_shared<std::atomic_flag>();
    auto arrival = arrived->get_future();
    std::promise<void> answer;  // destroyed before the server: a failed test does not keep it waiting
    server.setHandler([arrived, once, answered = answer.get_future().share()](const testsupport::RecordedRequest&) {
        if (!once->test_and_set()) arrived->set_value();
        answered.wait_for(30s);
        return slowReply(0);
    });
    core->set(tallytest::settingsWith(server.baseUrl() + "/events"));
    auto copy = startCopy("BUSY");
    ASSERT_EQ(arrival.wait_for(30s), std::future_status::ready) << copy->output();
    ASSERT_TRUE(copy->tell("hold"));
    ASSERT_TRUE(copy->readReports([](const std::string& r) { return r == "held\n"; }, 30s)) << copy->output();
    answer.set_value();
    EXPECT_TRUE(testsupport::waitUntil([&] { return filesUnder("PACKAGED").empty(); })) << "the accepted fragment waits for the queue";
    copy->kill();

    auto next = make("NEXT");
    maintain(*next);
    EXPECT_EQ(countKey(tallytest::uploadedLines(server), "custom"), 200);
}

TEST_F(ControllerTest, ShortRunsLeaveNoEmptySessionFolders) {
    testsupport::LoopbackServer server;
    server.setHandler([](const testsupport::RecordedRequest&) { return slowReply(100); });
    core->set(tallytest::settingsWith(server.baseUrl() + "/events"));
    for (int run = 0; run < 4; ++run) {
        auto c = make("RUN" + std::to_string(run));
        c->logCustomEvent(customEvent("short", run));
        c->flush();
        std::size_t before = server.requestCount();
        c->maintainSessionFragmentsIgnoringError();
        // Each run but the first has the previous run's fragment to send; it
        // goes away while that upload is answered.
        if (run > 0) {
            ASSERT_TRUE(server.waitForRequests(before + 1));
        }
    }
    std::vector<std::string> empty;
    std::error_code ec;
    for (fs::directory_iterator it(root + "/v1/ACTIVE", ec), end; !ec && it != end; it.increment(ec)) {
        bool holdsSomething = false;
        std::error_code inner;
        for (fs::directory_iterator f(it->path(), inner); !inner && f != fs::directory_iterator(); f.increment(inner))
            holdsSomething |= f->path().filename().string()[0] != '.';
        if (!holdsSomething) empty.push_back(it->path().filename().string());
    }
    EXPECT_TRUE(empty.empty()) << empty.size() << " empty, first " << empty.front();
    auto last = make("LAST");
    maintain(*last);
    maintain(*last);
    EXPECT_EQ(countKey(tallytest::uploadedLines(server), "custom"), 4);
}

TEST_F(ControllerTest, AnUnreachableAddressStopsThePassAndLaterPassesWait) {
    testsupport::LoopbackServer server;
    std::atomic<bool> reachable{false};
    server.setHandler([&](const testsupport::RecordedRequest&) { return slowReply(0, !reachable); });
    BBXEventLogSessionRepository repo(root);
    for (int i = 0; i < 3; ++i) {
        auto url = repo.eventLogFileURLForStateName("PACKAGED", "OLD", 1, "f" + std::to_string(i), 0, 2);
        std::ofstream(*url + ".zip") << "waiting";
    }
    core->set(tallytest::settingsWith(server.baseUrl() + "/events"));
    auto c = make();
    maintain(*c);
    EXPECT_EQ(server.requestCount(), 1u);  // the pass stopped at the first failure
    maintain(*c);
    EXPECT_EQ(server.requestCount(), 1u);  // the next pass waits
    clock->advance(29s);
    maintain(*c);
    EXPECT_EQ(server.requestCount(), 1u);
    clock->advance(1s);
    maintain(*c);
    EXPECT_EQ(server.requestCount(), 2u);
    // Failed again: the wait doubles.
    clock->advance(59s);
    maintain(*c);
    EXPECT_EQ(server.requestCount(), 2u);
    clock->advance(1s);
    reachable = true;
    maintain(*c);
    EXPECT_EQ(server.requestCount(), 5u);
    EXPECT_TRUE(filesUnder("PACKAGED").empty());

    // A success starts the wait over from its shortest.
    reachable = false;
    for (int i = 0; i < 2; ++i) {
        auto url = repo.eventLogFileURLForStateName("PACKAGED", "OLD", 1, "g" + std::to_string(i), 0, 2);
        std::ofstream(*url + ".zip") << "waiting";
    }
    maintain(*c);
    EXPECT_EQ(server.requestCount(), 6u);
    clock->advance(30s);
    reachable = true;
    maintain(*c);
    EXPECT_EQ(server.requestCount(), 8u);
    // A server that answers with an error is no transport failure: the pass goes on.
    for (int i = 0; i < 2; ++i) {
        auto url = repo.eventLogFileURLForStateName("PACKAGED", "OLD", 1, "h" + std::to_string(i), 0, 2);
        std::ofstream(*url + ".zip") << "refused";
    }
    server.enqueue({400, {{"Connection", "close"}}, "bad", 0, false});
    server.enqueue({400, {{"Connection", "close"}}, "bad", 0, false});
    maintain(*c);
    EXPECT_EQ(server.requestCount(), 10u);
}

TEST_F(ControllerTest, LowPriorityEventsReachTheirFileWithoutAFlushAndInOrder) {
    auto c = make();
    for (int i = 0; i < 500; ++i) c->logCustomEvent(customEvent("ordered", i));
    // Nobody flushes: the batch still goes to disk on its own, soon.
    std::vector<int> order;
    for (int attempt = 0; attempt < 500 && order.size() < 500; ++attempt) {
        if (attempt) std::this_thread::sleep_for(10ms);
        order.clear();
        for (const auto& line : tallytest::storedLines(root)) {
            if (line.key != "custom") continue;
            auto json = base::parseJson(*line.payload);
            order.push_back((*json)["custom_attributes"]["n"].get<int>());
        }
    }
    ASSERT_EQ(order.size(), 500u);
    for (int i = 0; i < 500; ++i) EXPECT_EQ(order[i], i);
}

TEST_F(ControllerTest, TheLastMaintenanceIsStoredAsADateAndAnOldNumberStillCounts) {
    const std::string key = BBXAnalyticsController::kLastMaintenanceDateKey;
    auto now = [&] { return static_cast<double>(timestamps->now.load()) / 1000.0; };
    {
        auto c = make();
        c->saveLastMaintenanceDate(now() - 45);
    }
    auto file = base::plistReadFile(defaults->filePath());
    ASSERT_TRUE(file);
    EXPECT_TRUE(base::plistIsDate((*file)[key])) << base::readFile(defaults->filePath()).value_or("");
    // The next run reads the date back from the file.
    defaults = std::make_unique<BBXUserDefaults>(home.path() + "/defaults");
    {
        auto c = make("NEXT");
        EXPECT_NEAR(c->initialMaintenanceTimeWithFlushInterval(60), 15, 1.0);
    }

    // The seconds as a plain number, as earlier builds wrote them.
    defaults->setObject(now() - 50, key);
    ASSERT_TRUE(defaults->synchronize());
    ASSERT_NE(base::readFile(defaults->filePath()).value_or("").find("<real>"), std::string::npos);
    defaults = std::make_unique<BBXUserDefaults>(home.path() + "/defaults");
    auto c = make("AFTER");
    EXPECT_NEAR(c->initialMaintenanceTimeWithFlushInterval(60), 10, 1.0);
    // A number that is no time at all counts as no maintenance yet.
    defaults->setObject(std::numeric_limits<double>::infinity(), key);
    EXPECT_NEAR(c->initialMaintenanceTimeWithFlushInterval(60), 60, 0.1);
    EXPECT_TRUE(base::plistIsDate(*defaults->objectForKey(key)));
}

TEST_F(ControllerTest, AStoredSessionStartNoIntegerHoldsMeansNoLastSession) {
    using Keys = BBXAnalyticsController;
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<Json> unusable = {Json(1e300), Json(inf), Json(-inf), Json(18446744073709551616.0),
                                        Json(-5), Json(-0.5e3), Json("1700000000000"), base::plistDate(1.7e9)};
    int run = 0;
    for (const auto& start : unusable) {
        defaults->setObject("PREVIOUS", Keys::kLastSessionIdentifierKey);
        defaults->setObject(start, Keys::kLastSessionTimestampKey);
        defaults->setObject(Json::binary({'{', '}'}), Keys::kLastSessionMetadataKey);
        auto c = make("RUN" + std::to_string(run++));
        ASSERT_TRUE(c);
        EXPECT_FALSE(c->lastSessionIdentifier()) << start.dump();
        EXPECT_EQ(c->lastSessionTimestamp(), 0u) << start.dump();
        c->logPreviousSessionCrashedOnDate(1700000123);
        c->flush();
        std::error_code ec;
        for (fs::directory_iterator it(root + "/v1/ACTIVE", ec), end; !ec && it != end; it.increment(ec))
            EXPECT_EQ(it->path().filename().string().find("_PREVIOUS"), std::string::npos) << start.dump();
    }
    // The largest start a double holds below 2^64, and a whole number, still count.
    for (const auto& [start, expected] : std::vector<std::pair<Json, std::uint64_t>>{
             {Json(18446744073709549568.0), 18446744073709549568ull}, {Json(1700000000123.0), 1700000000123ull}}) {
        defaults->setObject("PREVIOUS", Keys::kLastSessionIdentifierKey);
        defaults->setObject(start, Keys::kLastSessionTimestampKey);
        defaults->setObject(Json::binary({'{', '}'}), Keys::kLastSessionMetadataKey);
        auto c = make("RUN" + std::to_string(run++));
        EXPECT_EQ(c->lastSessionIdentifier(), "PREVIOUS");
        EXPECT_EQ(c->lastSessionTimestamp(), expected);
    }
}

TEST_F(ControllerTest, PruningKeepsTheNewestOfAPriority) {
    BBXEventLogSessionRepository repo(root);
    for (std::uint64_t t : {1700000000300ull, 1700000000100ull, 1700000000500ull, 1700000000200ull,
                            1700000000400ull}) {
        auto url = repo.eventLogFileURLForStateName("PACKAGED", "OLD", 1, "f", t, 2);
        std::ofstream(*url + ".zip") << "x";
    }
    auto c = make();
    core->set(tallytest::settingsWith("", {{"max_pending_send_file_count", 2}}));
    c->trellisSettingsDownloaded();
    c->flush();
    maintain(*c);
    std::vector<std::string> left;
    for (auto& f : filesUnder("PACKAGED")) left.push_back(fs::path(f).parent_path().filename().string());
    EXPECT_EQ(left, (std::vector<std::string>{"1700000000400_f", "1700000000500_f"}));
}

TEST_F(ControllerTest, UploadBackOffStopsGrowingAtFiveMinutes) {
    testsupport::LoopbackServer server;
    server.setHandler([](const testsupport::RecordedRequest&) { return slowReply(0, true); });
    BBXEventLogSessionRepository repo(root);
    auto url = repo.eventLogFileURLForStateName("PACKAGED", "OLD", 1, "f", 0, 2);
    std::ofstream(*url + ".zip") << "waiting";
    core->set(tallytest::settingsWith(server.baseUrl() + "/events"));
    auto c = make();
    maintain(*c);
    std::size_t sent = 1;
    ASSERT_EQ(server.requestCount(), sent);
    for (int wait : {30, 60, 120, 240, 300, 300, 300}) {
        clock->advance(std::chrono::seconds(wait - 1));
        maintain(*c);
        EXPECT_EQ(server.requestCount(), sent) << "sent before the " << wait << " s wait was over";
        clock->advance(1s);
        maintain(*c);
        EXPECT_EQ(server.requestCount(), ++sent) << "still waiting after " << wait << " s";
        sent = server.requestCount();
    }
}

TEST_F(ControllerTest, CleanUpLeavesAnotherCopysOpenEmptySessionAlone) {
    auto a = make("A");
    auto b = make("B");  // has written nothing yet: its open fragment is an empty folder
    const std::string bFragment = b->currentSessionFragmentDirectoryURL();
    ASSERT_TRUE(fs::is_directory(bFragment));
    core->set(tallytest::settingsWith("", {{"max_pending_send_file_count", 1}}));
    a->trellisSettingsDownloaded();
    a->flush();
    maintain(*a);
    ASSERT_TRUE(a->holdsMaintenanceLock());
    EXPECT_TRUE(fs::is_directory(bFragment)) << "another copy's open fragment is not ours to clean";

    // What B writes then stays where B writes it, through A's next maintenance.
    b->logCustomEvent(customEvent("from-b"));
    b->flush();
    maintain(*a);
    EXPECT_EQ(b->currentSessionFragmentDirectoryURL(), bFragment);
    auto lines = tallytest::parseLines(base::readFile(bFragment + "/2.log").value_or(""));
    EXPECT_EQ(countKey(lines, "custom"), 1);
    EXPECT_TRUE(filesUnder("PACKAGED").empty());
}
