// The report tree: stages, moves, clean-up and reading report directories.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "RenameShim.h"
#include "TempDir.h"
#include "TestContext.h"
#include "base/Files.h"
#include "kits/blackbox/BBXFileManager.h"
#include "kits/blackbox/BBXInternalReport.h"
#include "kits/blackbox/BBXReport.h"

namespace fs = std::filesystem;

namespace {

bool exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }
void touch(const std::string& path, const std::string& text = "x") { std::ofstream(path) << text; }

const char* kMetadata =
    "{\"identity\":{\"generator\":\"g\",\"api_key\":\"key-1\",\"started_at\":1700000000,\"session_id\":\"S-42\"}}\n"
    "{\"host\":{\"os_build_version\":\"6.1.0\",\"os_display_version\":\"12.5.0\"}}\n"
    "{\"application\":{\"bundle_id\":\"b\",\"build_version\":\"100\",\"display_version\":\"1.0.0\"}}\n";

struct Tree : ::testing::Test {
    testsupport::TempDir dir;
    std::string root = dir.file("io.blackbox.data/com.example.booth");
    BBXFileManager files{root};

    std::string report(const std::string& stage, const std::string& name, std::initializer_list<const char*> contents) {
        std::string path = stage + "/" + name;
        fs::create_directories(path);
        for (const char* file : contents) touch(path + "/" + file, std::string(file) == "metadata.bbxrecord" ? kMetadata : "x");
        return path;
    }
};

TEST_F(Tree, LaunchPreparesStagesAndTheExecutionsDirectory) {
    ASSERT_TRUE(files.prepareForNewLaunch());
    for (const auto& p : {files.activePath(), files.processingPath(), files.preparedPath()}) {
        struct stat st;
        ASSERT_EQ(::stat(p.c_str(), &st), 0) << p;
        EXPECT_EQ(st.st_mode & 0777, 0755u);
    }
    EXPECT_EQ(files.structurePath(), root + "/v3");
    EXPECT_EQ(files.pathNamespace(), "com.example.booth");
    auto path = files.setupNewPathForExecutionIdentifier("EXEC-1");
    ASSERT_TRUE(path);
    EXPECT_EQ(*path, files.activePath() + "/EXEC-1");
    EXPECT_FALSE(files.setupNewPathForExecutionIdentifier("../escape"));
    EXPECT_FALSE(files.setupNewPathForExecutionIdentifier(".."));
}

TEST_F(Tree, NamespacesThatNameAnotherFolderAreRefused) {
    for (const char* bad : {"", ".", ".."}) {
        EXPECT_EQ(BBXFileManager::rootPathForNamespace(bad), "") << bad;
    }
    EXPECT_NE(BBXFileManager::rootPathForNamespace("com.example_x"), "");
    BBXFileManager none{std::string()};
    EXPECT_FALSE(none.prepareForNewLaunch());
    EXPECT_FALSE(none.removeContentsOfAllPaths());
    EXPECT_TRUE(none.activePathContents().empty());
    none.removeLegacyDirectories();  // nothing to do, nothing removed
}

TEST_F(Tree, HiddenEntriesAreNeverListedOrMoved) {
    ASSERT_TRUE(files.prepareForNewLaunch());
    report(files.activePath(), "A", {"signal.bbxrecord"});
    touch(files.activePath() + "/.DS_Store");
    report(files.activePath(), "B", {"errors_a.bbxrecord"});
    auto listed = files.activePathContents();
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0], files.activePath() + "/A");
    EXPECT_EQ(listed[1], files.activePath() + "/B");

    ASSERT_TRUE(files.moveItemsFromDirectory(files.activePath(), files.processingPath()));
    EXPECT_TRUE(exists(files.activePath() + "/.DS_Store"));
    EXPECT_TRUE(exists(files.processingPath() + "/A/signal.bbxrecord"));
    std::vector<std::string> seen;
    files.enumerateReportsInProcessingDirectoryUsingBlock(
        [&](const std::shared_ptr<BBXInternalReport>& r, const std::string&) { seen.push_back(r->identifier()); });
    EXPECT_EQ(seen, (std::vector<std::string>{"A", "B"}));
}

// Moves and the run's folder never replace what is there, on a filesystem
// that takes flags on a rename and on one that answers them with EINVAL or
// ENOSYS (NFS, some FUSE filesystems).
TEST_F(Tree, MovesNeverReplaceAndStopAtTheFirstFailure) {
    for (int refused : {0, EINVAL, ENOSYS}) {
        SCOPED_TRACE(refused ? std::string("flags refused with ") + std::strerror(refused) : "flags taken");
        fs::remove_all(root);
        testsupport::setRenameHook([refused](const char*, const char*, unsigned flags) -> std::optional<int> {
            if (!refused || !flags) return std::nullopt;
            errno = refused;
            return -1;
        });
        struct Unhook {
            ~Unhook() { testsupport::setRenameHook({}); }
        } unhook;
        ASSERT_TRUE(files.prepareForNewLaunch());
        report(files.activePath(), "A", {"signal.bbxrecord"});
        report(files.activePath(), "B", {"signal.bbxrecord"});
        report(files.processingPath(), "A", {"errors_a.bbxrecord"});
        EXPECT_FALSE(files.moveItemAtPath(files.activePath() + "/A", files.processingPath()));
        EXPECT_TRUE(exists(files.processingPath() + "/A/errors_a.bbxrecord"));
        EXPECT_FALSE(exists(files.processingPath() + "/A/signal.bbxrecord"));
        // A fails first, so B stays where it is.
        EXPECT_FALSE(files.moveItemsFromDirectory(files.activePath(), files.processingPath()));
        EXPECT_TRUE(exists(files.activePath() + "/B"));
        EXPECT_FALSE(files.moveItemAtPath("", files.processingPath()));
        EXPECT_FALSE(files.moveItemAtPath(files.activePath() + "/missing", files.processingPath()));
        // Not even over an empty folder, or a file over a file.
        fs::create_directories(files.processingPath() + "/B");
        EXPECT_FALSE(files.moveItemAtPath(files.activePath() + "/B", files.processingPath()));
        EXPECT_TRUE(exists(files.activePath() + "/B/signal.bbxrecord"));
        touch(files.activePath() + "/P.multipartmime", "new");
        touch(files.processingPath() + "/P.multipartmime", "old");
        EXPECT_FALSE(files.moveItemAtPath(files.activePath() + "/P.multipartmime", files.processingPath()));
        EXPECT_EQ(base::readFile(files.processingPath() + "/P.multipartmime"), "old");
        EXPECT_TRUE(exists(files.activePath() + "/P.multipartmime"));
        // What may move does: a folder and a file, gone from where they were.
        EXPECT_TRUE(files.moveItemAtPath(files.activePath() + "/B", files.preparedPath()));
        EXPECT_TRUE(exists(files.preparedPath() + "/B/signal.bbxrecord"));
        EXPECT_TRUE(files.moveItemAtPath(files.activePath() + "/P.multipartmime", files.preparedPath()));
        EXPECT_EQ(base::readFile(files.preparedPath() + "/P.multipartmime"), "new");
        EXPECT_FALSE(exists(files.activePath() + "/B"));
        EXPECT_FALSE(exists(files.activePath() + "/P.multipartmime"));

        // The run's folder is made, and never over one of the same name.
        auto run = files.setupNewPathForExecutionIdentifier("EXEC-1");
        ASSERT_TRUE(run);
        touch(*run + "/signal.bbxrecord");
        EXPECT_FALSE(files.setupNewPathForExecutionIdentifier("EXEC-1"));
        EXPECT_TRUE(exists(*run + "/signal.bbxrecord"));
        EXPECT_FALSE(exists(files.activePath() + "/.EXEC-1.new"));
    }
}

TEST_F(Tree, ClearingAPartlyMissingTreeTriesEveryStage) {
    fs::create_directories(files.activePath());
    fs::create_directories(files.preparedPath());
    report(files.activePath(), "A", {"signal.bbxrecord"});
    touch(files.preparedPath() + "/P.multipartmime");
    touch(files.preparedPath() + "/.hidden");
    EXPECT_FALSE(files.removeContentsOfAllPaths());  // processing and pending are missing
    EXPECT_TRUE(fs::is_empty(files.activePath()));
    EXPECT_TRUE(fs::is_empty(files.preparedPath()));
    EXPECT_TRUE(exists(files.activePath()));
    EXPECT_FALSE(files.removeItemAtPath(files.activePath() + "/gone"));
    EXPECT_EQ(files.fileSizeAtPath(files.preparedPath() + "/gone"), std::nullopt);
}

TEST_F(Tree, LegacyCleanUpRemovesOnlyTheLegacyFolder) {
    ASSERT_TRUE(files.prepareForNewLaunch());
    auto current = files.setupNewPathForExecutionIdentifier("EXEC-1");
    ASSERT_TRUE(current);
    touch(*current + "/metadata.bbxrecord", kMetadata);
    fs::create_directories(root + "/sendable/old-report");
    touch(root + "/sendable/old-report/x");
    fs::create_directories(root + "/tally");
    touch(root + "/tally/events");
    files.removeLegacyDirectories();
    EXPECT_FALSE(exists(root + "/sendable"));
    EXPECT_TRUE(exists(*current + "/metadata.bbxrecord"));
    EXPECT_TRUE(exists(root + "/tally/events"));
    EXPECT_TRUE(exists(files.preparedPath()));
}

TEST_F(Tree, WhatAReportDirectoryHoldsDecidesItsFate) {
    fs::create_directories(files.activePath());
    auto kvOnly = BBXInternalReport::reportWithPath(report(
        files.activePath(), "KV", {"metadata.bbxrecord", "user_incremental_kv.bbxrecord", "log_a.bbxrecord", "sdk.log"}));
    ASSERT_TRUE(kvOnly);
    EXPECT_FALSE(kvOnly->needsToBeSubmitted());
    EXPECT_FALSE(kvOnly->isCrash());

    auto custom = BBXInternalReport::reportWithPath(report(files.activePath(), "C", {"custon_exception_b.bbxrecord"}));
    EXPECT_TRUE(custom->needsToBeSubmitted());
    EXPECT_FALSE(custom->isCrash());

    auto crash = BBXInternalReport::reportWithPath(report(files.activePath(), "X", {"mach_exception.bbxrecord"}));
    EXPECT_TRUE(crash->isCrash());
    std::vector<std::string> symbolicatable;
    crash->enumerateSymbolicatableFilesInContent([&](const std::string& p) { symbolicatable.push_back(p); });
    EXPECT_EQ(symbolicatable, (std::vector<std::string>{crash->pathForContentFile("exception.bbxrecord"),
                                                         crash->pathForContentFile("mach_exception.bbxrecord"),
                                                         crash->pathForContentFile("signal.bbxrecord")}));
}

TEST_F(Tree, MetadataIsReadAndAMissingOrBrokenOneStillGivesAReport) {
    fs::create_directories(files.activePath());
    auto full = BBXInternalReport::reportWithPath(report(files.activePath(), "EXEC-9", {"metadata.bbxrecord"}));
    ASSERT_TRUE(full);
    EXPECT_EQ(full->identifier(), "S-42");
    EXPECT_EQ(full->APIKey(), "key-1");
    EXPECT_EQ(full->bundleVersion(), "100");
    EXPECT_EQ(full->bundleShortVersionString(), "1.0.0");
    EXPECT_EQ(full->OSVersion(), "12.5.0");
    EXPECT_EQ(full->OSBuildVersion(), "6.1.0");
    EXPECT_EQ(full->dateCreated(), std::chrono::system_clock::time_point(std::chrono::seconds(1700000000)));

    // No metadata: the directory's name (the execution identifier) stands in.
    auto bare = BBXInternalReport::reportWithPath(report(files.activePath(), "EXEC-7-submit", {"signal.bbxrecord"}));
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->identifier(), "EXEC-7");
    EXPECT_EQ(bare->APIKey(), std::nullopt);
    EXPECT_EQ(bare->dateCreated(), std::nullopt);

    // Cut short by a crash in the middle of the second record.
    std::string cut = report(files.activePath(), "EXEC-8", {"signal.bbxrecord"});
    touch(cut + "/metadata.bbxrecord", std::string(kMetadata).substr(0, 140));
    auto partial = BBXInternalReport::reportWithPath(cut);
    ASSERT_TRUE(partial);
    EXPECT_EQ(partial->identifier(), "S-42");
    EXPECT_EQ(partial->OSVersion(), std::nullopt);
    EXPECT_TRUE(files.removeItemAtPath(partial->path()));

    EXPECT_EQ(BBXInternalReport::initWithPath("", "x"), nullptr);
    EXPECT_EQ(BBXInternalReport::initWithPath("/p", ""), nullptr);
}

TEST_F(Tree, KeyValuesSetOnAReportGoIntoItsOwnFiles) {
    blackboxtest::reportDir();  // a running crash context
    fs::create_directories(files.activePath());
    auto internal = BBXInternalReport::reportWithPath(report(files.activePath(), "OLD", {"metadata.bbxrecord", "signal.bbxrecord"}));
    BBXReport r(internal);
    EXPECT_EQ(r.identifier(), "S-42");
    EXPECT_TRUE(r.isCrash());
    EXPECT_EQ(r.crashedOnDate(), internal->dateCreated());
    r.setUserEmail("guest@example.com");
    r.setObjectValue("blue", "colour");
    auto internalKV = base::readFile(internal->pathForContentFile("internal_incremental_kv.bbxrecord"));
    auto userKV = base::readFile(internal->pathForContentFile("user_incremental_kv.bbxrecord"));
    ASSERT_TRUE(internalKV && userKV);
    EXPECT_NE(internalKV->find("\"kv\""), std::string::npos);
    EXPECT_NE(userKV->find("\"kv\""), std::string::npos);
    // The running execution's own files are untouched by it.
    auto own = base::readFile(blackboxtest::reportDir() + "/user_incremental_kv.bbxrecord").value_or("");
    EXPECT_EQ(own.find("636f6c6f7572"), std::string::npos);  // "colour"
}

}  // namespace

// A start time past what the clock can hold (found by fuzzing the metadata)
// is no date, not an overflow into some other one.
TEST_F(Tree, AStartTimeBeyondTheClocksRangeIsNoDate) {
    fs::create_directories(files.activePath());
    for (const char* started : {"18446744073709551615", "9223372036854775807", "9300000000"}) {
        std::string dir = files.activePath() + "/EXEC-" + started;
        fs::create_directories(dir);
        std::ofstream(dir + "/metadata.bbxrecord")
            << R"({"identity":{"session_id":"S-1","started_at":)" << started << "}}\n";
        auto r = BBXInternalReport::reportWithPath(dir);
        ASSERT_TRUE(r) << started;
        EXPECT_EQ(r->dateCreated(), std::nullopt) << started;
    }
}
