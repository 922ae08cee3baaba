// The booth launched as the desktop launches it: one booth per user, and
// the desktop's quit signals take the orderly quit.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <QDir>
#include <QFile>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <linux/capability.h>
#include <map>
#include <sstream>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "TempDir.h"
#include "base/Files.h"
#include "base/Plist.h"
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
            if (::waitpid(pid, nullptr, WNOHANG) == 0) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, nullptr, 0);
            }
    }

    // Starts a booth whose output goes to `name` in the scratch folder.
    // `withoutFileOverrides` drops the powers that let root read any file,
    // so that a file nobody may read is unreadable to the booth too.
    pid_t launch(const std::string& name, bool withoutFileOverrides = false) {
        const std::string out = scratch.file(name);
        pid_t pid = ::fork();
        if (pid == 0) {
            int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            if (withoutFileOverrides) {
                ::prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0);
                ::prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0);
            }
            ::execl(TEST_BOOTH_PATH, TEST_BOOTH_PATH, nullptr);
            ::_exit(127);
        }
        pids.push_back(pid);
        return pid;
    }
    std::string output(const std::string& name) {
        std::ifstream in(scratch.file(name));
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    bool waitForOutput(const std::string& name, const std::string& text, int ms = 30000) {
        const auto end = Clock::now() + std::chrono::milliseconds(ms);
        while (Clock::now() < end) {
            if (output(name).find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    // The wait status, or -1 when the process is still running after `ms`.
    int waitForExit(pid_t pid, int ms = 15000) {
        const auto end = Clock::now() + std::chrono::milliseconds(ms);
        int status = 0;
        while (Clock::now() < end) {
            if (::waitpid(pid, &status, WNOHANG) == pid) return status;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return -1;
    }
    bool running(pid_t pid) { return ::waitpid(pid, nullptr, WNOHANG) == 0; }

    testsupport::ScopedHome home;
    testsupport::TempDir scratch;
    std::vector<pid_t> pids;
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
    ::kill(next, SIGTERM);
    EXPECT_NE(waitForExit(next), -1);
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
    const pid_t booth = launch("booth.log", kind == "unreadable");
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

}  // namespace
