// Packaging on a disk that fills up: the events stay where they were until
// a complete package of them exists.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <fstream>
#include <random>

#include "ChildProcess.h"
#include "TempDir.h"
#include "base/Files.h"
#include "kits/tally/BBXAnalyticsGzipFile.h"
#include "kits/tally/BBXAnalyticsPackaging.h"
#include "kits/tally/BBXEventLogSessionRepository.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::string noise(std::size_t n) {
    std::mt19937 rng(7);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(rng());
    return s;
}

TEST(PackagingFailure, CompressingOntoAFullDiskFails) {
    testsupport::TempDir dir;
    ASSERT_TRUE(base::writeFileAtomically(dir.file("in.log"), noise(200000)));
    int in = ::open(dir.file("in.log").c_str(), O_RDONLY | O_CLOEXEC);
    int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    if (full < 0) GTEST_SKIP() << "this machine has no /dev/full";
    EXPECT_EQ(BBXAnalyticsGzipFile(in, full), -1);
    ::close(in);
    ::close(full);
}

TEST(PackagingFailure, APackageCutShortByAFullDiskKeepsTheEventsInPlace) {
    // The limit stays with the process: packaging runs in a copy of this test.
    if (const char* folder = testsupport::ChildProcess::childMode()) {
        testsupport::ChildProcess::limitFileSize(64 * 1024);
        BBXEventLogSessionRepository repo(folder);
        base::Error error;
        EXPECT_FALSE(BBXAnalyticsPackaging::packageClosedSessionFragments(repo, {}, &error))
            << "packaging onto a full disk must report failure";
        return;
    }
    testsupport::TempDir dir;
    BBXEventLogSessionRepository repo(dir.path());
    auto fragment = *repo.sessionFragmentDirectoryURLForStateName("ACTIVE", "S", 1, "A", 1);
    fs::create_directories(fragment);
    const std::string events = noise(400000);  // random bytes do not shrink
    ASSERT_TRUE(base::writeFileAtomically(fragment + "/0.log", events));

    testsupport::ChildProcess packaging(dir.path());
    EXPECT_TRUE(packaging.succeeds(60s)) << packaging.output();
    EXPECT_EQ(base::readFile(fragment + "/0.log").value_or("<gone>"), events);
    EXPECT_FALSE(fs::exists(dir.path() + "/v1/PACKAGED/1_S/1_A"));
}

// A pipe or a link to a device named like an event log neither hangs the
// packaging nor feeds it without end: the package fails at once, saying
// what stands there, and the fragment is left as it was.
TEST(PackagingFailure, ALogThatIsNoFileFailsThePackageAtOnce) {
    for (const std::string kind : {"named pipe", "character device"}) {
        testsupport::TempDir dir;
        BBXEventLogSessionRepository repo(dir.path());
        auto fragment = *repo.sessionFragmentDirectoryURLForStateName("ACTIVE", "S", 1, "A", 1);
        fs::create_directories(fragment);
        const std::string log = fragment + "/0.log";
        if (kind == "named pipe") ::mkfifo(log.c_str(), 0600);
        else fs::create_symlink("/dev/zero", log);
        base::Error error;
        auto packaging = std::async(std::launch::async, [&] {
            return BBXAnalyticsPackaging::packageClosedSessionFragments(repo, {}, &error);
        });
        if (packaging.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
            ::close(::open(log.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));  // lets a stuck pipe reader go
            FAIL() << kind << ": the packaging hangs";
        }
        EXPECT_FALSE(packaging.get()) << kind;
        EXPECT_NE(error.localizedDescription().find(kind), std::string::npos) << error.localizedDescription();
        EXPECT_TRUE(fs::exists(fs::symlink_status(log)) && !fs::exists(dir.path() + "/v1/PACKAGED/1_S/1_A")) << kind;
    }
}

}  // namespace
