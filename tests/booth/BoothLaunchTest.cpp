// The booth launched as the desktop launches it: one booth per user, and
// the desktop's quit signals take the orderly quit.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <QDir>
#include <QFile>
#include <QLockFile>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <chrono>
#include <cstring>
#include <map>
#include <optional>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <linux/capability.h>
#include <map>
#include <sstream>
#include <string>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "LoopbackServer.h"
#include "TempDir.h"
#include "base/Files.h"
#include "base/Plist.h"
#include "booth/SingleBooth.h"
#include "core/Database.h"
#include "core/UserDefaults.h"
#include "kits/trellis/TRLSettings.h"

namespace {

using Clock = std::chrono::steady_clock;

class BoothLaunchTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto& defaults = UserDefaults::standard();
        defaults.set("DATA_DIRECTORY", home.path() + "/data/");
        // Every outside service and the reachability check point at a
        // closed port of this machine.
        for (auto key : {"S3EndpointURL", "FlashwrenWebServiceURL", "GlimmerlyAPIURL", "GoogleAnalyticsURL",
                         "SendGridBaseURL", "TwilioBaseURL", "FlashwrenAdminURL", "ReachabilityURL"})
            defaults.set(key, "http://127.0.0.1:9");
        defaults.synchronize();  // the booths launched read the file
    }
    void TearDown() override {
        for (pid_t pid : pids)
            if (!reap(pid)) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, nullptr, 0);
            }
    }

    // Starts a booth whose output goes to `name` in the scratch folder, with
    // `extraEnvironment` ("NAME=value") added to this process's; -1 (and a
    // failure) when no process could be made. `withoutFileOverrides` drops
    // the powers that let root read any file, so that a file nobody may read
    // is unreadable to the booth too.
    pid_t launch(const std::string& name, const std::vector<std::string>& extraEnvironment = {},
                 bool withoutFileOverrides = false) {
        const std::string out = scratch.file(name);
        // Made before the fork: the child only execs. The booth's socket goes
        // into the scratch folder, not to be left in /tmp by a killed booth.
        std::vector<std::string> entries = extraEnvironment;
        entries.push_back("TMPDIR=" + scratch.path());
        for (char** e = environ; *e; ++e) entries.emplace_back(*e);
        std::vector<char*> envp;
        for (auto& entry : entries) envp.push_back(entry.data());
        envp.push_back(nullptr);
        char* argv[] = {const_cast<char*>(TEST_BOOTH_PATH), nullptr};
        static const char kExecFailed[] = "launch: exec failed\n";
        // Emptied here, before the booth runs: an earlier booth's lines in a
        // file of the same name are never taken for this one's.
        const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        pid_t pid = ::fork();
        if (pid == 0) {
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            if (withoutFileOverrides) {
                ::prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0);
                ::prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0);
            }
            ::execve(TEST_BOOTH_PATH, argv, envp.data());
            (void)!::write(2, kExecFailed, sizeof kExecFailed - 1);
            ::_exit(127);
        }
        ::close(fd);
        if (pid < 0) {
            ADD_FAILURE() << "no process for " << name << ": " << std::strerror(errno);
            return -1;
        }
        pids.push_back(pid);
        launched[name] = pid;
        return pid;
    }
    std::string output(const std::string& name) {
        std::ifstream in(scratch.file(name));
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    // False at the deadline, or as soon as the booth writing `name` has ended
    // without writing `text`.
    bool waitForOutput(const std::string& name, const std::string& text, int ms = 30000) {
        const auto end = Clock::now() + std::chrono::milliseconds(ms);
        const auto booth = launched.find(name);
        if (booth == launched.end()) return false;
        while (Clock::now() < end) {
            const bool ended = reap(booth->second).has_value();
            if (output(name).find(text) != std::string::npos) return true;
            if (ended) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    // The wait status, or -1 when the process is still running after `ms`.
    int waitForExit(pid_t pid, int ms = 15000) {
        const auto end = Clock::now() + std::chrono::milliseconds(ms);
        while (Clock::now() < end) {
            if (auto status = reap(pid)) return *status;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return -1;
    }
    bool running(pid_t pid) { return !reap(pid); }
    // The wait status of a booth that has ended, kept once collected.
    std::optional<int> reap(pid_t pid) {
        if (pid <= 0) return 0;
        if (auto it = statuses.find(pid); it != statuses.end()) return it->second;
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) != pid) return std::nullopt;
        statuses[pid] = status;
        return status;
    }

    testsupport::ScopedHome home;
    testsupport::TempDir scratch;
    std::vector<pid_t> pids;
    std::map<std::string, pid_t> launched;  // the last booth writing each output
    std::map<pid_t, int> statuses;
};

TEST_F(BoothLaunchTest, ASecondLaunchBringsTheFirstForwardAndExits) {
    const pid_t first = launch("first.log");
    ASSERT_TRUE(waitForOutput("first.log", "start-up done")) << output("first.log");

    const auto started = Clock::now();
    const pid_t second = launch("second.log");
    const int status = waitForExit(second, 10000);
    ASSERT_NE(status, -1) << "the second launch keeps running: " << output("second.log");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << output("second.log");
    EXPECT_LT(Clock::now() - started, std::chrono::seconds(5)) << "it goes at once";
    EXPECT_NE(output("second.log").find("already running"), std::string::npos) << output("second.log");
    EXPECT_EQ(output("second.log").find("start-up done"), std::string::npos) << "nothing of it started";

    EXPECT_TRUE(waitForOutput("first.log", "bringing its window forward", 5000)) << output("first.log");
    EXPECT_TRUE(running(first)) << output("first.log");

    // The first booth still owns its data and quits cleanly.
    ::kill(first, SIGTERM);
    const int firstStatus = waitForExit(first);
    EXPECT_TRUE(WIFEXITED(firstStatus) && WEXITSTATUS(firstStatus) == 0) << firstStatus << output("first.log");
}

TEST_F(BoothLaunchTest, ABoothThatDiedLeavesNoLockBehind) {
    const pid_t first = launch("first.log");
    ASSERT_TRUE(waitForOutput("first.log", "start-up done")) << output("first.log");
    ::kill(first, SIGKILL);
    ASSERT_NE(waitForExit(first), -1);

    const pid_t next = launch("next.log");
    EXPECT_TRUE(waitForOutput("next.log", "start-up done")) << output("next.log");
    // The dead booth's socket is gone with it: the next booth listens in
    // its place, and a later launch reaches it.
    const pid_t later = launch("later.log");
    const int status = waitForExit(later);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << output("later.log");
    EXPECT_TRUE(waitForOutput("next.log", "bringing its window forward", 5000)) << output("next.log");
    ::kill(next, SIGTERM);
    EXPECT_NE(waitForExit(next), -1);
}

// What a booth killed outright leaves behind (its socket, and a lock file
// that a power cut may have cut short or that another machine wrote) never
// keeps the next launch from starting, nor the launch after that from
// bringing the running booth forward.
TEST_F(BoothLaunchTest, WhatAKilledBoothLeavesBehindNeverBlocksTheNextLaunch) {
    const std::string lock = SingleBooth::defaultFolder().toStdString() + "/flashwren.lock";
    struct Leftover {
        std::string what, content;
        std::chrono::hours age;
    };
    const std::vector<Leftover> leftovers = {
        {"cut short", "", std::chrono::hours(1)},
        // Killed between making its lock file and writing it: nothing names
        // its process, and the file is not old.
        {"cut short just now", "", std::chrono::hours(0)},
        {"written on another machine", "4242\ntest_booth_app\nelsewhere\n0123456789abcdef0123456789abcdef\nx\n",
         std::chrono::hours(1)}};
    for (const auto& [what, content, age] : leftovers) {
        SCOPED_TRACE(what);
        const pid_t killed = launch("killed.log");
        ASSERT_TRUE(waitForOutput("killed.log", "start-up done")) << output("killed.log");
        ::kill(killed, SIGKILL);
        ASSERT_NE(waitForExit(killed), -1);
        std::ofstream(lock, std::ios::trunc) << content;
        std::filesystem::last_write_time(lock, std::filesystem::file_time_type::clock::now() - age);

        const pid_t next = launch("next.log");
        ASSERT_TRUE(waitForOutput("next.log", "start-up done")) << output("next.log");
        EXPECT_EQ(output("next.log").find("brought its window forward"), std::string::npos) << output("next.log");
        const pid_t later = launch("later.log");
        const int status = waitForExit(later);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << output("later.log");
        EXPECT_NE(output("later.log").find("already running"), std::string::npos) << output("later.log");
        EXPECT_TRUE(waitForOutput("next.log", "bringing its window forward", 5000)) << output("next.log");
        ::kill(next, SIGTERM);
        EXPECT_NE(waitForExit(next), -1) << output("next.log");
    }
}

// A lock held by a live process that no booth answers for: the launch does
// not start a second booth on the same data, and says so instead of
// claiming it brought a window forward. A booth holds its lock from the
// moment it makes the file, a moment before it names itself in it: the
// empty file of a booth caught in between is held all the same.
TEST_F(BoothLaunchTest, ALockThatNoBoothAnswersForIsNeverCalledABoothBroughtForward) {
    const QString folder = SingleBooth::defaultFolder();
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString path = folder + "/flashwren.lock";
    for (const bool written : {true, false}) {
        SCOPED_TRACE(written ? "written" : "made and held, not yet written");
        std::optional<QLockFile> held;
        int made = -1;
        if (written) {
            held.emplace(path);
            ASSERT_TRUE(held->tryLock(0));
        } else {
            made = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            ASSERT_GE(made, 0) << std::strerror(errno);
            ASSERT_EQ(::flock(made, LOCK_EX | LOCK_NB), 0) << std::strerror(errno);
        }
        const pid_t booth = launch("booth.log");
        ASSERT_FALSE(waitForOutput("booth.log", "start-up done")) << "a second booth runs on the same data";
        const int status = waitForExit(booth, 30000);
        ASSERT_NE(status, -1) << output("booth.log");
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status << output("booth.log");
        EXPECT_NE(output("booth.log").find("no booth answers"), std::string::npos) << output("booth.log");
        EXPECT_EQ(output("booth.log").find("brought its window forward"), std::string::npos) << output("booth.log");
        EXPECT_TRUE(QFile::exists(path)) << "the holder's lock was removed";
        if (made >= 0) {
            ::unlink(QFile::encodeName(path).constData());
            ::close(made);
        }
    }
}

// A booth whose interface thread is stuck (stopped here, as a hung one would
// be) still has the system take the connection and the request for it: a
// later launch counts only the booth's own answer, so it says that no booth
// answers and starts nothing.
TEST_F(BoothLaunchTest, AStoppedBoothIsNeverCalledBroughtForward) {
    const pid_t first = launch("first.log");
    ASSERT_TRUE(waitForOutput("first.log", "start-up done")) << output("first.log");
    ASSERT_EQ(::kill(first, SIGSTOP), 0);
    struct Resume {
        pid_t pid;
        ~Resume() { ::kill(pid, SIGCONT); }
    } resume{first};
    // The booth is this test's child: its stop is reported to the wait.
    int stopped = 0;
    while (::waitpid(first, &stopped, WUNTRACED) < 0 && errno == EINTR) {
    }
    ASSERT_TRUE(WIFSTOPPED(stopped)) << "the booth never stopped: " << stopped << output("first.log");

    const pid_t second = launch("second.log");
    const int status = waitForExit(second, 30000);
    ::kill(first, SIGCONT);
    ASSERT_NE(status, -1) << "the second launch keeps running: " << output("second.log");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status << output("second.log");
    EXPECT_NE(output("second.log").find("no booth answers"), std::string::npos) << output("second.log");
    EXPECT_EQ(output("second.log").find("brought its window forward"), std::string::npos) << output("second.log");
    EXPECT_EQ(output("second.log").find("start-up done"), std::string::npos) << "nothing of it started";

    // Going again, the first booth is still the booth, and quits cleanly.
    EXPECT_TRUE(running(first)) << output("first.log");
    ::kill(first, SIGTERM);
    const int firstStatus = waitForExit(first);
    EXPECT_TRUE(WIFEXITED(firstStatus) && WEXITSTATUS(firstStatus) == 0) << firstStatus << output("first.log");
}

TEST_F(BoothLaunchTest, TheKitsTakeTheInstallationIdentifierOverFromTheBoothsSettings) {
    // Kept among the booth's settings by an older crash kit.
    const std::string installation = "7D1C0F2A-5B3E-4C6D-8E9F-0A1B2C3D4E5F";
    auto& defaults = UserDefaults::standard();
    defaults.set("io.blackbox.iuuid", installation);
    ASSERT_TRUE(defaults.synchronize());
    const pid_t booth = launch("booth.log");
    ASSERT_TRUE(waitForOutput("booth.log", "start-up done")) << output("booth.log");

    auto kits = base::plistReadFile(base::dataHome() + "/com.blackbox/BBXUserDefaults.plist");
    ASSERT_TRUE(kits) << "the kits wrote no store of their own";
    EXPECT_EQ(kits->value("io.blackbox.iuuid", ""), installation);
    auto booths = base::plistReadFile(defaults.path());
    ASSERT_TRUE(booths);
    EXPECT_FALSE(booths->contains("io.blackbox.iuuid")) << "moved, not copied";
    EXPECT_EQ(booths->value("DATA_DIRECTORY", ""), home.path() + "/data/") << "the booth's own settings stay";

    ::kill(booth, SIGTERM);
    EXPECT_NE(waitForExit(booth), -1) << output("booth.log");
    // The log is open before the kits start: their threads never log while
    // the booth swaps its logger, and its file opens with the booth's version.
    std::string log;
    for (auto& e : std::filesystem::directory_iterator(base::dataHome() + "/Flashwren/Logs"))
        log += *base::readFile(e.path());
    const auto starting = log.find("AppController: Flashwren"), kit = log.find("[Blackbox] Version");
    ASSERT_NE(kit, std::string::npos) << log;
    EXPECT_LT(starting, kit) << log;
}

// The operator moves the data folder while a named pipe sits among the old
// templates: the change completes, and the desktop's quit signal still ends
// the booth.
TEST_F(BoothLaunchTest, ChangingTheDataFolderPastANamedPipeCompletesAndQuitStillWorks) {
    namespace fs = std::filesystem;
    const std::string pipe = home.path() + "/data/templates/pipe";
    fs::create_directories(fs::path(pipe).parent_path());
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    testsupport::TempDir chosen;
    const pid_t booth = launch("booth.log", {"TEST_BOOTH_OPEN=,:WRENPreferencesWindow",
                                             "TEST_BOOTH_CHOOSE_FOLDER=" + chosen.path()});
    EXPECT_TRUE(waitForOutput("booth.log", "TestBooth: the data folder is changed", 60000)) << output("booth.log");
    EXPECT_TRUE(waitForOutput("booth.log", "the data folder is now", 60000)) << output("booth.log");
    ::kill(booth, SIGTERM);
    const int status = waitForExit(booth);
    ASSERT_NE(status, -1) << "it ignores the quit signal: " << output("booth.log");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << output("booth.log");
    EXPECT_TRUE(fs::is_directory(chosen.file("templates/Postcard"))) << "the templates came along";
    EXPECT_FALSE(fs::exists(fs::symlink_status(chosen.file("templates/pipe"))));
    EXPECT_NE(output("booth.log").find(pipe + " was not copied because it is a named pipe"), std::string::npos)
        << output("booth.log");
}

class BoothHostileSettingsTest : public BoothLaunchTest, public ::testing::WithParamInterface<const char*> {};

// The booth's settings file, the desktop's folder list and the kits' stores,
// each replaced by what no reader may trust: the booth starts with its kits,
// its log saying in words why its settings were set aside.
TEST_P(BoothHostileSettingsTest, TheBoothSetsItAsideAndStarts) {
    namespace fs = std::filesystem;
    const std::string kind = GetParam();
    // On defaults the services' addresses come from Info.plist: one that
    // keeps them on loopback.
    testsupport::TempDir resources;
    const fs::path shipped = FLASHWREN_SOURCE_DIR "/resources";
    for (auto& e : fs::directory_iterator(shipped)) fs::create_symlink(e.path(), resources.file(e.path().filename()));
    auto info = base::plistReadFile(shipped / "Info.plist");
    for (auto& [key, value] : (*info)["FlashwrenServices"].items())
        if (value.get<std::string>().starts_with("http")) value = "http://127.0.0.1:9";
    fs::remove(resources.file("Info.plist"));
    ASSERT_TRUE(base::writeFileAtomically(resources.file("Info.plist"), base::plistToXml(*info)));

    const std::string kits = base::dataHome() + "/com.blackbox/BBXUserDefaults.plist";
    for (const std::string& path : {UserDefaults::standard().path(), base::configHome() + "/user-dirs.dirs", kits,
                                    *TRLSettingsOnboardingManager::settingsDirectoryPath() + "/settings.json"}) {
        fs::remove_all(path);
        fs::create_directories(kind == "folder" ? path : fs::path(path).parent_path().string());
        if (kind == "pipe") ::mkfifo(path.c_str(), 0600);
        if (kind == "device") fs::create_symlink("/dev/zero", path);
        if (kind == "unreadable" || kind == "huge") std::ofstream(path) << "<plist><dict/></plist>";
        if (kind == "unreadable") fs::permissions(path, fs::perms::none);
        if (kind == "huge") (void)::truncate(path.c_str(), off_t{1} << 30);  // sparse: no disk used
    }
    ::setenv("FLASHWREN_RESOURCES", resources.path().c_str(), 1);
    const pid_t booth = launch("booth.log", {}, kind == "unreadable");
    ::unsetenv("FLASHWREN_RESOURCES");
    ASSERT_TRUE(waitForOutput("booth.log", "start-up done", 60000)) << output("booth.log");
    ::kill(booth, SIGTERM);
    EXPECT_NE(waitForExit(booth), -1) << output("booth.log");
    // Said before the log file opened, and found in it.
    std::string log;
    for (auto& e : fs::directory_iterator(base::dataHome() + "/Flashwren/Logs")) log += *base::readFile(e.path());
    const std::map<std::string, std::string> why = {
        {"pipe", "it is a named pipe"}, {"device", "it is a character device"}, {"folder", "it is a folder"},
        {"unreadable", "it cannot be opened: Permission denied"}, {"huge", "it is larger than"}};
    EXPECT_NE(log.find("was set aside as " + UserDefaults::standard().path() + ".corrupt-"), std::string::npos) << log;
    EXPECT_NE(log.find("because " + why.at(kind)), std::string::npos) << log;
    auto store = base::plistReadFile(kits);
    EXPECT_TRUE(store && store->is_object()) << "the kits wrote their store afresh";
}

INSTANTIATE_TEST_SUITE_P(Files, BoothHostileSettingsTest,
                         ::testing::Values("pipe", "device", "folder", "unreadable", "huge"),
                         [](const auto& info) { return std::string(info.param); });

// What the booth opens first (its day's log file, its lock file and the
// lock's companion that a stale lock is removed under, its database, the
// folder that holds them), each replaced by something that is not what it
// should be: the booth sets it aside, says why, starts, and quits on the
// desktop's quit signal. A launch that meets no running booth never says it
// brought one forward.
class BoothHostileStartFileTest : public BoothLaunchTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(BoothHostileStartFileTest, TheBoothSetsItAsideSaysWhyAndStarts) {
    namespace fs = std::filesystem;
    const std::string kind = GetParam();
    const std::string what = kind.substr(0, kind.find('-'));
    const std::string folder = SingleBooth::defaultFolder().toStdString();
    std::vector<std::string> paths;
    if (what == "log") {
        // Today's file, and tomorrow's for a test that runs over midnight.
        for (int day = 0; day < 2; ++day) {
            const std::time_t when = std::time(nullptr) + day * 24 * 3600;
            std::tm local{};
            ::localtime_r(&when, &local);
            char name[64];
            std::strftime(name, sizeof name, "flashwren_%Y-%m-%d.log", &local);
            paths.push_back(folder + "/Logs/" + name);
        }
    }
    if (what == "lock") paths.push_back(folder + "/flashwren.lock");
    if (what == "rmlock") {
        paths.push_back(folder + "/flashwren.lock.rmlock");
        // Only a lock that looks stale is removed under its companion.
        fs::create_directories(folder);
        std::ofstream(folder + "/flashwren.lock").flush();
        fs::last_write_time(folder + "/flashwren.lock", fs::file_time_type::clock::now() - std::chrono::hours(1));
    }
    if (what == "database") paths.push_back(WrenDatabase::defaultPath());
    if (what == "datafolder") paths.push_back(folder);
    if (what == "logs") paths.push_back(folder + "/Logs");
    for (const auto& path : paths) {
        fs::create_directories(fs::path(path).parent_path());
        if (kind.ends_with("-file")) std::ofstream(path) << "not a folder";
        if (kind.ends_with("pipe")) {
            ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0) << std::strerror(errno);
        }
        if (kind.ends_with("device")) fs::create_symlink("/dev/zero", path);
        if (kind.ends_with("loop")) fs::create_symlink(fs::path(path).filename(), path);
        if (kind.ends_with("folder")) {
            fs::create_directories(path);
            fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::hours(2));
        }
        if (kind.ends_with("unreadable")) {
            std::ofstream(path) << std::string(4096, 'x');
            fs::permissions(path, fs::perms::none);
        }
    }
    const pid_t booth = launch("booth.log", {}, kind.ends_with("unreadable"));
    ASSERT_TRUE(waitForOutput("booth.log", "start-up done", 60000)) << output("booth.log");
    if (what == "datafolder") {
        EXPECT_TRUE(fs::is_directory(paths[0])) << "made anew";
        EXPECT_TRUE(fs::is_regular_file(folder + "/flashwren.lock"));
        EXPECT_TRUE(fs::is_regular_file(WrenDatabase::defaultPath()));
    } else if (what == "logs") {
        EXPECT_TRUE(fs::is_directory(paths[0])) << "made anew";
        EXPECT_FALSE(fs::is_empty(paths[0])) << "nothing was logged";
    } else if (what == "rmlock") {
        EXPECT_FALSE(fs::is_fifo(fs::symlink_status(paths[0])));
        EXPECT_TRUE(fs::is_regular_file(folder + "/flashwren.lock"));
    } else {
        EXPECT_TRUE(fs::is_regular_file(paths[0])) << "made anew";
    }
    ::kill(booth, SIGTERM);
    const int status = waitForExit(booth);
    ASSERT_NE(status, -1) << "it ignores the quit signal: " << output("booth.log");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << output("booth.log");

    const std::string log = output("booth.log");
    const std::map<std::string, std::string> why = {
        {"pipe", "it is a named pipe"},
        {"device", "character device"},
        {"folder", "it is a folder"},
        {"loop", kind == "database-loop" ? "Too many levels of symbolic links" : "loop of symbolic links"},
        {"unreadable", "Permission denied"},
        {"file", "it is a file, not a folder"}};
    EXPECT_NE(log.find(why.at(kind.substr(kind.find('-') + 1))), std::string::npos) << log;
    EXPECT_NE(log.find(paths[0]), std::string::npos) << log;
    EXPECT_NE(log.find("set aside as " + paths[0] + ".corrupt-"), std::string::npos) << log;
    EXPECT_EQ(log.find("brought its window forward"), std::string::npos) << log;
    if (what == "database" || what == "datafolder") {
        EXPECT_EQ(log.find("Unable to open the database"), std::string::npos) << log;
    }
}

INSTANTIATE_TEST_SUITE_P(Files, BoothHostileStartFileTest,
                         ::testing::Values("log-pipe", "lock-pipe", "lock-device", "lock-folder", "lock-loop",
                                           "rmlock-pipe", "database-loop", "database-unreadable", "datafolder-file",
                                           "logs-file"),
                         [](const auto& info) {
                             std::string name = info.param;
                             name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
                             return name;
                         });

class BoothQuitSignalTest : public BoothLaunchTest, public ::testing::WithParamInterface<int> {};

TEST_P(BoothQuitSignalTest, TheDesktopsQuitSignalsTakeTheOrderlyQuit) {
    const pid_t booth = launch("booth.log");
    ASSERT_TRUE(waitForOutput("booth.log", "start-up done")) << output("booth.log");
    // A session's working copy left in "incoming".
    const QString incoming = QString::fromStdString(home.path() + "/data/incoming");
    QFile photo(incoming + "/photo.jpg");
    ASSERT_TRUE(photo.open(QIODevice::WriteOnly));
    photo.write("jpeg");
    photo.close();

    ::kill(booth, GetParam());
    const int status = waitForExit(booth);
    ASSERT_NE(status, -1) << output("booth.log");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << output("booth.log");
    const std::string log = output("booth.log");
    EXPECT_NE(log.find("AppController: quitting"), std::string::npos) << log;
    EXPECT_TRUE(QDir(incoming).isEmpty()) << "quitting empties incoming";
}

INSTANTIATE_TEST_SUITE_P(Signals, BoothQuitSignalTest, ::testing::Values(SIGTERM, SIGINT, SIGHUP));

// Whatever window is open, the desktop's quit signal or Ctrl+Q in that
// window ends the booth cleanly.
struct OpenWindow {
    const char* open;  // how it opens and its name, as the test booth takes them
    bool quitKey;      // Ctrl+Q in the window, else SIGTERM
};
void PrintTo(const OpenWindow& w, std::ostream* out) { *out << w.open << (w.quitKey ? "+CtrlQ" : "+SIGTERM"); }

class BoothQuitWithWindowTest : public BoothLaunchTest, public ::testing::WithParamInterface<OpenWindow> {};

TEST_P(BoothQuitWithWindowTest, QuitEndsTheBoothWithTheWindowOpen) {
    // The log-in pages, and what the reachability watch connects to.
    testsupport::LoopbackServer peer;
    peer.setHandler([](const testsupport::RecordedRequest& request) {
        if (request.path == "/oauth/request_token")
            return testsupport::Reply{200, {}, "oauth_token=T&oauth_token_secret=S&oauth_callback_confirmed=true"};
        return testsupport::Reply{200, {{"Content-Type", "text/html"}}, "<html><body>Log in</body></html>"};
    });
    auto& defaults = UserDefaults::standard();
    for (auto key : {"ReachabilityURL", "FacebookGraphURL", "FacebookWebURL", "TwitterAPIURL"})
        defaults.set(key, peer.baseUrl() + "/");
    for (auto key : {"TWILIO_ACCOUNT_SID", "TWILIO_AUTH_TOKEN", "FROM_TWILIO_NUMBER", "TWILIO_COUNTRY_CODE"})
        defaults.set(key, "49");
    ASSERT_TRUE(defaults.synchronize());

    const auto [open, quitKey] = GetParam();
    std::vector<std::string> environment = {std::string("TEST_BOOTH_OPEN=") + open, "QTWEBENGINE_DISABLE_SANDBOX=1",
                                            "QTWEBENGINE_CHROMIUM_FLAGS=--disable-gpu --no-sandbox"};
    if (quitKey) environment.push_back("TEST_BOOTH_QUIT_KEY=1");
    const pid_t booth = launch("booth.log", environment);
    const std::string window = std::string(open).substr(std::string(open).find(':') + 1);
    ASSERT_TRUE(waitForOutput("booth.log", "TestBooth: " + window + " is open")) << output("booth.log");
    if (!quitKey) ::kill(booth, SIGTERM);
    const int status = waitForExit(booth);
    ASSERT_NE(status, -1) << "the booth hangs at quit: " << output("booth.log");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << output("booth.log");
    EXPECT_NE(output("booth.log").find("AppController: quitting"), std::string::npos) << output("booth.log");
}

INSTANTIATE_TEST_SUITE_P(
    Windows, BoothQuitWithWindowTest,
    ::testing::Values(OpenWindow{"Email:ShareViaEmailWindow", false}, OpenWindow{"SMS:ShareViaSMSWindow", true},
                      OpenWindow{"Facebook:FacebookLoginWindow", false}, OpenWindow{"Facebook:FacebookLoginWindow", true},
                      OpenWindow{"Twitter:TwitterLoginWindow", false}, OpenWindow{"Twitter:TwitterLoginWindow", true},
                      OpenWindow{",:WRENPreferencesWindow", true}, OpenWindow{"G:GreenScreenWindow", false}),
    [](const auto& info) {
        const std::string open = info.param.open;
        return open.substr(open.find(':') + 1) + (info.param.quitKey ? "CtrlQ" : "Signal");
    });

}  // namespace
