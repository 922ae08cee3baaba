// The booth, crashed on purpose, delivers its report at the next launch.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include "LoopbackServer.h"
#include "TempDir.h"
#include "Wait.h"

namespace {

int launch(const char* mode) {
    pid_t pid = ::fork();
    if (pid == 0) {
        ::execl(CRASHING_BOOTH_PATH, CRASHING_BOOTH_PATH, mode, nullptr);
        ::_exit(127);
    }
    // A booth that hangs is ended and counts as neither crashed nor clean.
    return testsupport::waitForExitOrKill(pid, std::chrono::minutes(2)).value_or(-1);
}

TEST(BoothCrash, ACrashedBoothDeliversItsReportAtTheNextLaunch) {
    testsupport::ScopedHome home;
    testsupport::LoopbackServer server;
    server.setHandler([](const testsupport::RecordedRequest& r) {
        return testsupport::Reply{r.path.ends_with("/reports") ? 202 : 404, {}, ""};
    });
    const char* keys[] = {"SettingsEndpoint", "ConfigureEndpoint", "BlackboxReportsEndpoint", "BlackboxBetaEndpoint"};
    for (const char* key : keys) ::setenv(key, server.baseUrl().c_str(), 1);
    auto reports = [&] {
        std::size_t n = 0;
        for (auto& r : server.requests()) n += r.path == "/sdk-api/v1/platforms/mac/apps/com.flashwren.booth/reports";
        return n;
    };

    const int crashed = launch("crash");
    EXPECT_TRUE(WIFSIGNALED(crashed) && WTERMSIG(crashed) == SIGSEGV) << crashed;
    EXPECT_EQ(reports(), 0u);
    const int next = launch("run");
    EXPECT_TRUE(WIFEXITED(next) && WEXITSTATUS(next) == 0) << next;
    EXPECT_EQ(reports(), 1u);
    for (const char* key : keys) ::unsetenv(key);
}

}  // namespace
