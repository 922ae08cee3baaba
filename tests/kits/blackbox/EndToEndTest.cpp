// A program built with the kit crashes, is launched again against loopback
// settings and report endpoints, and delivers each crash exactly once.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <regex>

#include "LoopbackServer.h"
#include "TempDir.h"
#include "Wait.h"
#include "base/Plist.h"
#include "kits/blackbox/BBXFileManager.h"
#include "kits/blackbox/BBXInternalReport.h"
#include "kits/blackbox/BBXReportsController.h"

using testsupport::LoopbackServer;
using testsupport::Reply;

namespace {

struct Launched {
    int status = -1;
    bool signalled() const { return WIFSIGNALED(status); }
    bool exitedCleanly() const { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }
};

Launched launch(const std::string& mode) {
    Launched result;
    pid_t pid = ::fork();
    if (pid == 0) {
        ::execl(BLACKBOX_KIT_PROGRAM_PATH, BLACKBOX_KIT_PROGRAM_PATH, mode.c_str(), nullptr);
        ::_exit(127);
    }
    // A program that hangs is ended and counts as neither crashed nor clean.
    result.status = testsupport::waitForExitOrKill(pid, std::chrono::minutes(2)).value_or(-1);
    return result;
}

std::string run(const std::string& command) {
    std::string out;
    FILE* p = ::popen(command.c_str(), "r");
    char buffer[4096];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, p)) out.append(buffer, n);
    ::pclose(p);
    return out;
}

struct EndToEndSetup {
    testsupport::ScopedHome home;
    testsupport::TempDir resources;
    LoopbackServer server;

    void SetUp() {
        std::ofstream(resources.file("Info.plist"))
            << base::plistToXml({{"CFBundleIdentifier", "com.example.kitprogram"},
                                 {"CFBundleName", "KitProgram"},
                                 {"CFBundleVersion", "7"},
                                 {"CFBundleShortVersionString", "1.2"}});
        server.setHandler([](const testsupport::RecordedRequest& r) {
            if (r.path.ends_with("/reports")) return Reply{202, {}, ""};
            return Reply{404, {}, ""};
        });
        ::setenv("FLASHWREN_RESOURCES", resources.path().c_str(), 1);
        for (const char* key : {"SettingsEndpoint", "ConfigureEndpoint", "BlackboxReportsEndpoint", "BlackboxBetaEndpoint"})
            ::setenv(key, server.baseUrl().c_str(), 1);
    }
    void TearDown() {
        server.stop();
        for (const char* key :
             {"FLASHWREN_RESOURCES", "SettingsEndpoint", "ConfigureEndpoint", "BlackboxReportsEndpoint", "BlackboxBetaEndpoint"})
            ::unsetenv(key);
    }
    std::vector<testsupport::RecordedRequest> uploads() {
        std::vector<testsupport::RecordedRequest> out;
        for (auto& r : server.requests())
            if (r.path.ends_with("/reports")) out.push_back(r);
        return out;
    }
};

struct EndToEnd : EndToEndSetup, ::testing::TestWithParam<const char*> {
    void SetUp() override { EndToEndSetup::SetUp(); }
    void TearDown() override { EndToEndSetup::TearDown(); }
};

TEST_P(EndToEnd, EachCrashArrivesOnceAndNothingIsSentTwice) {
    ASSERT_TRUE(launch(GetParam()).signalled());
    EXPECT_TRUE(uploads().empty());

    ASSERT_TRUE(launch("run").exitedCleanly());
    auto sent = uploads();
    ASSERT_EQ(sent.size(), 1u);
    const std::string body = resources.file("body.bin");
    std::ofstream(body, std::ios::binary) << sent[0].body;
    const std::string script = std::string(FLASHWREN_SOURCE_DIR) + "/tests/kits/blackbox/read_multipart.py";
    auto parsed = nlohmann::json::parse(
        run("python3 '" + script + "' '" + sent[0].header("Content-Type").value_or("") + "' '" + body + "'"), nullptr,
        false);
    ASSERT_TRUE(parsed.is_object() && parsed.contains("parts")) << parsed.dump();
    std::set<std::string> names;
    for (auto& part : parsed["parts"]) {
        EXPECT_FALSE(part.contains("error")) << part.dump();
        names.insert(part["name"].get<std::string>());
    }
    EXPECT_TRUE(names.count("report_id"));
    EXPECT_TRUE(names.count("metadata"));
    EXPECT_TRUE(names.count("signal") || names.count("exception")) << parsed.dump();
    EXPECT_EQ(sent[0].header("Content-Length"), std::to_string(sent[0].body.size()));

    // A third launch finds nothing to send.
    ASSERT_TRUE(launch("run").exitedCleanly());
    EXPECT_EQ(uploads().size(), 1u);
}

// The report folders below the kit's root ("v3/<stage>").
std::filesystem::path stage(const std::string& home, const char* name) {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(home + "/.cache/io.blackbox.data"))
        if (entry.is_directory() && entry.path().filename() == "v3") return entry.path() / name;
    return {};
}

std::size_t entries(const std::filesystem::path& directory) {
    std::error_code ec;
    std::size_t n = 0;
    for (auto it = std::filesystem::directory_iterator(directory, ec); !ec && it != std::filesystem::directory_iterator();
         it.increment(ec))
        ++n;
    return n;
}

// A crash during launch is urgent: the next launch sends it and waits for the
// server's answer before its start returns, so it is delivered even when that
// launch crashes again at once, and nothing the program does after its start
// comes before it.
TEST(EndToEndLaunch, ACrashDuringLaunchIsDeliveredBeforeTheNextStartReturns) {
    using Clock = std::chrono::steady_clock;
    constexpr int kAnswerDelayMs = 300;
    // Written by the server's threads: they outlive the server, which an
    // early return leaves running until `setup` goes.
    std::mutex mutex;
    std::vector<std::pair<std::string, Clock::time_point>> arrivals;
    EndToEndSetup setup;
    setup.SetUp();
    setup.server.setHandler([&](const testsupport::RecordedRequest& r) {
        {
            std::lock_guard lock(mutex);
            arrivals.emplace_back(r.path, Clock::now());
        }
        if (r.path.ends_with("/reports")) return Reply{202, {}, "", kAnswerDelayMs};
        return Reply{404, {}, ""};
    });
    ASSERT_TRUE(launch("launchsegv").signalled());
    ASSERT_TRUE(setup.uploads().empty());
    ASSERT_TRUE(launch("launchsegv").signalled());
    EXPECT_EQ(setup.uploads().size(), 1u);
    EXPECT_EQ(entries(stage(setup.home.path(), "prepared")), 0u) << "the first crash's package is still waiting";

    ASSERT_TRUE(launch("run").exitedCleanly());
    EXPECT_EQ(setup.uploads().size(), 2u);
    std::optional<Clock::time_point> posted, started;
    {
        std::lock_guard lock(mutex);
        for (const auto& [path, at] : arrivals) {
            if (path.ends_with("/reports")) posted = at;
            if (path.ends_with("/started")) started = at;
        }
    }
    ASSERT_TRUE(posted && started);
    EXPECT_GE(*started - *posted, std::chrono::milliseconds(kAnswerDelayMs));
    setup.TearDown();
}

// Two copies of the program started at once, with earlier reports waiting
// as a run killed at each step of packaging leaves them: moved into
// "processing"; half packaged (partial compressed files, a hidden partial
// package); packaged with the folder not yet removed; packaged alone. Round
// after round, each copy starts reporting and each report is sent once.
TEST(EndToEndCopies, TwoCopiesStartedTogetherSendEachEarlierReportOnce) {
    // Three real crash reports, made once and set aside.
    testsupport::TempDir holding;
    {
        EndToEndSetup setup;
        setup.SetUp();
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(launch("segv").signalled());
            for (const auto& entry : std::filesystem::directory_iterator(stage(setup.home.path(), "active")))
                std::filesystem::rename(entry.path(), std::filesystem::path(holding.path()) / entry.path().filename());
        }
        setup.TearDown();
    }
    std::vector<std::filesystem::path> reports(std::filesystem::directory_iterator(holding.path()), {});
    ASSERT_EQ(reports.size(), 3u);
    for (int round = 0; round < 50; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        EndToEndSetup setup;
        setup.SetUp();
        ASSERT_TRUE(launch("abort").signalled());  // makes the tree; its own report is sent below too
        const auto processing = stage(setup.home.path(), "processing"), prepared = stage(setup.home.path(), "prepared");
        auto files = std::make_shared<BBXFileManager>(processing.parent_path().parent_path().string());
        for (std::size_t i = 0; i < reports.size(); ++i) {
            const auto folder = processing / reports[i].filename();
            std::filesystem::copy(reports[i], folder, std::filesystem::copy_options::recursive);
            if (i == 0) {
                std::ofstream(folder / "metadata.bbxrecord.gz") << "cut short";
                const auto partial = prepared / ".cut-short.multipartmime.tmp";
                std::ofstream(partial) << "--partial";
                std::filesystem::last_write_time(partial, std::filesystem::file_time_type::clock::now() - std::chrono::hours(1));
                continue;
            }
            BBXPackageReportOperation package(BBXInternalReport::reportWithPath(folder.string()), files);
            package.main();
            ASSERT_TRUE(package.finalPath().has_value());
            if (i == 2) std::filesystem::remove_all(folder);
        }
        ASSERT_EQ(entries(processing), 2u);
        ASSERT_EQ(entries(prepared), 3u);

        pid_t copies[2];
        for (pid_t& pid : copies) {
            pid = ::fork();
            if (pid == 0) {
                ::execl(BLACKBOX_KIT_PROGRAM_PATH, BLACKBOX_KIT_PROGRAM_PATH, "run", nullptr);
                ::_exit(127);
            }
        }
        for (pid_t pid : copies) {
            const int status = testsupport::waitForExitOrKill(pid, std::chrono::minutes(2)).value_or(-1);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        }
        std::map<std::string, int> sent;
        const std::regex field("name=\"report_id\"\r\n(?:[^\r\n]+\r\n)*\r\n([^\r\n]*)\r\n");
        for (const auto& upload : setup.uploads()) {
            std::smatch m;
            ASSERT_TRUE(std::regex_search(upload.body, m, field));
            ++sent[m[1]];
        }
        EXPECT_EQ(sent.size(), 4u);
        for (const auto& [id, count] : sent) EXPECT_EQ(count, 1) << id;
        // Nothing left behind, hidden temporary packages included.
        EXPECT_EQ(entries(processing), 0u);
        EXPECT_EQ(entries(prepared), 0u);
        setup.TearDown();
        if (::testing::Test::HasFailure()) break;
    }
}

// A crash ends the program and whatever it started for the recording, even
// where nothing can be recorded (under a sanitizer whose runtime holds its
// own locks when the kit gives up): nothing may stay behind holding the
// program's output open.
TEST(EndToEndEnding, ACrashLeavesNoProcessBehind) {
    EndToEndSetup setup;
    setup.SetUp();
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::setpgid(0, 0);
        ::dup2(out[1], 1);
        ::dup2(out[1], 2);
        ::close(out[0]);
        ::execl(BLACKBOX_KIT_PROGRAM_PATH, BLACKBOX_KIT_PROGRAM_PATH, "segv", nullptr);
        ::_exit(127);
    }
    ::close(out[1]);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    bool closed = false;
    while (!closed && std::chrono::steady_clock::now() < deadline) {
        struct pollfd fd = {out[0], POLLIN, 0};
        if (::poll(&fd, 1, 1000) <= 0) continue;
        char buffer[4096];
        ssize_t n = ::read(out[0], buffer, sizeof buffer);
        closed = n == 0 || (n < 0 && errno != EINTR);
    }
    ::close(out[0]);
    ::kill(-pid, SIGKILL);  // whatever is left
    const int status = testsupport::waitForExitOrKill(pid, std::chrono::seconds(30)).value_or(-1);
    EXPECT_TRUE(closed);
    EXPECT_FALSE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    setup.TearDown();
}

// On a filesystem that takes no flags on a rename (NFS, some FUSE
// filesystems), a crash is still recorded, and sent once.
TEST(EndToEndRenames, WhereRenamesTakeNoFlagsACrashIsRecordedAndSentOnce) {
    EndToEndSetup setup;
    setup.SetUp();
    ::setenv("BBX_TEST_RENAME_FLAGS_REFUSED", "1", 1);
    struct Unset {
        ~Unset() { ::unsetenv("BBX_TEST_RENAME_FLAGS_REFUSED"); }
    } unset;
    ASSERT_TRUE(launch("abort").signalled());
    EXPECT_TRUE(setup.uploads().empty());
    EXPECT_TRUE(launch("run").exitedCleanly());
    auto sent = setup.uploads();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_NE(sent[0].body.find("name=\"signal\""), std::string::npos);
    EXPECT_TRUE(launch("run").exitedCleanly());
    EXPECT_EQ(setup.uploads().size(), 1u);
    setup.TearDown();
}

// A second crash on the thread that records the first (the application's
// crash callback throws) ends the whole program at once, with status 1:
// none of its other threads may keep it alive.
TEST(EndToEndEnding, ACrashInTheCrashCallbackEndsTheProgramWithStatusOne) {
    EndToEndSetup setup;
    setup.SetUp();
    pid_t pid = ::fork();
    if (pid == 0) {
        ::execl(BLACKBOX_KIT_PROGRAM_PATH, BLACKBOX_KIT_PROGRAM_PATH, "callbackthrows", nullptr);
        ::_exit(127);
    }
    auto status = testsupport::waitForExit(pid, std::chrono::seconds(60));
    if (!status) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    ASSERT_TRUE(status) << "the program outlived its crash";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1) << *status;
    setup.TearDown();
}

INSTANTIATE_TEST_SUITE_P(Routes, EndToEnd, ::testing::Values("segv", "abort", "throw"));

}  // namespace
