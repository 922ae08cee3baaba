// A program built with the kit crashes, is launched again against loopback
// settings and report endpoints, and delivers each crash exactly once.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "LoopbackServer.h"
#include "TempDir.h"
#include "base/Plist.h"

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
    ::waitpid(pid, &result.status, 0);
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

struct EndToEnd : ::testing::TestWithParam<const char*> {
    testsupport::ScopedHome home;
    testsupport::TempDir resources;
    LoopbackServer server;

    void SetUp() override {
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
    void TearDown() override {
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

INSTANTIATE_TEST_SUITE_P(Routes, EndToEnd, ::testing::Values("segv", "abort", "throw"));

}  // namespace
