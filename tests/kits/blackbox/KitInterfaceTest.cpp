// The kit's interface that the booth itself does not call: application
// information, activities (with a login manager on a private message bus),
// the desktop's opener, profiling, the class forms of the user-data setters,
// the beta check on coming to the front, and the reports controller's end.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <regex>
#include <sstream>
#include <thread>

#include <systemd/sd-bus.h>

#include "LogCapture.h"
#include "LoopbackServer.h"
#include "TempDir.h"
#include "TestContext.h"
#include "base/AppInfo.h"
#include "base/Plist.h"
#include "kits/blackbox/BBXApplication.h"
#include "kits/blackbox/BBXBetaController.h"
#include "kits/blackbox/BBXCrashReportingController.h"
#include "kits/blackbox/BBXException.h"
#include "kits/blackbox/BBXFileManager.h"
#include "kits/blackbox/BBXRecords.h"
#include "kits/blackbox/BBXReportsController.h"
#include "kits/blackbox/BBXSettings.h"
#include "kits/blackbox/BBXUserLogging.h"
#include "kits/blackbox/Blackbox.h"

namespace fs = std::filesystem;

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// Sets an environment variable for one scope.
struct ScopedEnv {
    std::string name;
    std::optional<std::string> old;
    ScopedEnv(std::string n, const std::string& value) : name(std::move(n)) {
        if (const char* v = ::getenv(name.c_str())) old = v;
        ::setenv(name.c_str(), value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (old) ::setenv(name.c_str(), old->c_str(), 1);
        else ::unsetenv(name.c_str());
    }
};

// ---- application information

struct ApplicationInfo : ::testing::Test {
    testsupport::TempDir dir;
    std::string previous = base::AppInfo::shared().resourcesDir();
    void use(const nlohmann::json& info) {
        std::ofstream(dir.file("Info.plist")) << base::plistToXml(info);
        base::AppInfo::shared().load(dir.path());
    }
    void TearDown() override { base::AppInfo::shared().load(previous); }
};

TEST_F(ApplicationInfo, IdentityComesFromTheInformationDictionary) {
    use({{"CFBundleIdentifier", "com.example/booth/two"}, {"CFBundleVersion", "412"},
         {"CFBundleShortVersionString", "2.3"}, {"CFBundleName", "Booth"}, {"CFBundleDisplayName", "Party Booth"}});
    EXPECT_EQ(BBXApplicationBundleIdentifierNamespace(), "com.example_booth_two");
    EXPECT_EQ(BBXApplicationBuildVersion(), "412");
    EXPECT_EQ(BBXApplicationDisplayVersion(), "2.3");
    EXPECT_EQ(BBXApplicationDisplayName(), "Party Booth");
    // The display name falls back to the name, then the build version.
    use({{"CFBundleVersion", "9"}, {"CFBundleName", "Booth"}});
    EXPECT_EQ(BBXApplicationDisplayName(), "Booth");
    EXPECT_EQ(BBXApplicationDisplayVersion(), std::nullopt);
    use({{"CFBundleVersion", "9"}});
    EXPECT_EQ(BBXApplicationDisplayName(), "9");
    use(nlohmann::json::object());
    EXPECT_EQ(BBXApplicationDisplayName(), std::nullopt);
    EXPECT_EQ(BBXApplicationBundleIdentifierNamespace(), "");
}

// The start-up check warns when the program's application does not let
// exceptions crash it, and says nothing without an application.
TEST(SharedApplication, IsWhatTheProgramRegisteredAndItsExceptionSettingIsChecked) {
    EXPECT_EQ(BBXApplicationSharedApplication(), nullptr);
    struct Application : BBXSharedApplication {
        bool on = false;
        bool crashOnExceptions() const override { return on; }
    } application;
    BBXApplicationSetSharedApplication(&application);
    EXPECT_EQ(BBXApplicationSharedApplication(), &application);
    const std::string warning =
        "[Blackbox:Crash] Warning: NSApplicationCrashOnExceptions is not set. This will result in poor top-level "
        "uncaught exception reporting.";
    testsupport::LogCapture log;
    BBXExceptionCheckHandlers();
    EXPECT_EQ(log.lines(warning, spdlog::level::warn).size(), 1u);
    application.on = true;
    BBXExceptionCheckHandlers();
    BBXApplicationSetSharedApplication(nullptr);
    EXPECT_EQ(BBXApplicationSharedApplication(), nullptr);
    application.on = false;
    BBXExceptionCheckHandlers();
    EXPECT_EQ(log.lines(warning).size(), 1u);
}

// ---- activities

TEST(Activity, WithoutASystemBusTheTokenKeepsOptionsAndReasonAndTheBlockRuns) {
    testsupport::TempDir dir;
    ScopedEnv bus("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + dir.file("no-bus"));
    auto token = BBXApplicationBeginActivity(0xC000, "Blackbox Crash Report Processing");
    ASSERT_TRUE(token);
    EXPECT_EQ(token->options, 0xC000u);
    EXPECT_EQ(token->reason, "Blackbox Crash Report Processing");
    EXPECT_EQ(token->inhibitor, -1);
    BBXApplicationEndActivity(std::move(token));
    BBXApplicationEndActivity(nullptr);

    int runs = 0;
    BBXApplicationActivity(0xC000, "work", [&] { ++runs; });
    EXPECT_EQ(runs, 1);
}

// A message bus of its own on a socket in a temporary folder.
struct PrivateBus {
    testsupport::TempDir dir;
    std::string socket = dir.file("bus");
    std::string address = "unix:path=" + socket;
    pid_t pid = -1;

    bool start() {
        const std::string config = dir.file("bus.conf");
        std::ofstream(config) << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN\"\n"
                                 " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                                 "<busconfig>\n  <listen>"
                              << address
                              << "</listen>\n  <auth>EXTERNAL</auth>\n"
                                 "  <policy context=\"default\">\n"
                                 "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                                 "    <allow eavesdrop=\"true\"/>\n    <allow own=\"*\"/>\n"
                                 "  </policy>\n</busconfig>\n";
        // Everything the child needs is made before the fork.
        const std::string log = dir.file("bus.log");
        const std::string option = "--config-file=" + config;
        pid = ::fork();
        if (pid == 0) {
            const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(out, 1);
            ::dup2(out, 2);
            ::execlp("dbus-daemon", "dbus-daemon", "--nofork", "--nopidfile", "--print-address", option.c_str(),
                     nullptr);
            ::_exit(127);
        }
        // The daemon prints its address once it is ready.
        for (int i = 0; i < 500; ++i) {
            if (slurp(log).find("unix:path=") != std::string::npos) return true;
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    ~PrivateBus() {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
    }
};

// Answers Inhibit the way the login manager does: a pipe's write end for the
// caller, whose closing (end of file on the read end kept here) releases it.
struct FakeLoginManager {
    sd_bus* bus = nullptr;
    sd_bus_slot* slot = nullptr;
    std::thread loop;
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::vector<std::array<std::string, 4>> calls;
    std::vector<int> held;

    static int inhibit(sd_bus_message* message, void* userdata, sd_bus_error*) {
        auto* self = static_cast<FakeLoginManager*>(userdata);
        const char *what, *who, *why, *mode;
        int r = sd_bus_message_read(message, "ssss", &what, &who, &why, &mode);
        if (r < 0) return r;
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) return -errno;
        {
            std::lock_guard lock(self->mutex);
            self->calls.push_back({what, who, why, mode});
            self->held.push_back(ends[0]);
        }
        r = sd_bus_reply_method_return(message, "h", ends[1]);
        ::close(ends[1]);
        return r;
    }

    bool start(const std::string& address) {
        static const sd_bus_vtable vtable[] = {
            SD_BUS_VTABLE_START(0),
            SD_BUS_METHOD("Inhibit", "ssss", "h", &FakeLoginManager::inhibit, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_VTABLE_END};
        if (sd_bus_new(&bus) < 0 || sd_bus_set_address(bus, address.c_str()) < 0 || sd_bus_set_bus_client(bus, 1) < 0 ||
            sd_bus_start(bus) < 0)
            return false;
        if (sd_bus_add_object_vtable(bus, &slot, "/org/freedesktop/login1", "org.freedesktop.login1.Manager", vtable,
                                     this) < 0 ||
            sd_bus_request_name(bus, "org.freedesktop.login1", 0) < 0)
            return false;
        loop = std::thread([this] {
            while (!stop) {
                if (sd_bus_process(bus, nullptr) > 0) continue;
                sd_bus_wait(bus, 20 * 1000);
            }
        });
        return true;
    }
    // Whether the caller has let go of the inhibitor (end of file here).
    bool released(std::size_t index, int waitMilliseconds) {
        int fd;
        {
            std::lock_guard lock(mutex);
            fd = held.at(index);
        }
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, waitMilliseconds) <= 0) return false;
        char c;
        return ::read(fd, &c, 1) == 0;
    }
    ~FakeLoginManager() {
        stop = true;
        if (loop.joinable()) loop.join();
        sd_bus_slot_unref(slot);
        sd_bus_flush_close_unref(bus);
        for (int fd : held) ::close(fd);
    }
};

TEST(Activity, HoldsTheLoginManagersDelayInhibitorWhileTheBlockRuns) {
    PrivateBus privateBus;
    ASSERT_TRUE(privateBus.start()) << "dbus-daemon did not start";
    ScopedEnv bus("DBUS_SYSTEM_BUS_ADDRESS", privateBus.address);

    // A bus without a login manager: the work goes on without one.
    auto token = BBXApplicationBeginActivity(0xC000, "first");
    EXPECT_EQ(token->inhibitor, -1);
    BBXApplicationEndActivity(std::move(token));

    FakeLoginManager manager;
    ASSERT_TRUE(manager.start(privateBus.address));
    bool heldDuringBlock = false;
    BBXApplicationActivity(0xC000, "Blackbox Crash Report Processing", [&] {
        std::lock_guard lock(manager.mutex);
        heldDuringBlock = manager.calls.size() == 1;
    });
    ASSERT_TRUE(heldDuringBlock);
    EXPECT_TRUE(manager.released(0, 5000));
    {
        std::lock_guard lock(manager.mutex);
        const auto& call = manager.calls[0];
        EXPECT_EQ(call[0], "shutdown:sleep");
        EXPECT_FALSE(call[1].empty());
        EXPECT_EQ(call[2], "Blackbox Crash Report Processing");
        EXPECT_EQ(call[3], "delay");
    }

    // Held until the token ends, and not handed to child processes.
    token = BBXApplicationBeginActivity(BBXActivitySuddenTerminationDisabled, "second");
    ASSERT_GE(token->inhibitor, 0);
    EXPECT_TRUE(::fcntl(token->inhibitor, F_GETFD) & FD_CLOEXEC);
    EXPECT_FALSE(manager.released(1, 50));
    BBXApplicationEndActivity(std::move(token));
    EXPECT_TRUE(manager.released(1, 5000));

    // Work that asks nothing of the system takes no inhibitor.
    BBXApplicationActivity(0, "plain", [] {});
    std::lock_guard lock(manager.mutex);
    EXPECT_EQ(manager.calls.size(), 2u);
}

// ---- the desktop's opener

struct Opener : ::testing::Test {
    testsupport::TempDir dir;
    std::string log = dir.file("opened");
    std::string release = dir.file("release");
    std::unique_ptr<ScopedEnv> path;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<bool> results;

    // An opener on PATH that records its arguments, waits until released
    // when told to, and ends with `status`.
    void install(int status, bool hold) {
        const std::string opener = dir.file("bin/xdg-open");
        fs::create_directories(dir.file("bin"));
        std::ofstream(opener) << "#!/bin/sh\n"
                              << "{ echo \"$#\"; for a in \"$@\"; do printf '%s\\n' \"$a\"; done; } > '" << log
                              << ".part' && mv '" << log << ".part' '" << log << "'\n"
                              << (hold ? "while [ ! -e '" + release + "' ]; do sleep 0.01; done\n" : "")
                              << "exit " << status << "\n";
        fs::permissions(opener, fs::perms::owner_all);
        path = std::make_unique<ScopedEnv>("PATH", dir.file("bin") + ":/usr/bin:/bin");
    }
    std::function<void(bool)> recorder() {
        return [this](bool opened) {
            std::lock_guard lock(mutex);
            results.push_back(opened);
            changed.notify_all();
        };
    }
    bool waitForResult() {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10), [&] { return !results.empty(); });
    }
};

TEST_F(Opener, TheAddressReachesTheOpenerAsOneArgumentWithoutAShell) {
    install(0, true);
    const std::string url = "https://example.com/a b?x=1&y=$(touch pwned);`id` 'q'";
    BBXApplicationOpenURL(url, nullptr, recorder());
    // The caller does not wait for the opener.
    {
        std::lock_guard lock(mutex);
        EXPECT_TRUE(results.empty());
    }
    std::ofstream(release).close();
    ASSERT_TRUE(waitForResult());
    EXPECT_TRUE(results[0]);
    EXPECT_EQ(slurp(log), "1\n" + url + "\n");
    EXPECT_FALSE(fs::exists("pwned"));
}

TEST_F(Opener, AFailingOrMissingOpenerOrAnAddressItWouldReadAsAnOptionAnswersNo) {
    install(4, false);
    BBXApplicationOpenURL("https://example.com/", nullptr, recorder());
    ASSERT_TRUE(waitForResult());
    EXPECT_TRUE(fs::exists(log));
    fs::remove(log);
    for (const std::string& url : std::vector<std::string>{"--help", "", std::string("https://a\0b", 11)})
        BBXApplicationOpenURL(url, nullptr, recorder());
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(10), [&] { return results.size() == 4; }));
    }
    // Only once all three are answered: an opener that had been started
    // would have written its log before it ended.
    EXPECT_FALSE(fs::exists(log));
    ScopedEnv empty("PATH", dir.file("nowhere"));
    BBXApplicationOpenURL("https://example.com/", nullptr, recorder());
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(10), [&] { return results.size() == 5; }));
    EXPECT_EQ(results, std::vector<bool>(5, false));
}

TEST_F(Opener, AnExtensionContextOpensTheAddressItself) {
    install(0, false);
    struct Context : BBXExtensionContext {
        std::vector<std::string> opened;
        void openURL(const std::string& url, std::function<void(bool)> completion) override {
            opened.push_back(url);
            completion(true);
        }
    } context;
    BBXApplicationOpenURL("https://example.com/x", &context, recorder());
    EXPECT_EQ(results, std::vector<bool>{true});
    EXPECT_EQ(context.opened, std::vector<std::string>{"https://example.com/x"});
    EXPECT_FALSE(fs::exists(log));
}

// ---- profiling

TEST(Profile, BlockRunsAndItsTimeIsPrintedToStandardError) {
    testsupport::TempDir dir;
    const std::string captured = dir.file("stderr");
    std::fflush(stderr);
    const int saved = ::dup(2);
    const int file = ::open(captured.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(file, 2);
    bool ran = false;
    BBXProfileBlock("load templates", [&] {
        ran = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    });
    std::fflush(stderr);
    ::dup2(saved, 2);
    ::close(saved);
    ::close(file);
    EXPECT_TRUE(ran);
    std::smatch match;
    const std::string text = slurp(captured);
    ASSERT_TRUE(std::regex_match(text, match, std::regex(R"(\[Profile\] load templates: (\d+\.\d{6}) ms\n)"))) << text;
    EXPECT_GE(std::stod(match[1]), 20.0);
}

// ---- user data through the class operations

std::string hex(const std::string& s) {
    std::string out(s.size() * 2 + 1, '\0');
    BBXBytesToHexString(s.data(), s.size(), out.data());
    out.pop_back();
    return out;
}

// The latest value of each key in a report's key/value store.
std::map<std::string, std::string> keyValues(const std::string& dir, const std::string& store) {
    std::map<std::string, std::string> values;
    for (const char* stage : {"_compacted_kv.bbxrecord", "_incremental_kv.bbxrecord"}) {
        std::ifstream in(dir + "/" + store + stage);
        for (std::string line; std::getline(in, line);) {
            auto j = nlohmann::json::parse(line, nullptr, false);
            if (!j.is_object() || !j.contains("kv")) continue;
            values[j["kv"]["key"].get<std::string>()] = j["kv"]["value"].is_string() ? j["kv"]["value"].get<std::string>() : "";
        }
    }
    return values;
}

TEST(UserData, ClassFormsRecordIntoTheCurrentReport) {
    const std::string& dir = blackboxtest::reportDir();
    Blackbox::setUserIdentifier(std::string("guest-7"));
    Blackbox::setUserName(std::string("Ada"));
    Blackbox::setUserEmail(std::string("ada@example.com"));
    Blackbox::setDevelopmentPlatformName(std::string("cmake"));
    Blackbox::setDevelopmentPlatformVersion(std::string("3.25"));
    Blackbox::setObjectValue(std::string("green"), "screen");
    Blackbox::setIntValue(42, "prints");
    Blackbox::setBoolValue(true, "online");
    Blackbox::setFloatValue(2.5, "ratio");
    BBXLoggingQueue().drain();

    auto internal = keyValues(dir, "internal");
    EXPECT_EQ(internal[hex("io.blackbox.user-id")], hex("guest-7"));
    EXPECT_EQ(internal[hex("io.blackbox.user-name")], hex("Ada"));
    EXPECT_EQ(internal[hex("io.blackbox.user-email")], hex("ada@example.com"));
    EXPECT_EQ(internal[hex("io.blackbox.development-platform-name")], hex("cmake"));
    EXPECT_EQ(internal[hex("io.blackbox.development-platform-version")], hex("3.25"));
    auto user = keyValues(dir, "user");
    EXPECT_EQ(user[hex("screen")], hex("green"));
    EXPECT_EQ(user[hex("prints")], hex("42"));
    EXPECT_EQ(user[hex("online")], hex("1"));
    EXPECT_EQ(user[hex("ratio")], hex("2.5"));
    EXPECT_EQ(user.count(hex("io.blackbox.user-id")), 0u);
}

// ---- the beta check on coming to the front

TEST(Beta, ComingToTheFrontChecksForAnUpdate) {
    testsupport::LoopbackServer server;
    server.enqueue(testsupport::Reply{200, {{"Content-Type", "application/json"}},
                                      R"({"url":"https://example.com/b.zip","version_string":"3"})"});
    ScopedEnv endpoint("BlackboxBetaEndpoint", server.baseUrl());
    struct Delegate : BBXBetaControllerDelegate {
        std::string APIKeyForBetaController(BBXBetaController&) override { return "key"; }
        std::shared_ptr<BBXSettings> settingsForBetaController(BBXBetaController&) override {
            return std::make_shared<BBXSettings>();
        }
    } delegate;
    BBXBetaController::Environment environment;
    environment.tokenSource = [] { return std::optional<std::string>("TOKEN"); };
    BBXBetaController beta(&delegate, environment);
    std::mutex m;
    std::condition_variable cv;
    int checks = 0;
    beta.setCompletionObserver([&](auto, auto) {
        std::lock_guard lock(m);
        ++checks;
        cv.notify_all();
    });
    beta.applicationWillEnterForeground();
    std::unique_lock lock(m);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return checks == 1; }));
    EXPECT_EQ(beta.betaUpdateURL(), "https://example.com/b.zip");
    ASSERT_EQ(server.requestCount(), 1u);
    EXPECT_NE(server.requests()[0].path.find("/beta_update_check"), std::string::npos);
}

// ---- the reports controller's end

TEST(ReportsController, IsDroppedOnTheWorkQueueOnceAllSubmissionsAreComplete) {
    testsupport::TempDir dir;
    BBXCrashReportingController controller(std::make_shared<BBXFileManager>(dir.file("root")), &Blackbox::sharedInstance());
    std::weak_ptr<BBXReportsController> first = controller.reportsController();
    EXPECT_EQ(controller.reportsController(), first.lock());
    // A caller that holds it while the drop runs keeps it whole until done.
    auto inUse = first.lock();
    controller.reportsControllerDidCompleteAllSubmissions(*inUse);
    controller.workQueue().drain();
    EXPECT_FALSE(first.expired());
    inUse.reset();
    EXPECT_TRUE(first.expired());
    EXPECT_TRUE(controller.reportsController());  // made again on the next use
}

}  // namespace
