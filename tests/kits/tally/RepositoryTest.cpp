#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "TempDir.h"
#include "base/Files.h"
#include "base/Gzip.h"
#include "kits/tally/BBXAnalyticsGzipFile.h"
#include "kits/tally/BBXAnalyticsPackaging.h"
#include "kits/tally/BBXEventLogSessionRepository.h"

namespace fs = std::filesystem;
using Repo = BBXEventLogSessionRepository;

namespace {

void writeFile(const std::string& path, const std::string& content) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

std::vector<std::string> relativeTree(const std::string& root) {
    std::vector<std::string> out;
    for (auto& e : fs::recursive_directory_iterator(root)) out.push_back(fs::relative(e.path(), root).string());
    std::sort(out.begin(), out.end());
    return out;
}

std::string randomBytes(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(rng());
    return s;
}

std::optional<std::string> gzipThroughFds(const std::string& data, const testsupport::TempDir& dir) {
    writeFile(dir.file("in"), data);
    int in = open(dir.file("in").c_str(), O_RDONLY);
    int out = open(dir.file("out.gz").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    int rc = BBXAnalyticsGzipFile(in, out);
    close(in);
    close(out);
    if (rc != 0) return std::nullopt;
    return base::readFile(dir.file("out.gz"));
}

}  // namespace

TEST(SessionRepository, NamesAndPriorities) {
    EXPECT_EQ(Repo::priorityForEventLogFileWithName("1.log"), 1);
    EXPECT_EQ(Repo::priorityForEventLogFileWithName("1.log.zip"), 1);
    EXPECT_EQ(Repo::priorityForEventLogFileWithName("0.log"), 0);
    EXPECT_EQ(Repo::priorityForEventLogFileWithName("2.log.zip"), 2);
    EXPECT_EQ(Repo::priorityForEventLogFileWithName("3.log"), -1);
    EXPECT_EQ(Repo::priorityForEventLogFileWithName("1.txt"), -1);
    EXPECT_EQ(Repo::priorityForEventLogFileWithName("x1.log"), -1);
    EXPECT_FALSE(Repo::activeEventLogFileNameForPriority(3));
    EXPECT_EQ(Repo::sessionDirectoryNameWithIdentifier("S", 42), "42_S");
    EXPECT_TRUE(Repo::isPrepDirectoryURL("/a/b/42_F.prep"));
    EXPECT_FALSE(Repo::isPrepDirectoryURL("/a/b/42_F"));
    EXPECT_EQ(Repo::prepDirectoryForDirectoryURL("/a/b/42_F"), "/a/b/42_F.prep");
}

TEST(SessionRepository, BuildsTheTreeAndRemovesEmptiedLevels) {
    testsupport::TempDir dir;
    Repo repo(dir.path());
    auto log = repo.eventLogFileURLForStateName("ACTIVE", "S", 10, "F", 20, 1);
    ASSERT_TRUE(log);
    EXPECT_EQ(*log, dir.path() + "/v1/ACTIVE/10_S/20_F/1.log");
    EXPECT_FALSE(fs::exists(*log));  // only the folders are made
    writeFile(*log, "x");
    auto log2 = repo.eventLogFileURLForStateName("ACTIVE", "S", 10, "G", 30, 0);
    writeFile(*log2, "y");

    auto all = repo.logFileURLsForAllStates();
    ASSERT_TRUE(all);
    EXPECT_EQ(all->size(), 2u);

    ASSERT_TRUE(repo.removeLogFile(*log));
    EXPECT_FALSE(fs::exists(dir.path() + "/v1/ACTIVE/10_S/20_F"));
    EXPECT_TRUE(fs::exists(dir.path() + "/v1/ACTIVE/10_S"));
    // The last file of the last fragment takes fragment, session and state along.
    ASSERT_TRUE(repo.removeLogFile(*log2));
    EXPECT_FALSE(fs::exists(dir.path() + "/v1/ACTIVE"));
    EXPECT_TRUE(fs::exists(dir.path() + "/v1"));

    // A file standing where a folder belongs is replaced.
    writeFile(dir.path() + "/v1/PACKAGED", "junk");
    EXPECT_TRUE(repo.stateDirectoryURLForStateName("PACKAGED"));
    EXPECT_TRUE(fs::is_directory(dir.path() + "/v1/PACKAGED"));
}

TEST(SessionRepository, CleanUpKeepsLogsAndTheOpenFragmentOnly) {
    testsupport::TempDir dir;
    Repo repo(dir.path());
    auto open = *repo.sessionFragmentDirectoryURLForStateName("ACTIVE", "S", 1, "OPEN", 2);  // empty
    auto other = *repo.sessionFragmentDirectoryURLForStateName("ACTIVE", "S", 1, "OLD", 1);
    writeFile(other + "/0.log", "keep");
    writeFile(other + "/notes.txt", "stray");
    writeFile(other + "/.hidden", "hidden");
    fs::create_directories(other + "/sub");
    auto emptied = *repo.sessionFragmentDirectoryURLForStateName("PACKAGED", "T", 5, "E", 6);
    writeFile(emptied + "/junk.bin", "x");
    writeFile(*repo.sessionFragmentDirectoryURLForStateName("PACKAGED", "T", 5, "Z", 7) + "/2.log.zip", "z");
    writeFile(dir.path() + "/v1/ACTIVE/stray-file", "x");
    fs::create_directories(dir.path() + "/v1/OTHER/deep");
    writeFile(dir.path() + "/v1/.dotfile", "x");

    ASSERT_TRUE(repo.cleanUpEventLogRepositoryIgnorningSessionFragmentDirectoryURL(open + "/"));
    EXPECT_EQ(relativeTree(dir.path() + "/v1"),
              (std::vector<std::string>{".dotfile", "ACTIVE", "ACTIVE/1_S", "ACTIVE/1_S/1_OLD",
                                        "ACTIVE/1_S/1_OLD/.hidden", "ACTIVE/1_S/1_OLD/0.log", "ACTIVE/1_S/2_OPEN",
                                        "PACKAGED", "PACKAGED/5_T", "PACKAGED/5_T/7_Z",
                                        "PACKAGED/5_T/7_Z/2.log.zip"}));
}

TEST(SessionRepository, PrepDirectoriesArePurgedAndPromoted) {
    testsupport::TempDir dir;
    Repo repo(dir.path());
    auto active = *repo.sessionFragmentDirectoryURLForStateName("ACTIVE", "S", 1, "F", 2);
    auto prep = repo.prepSessionFragmentDirectoryURLForStateName("PACKAGED", active);
    ASSERT_TRUE(prep);
    EXPECT_EQ(*prep, dir.path() + "/v1/PACKAGED/1_S/2_F.prep");
    EXPECT_FALSE(repo.prepSessionFragmentDirectoryURLForStateName("PACKAGED", "/x"));
    writeFile(*prep + "/0.log.zip", "z");
    auto final = repo.removePrepStatusFromSessionFragmentDirectoryURL(*prep);
    ASSERT_TRUE(final);
    EXPECT_TRUE(fs::exists(*final + "/0.log.zip"));
    EXPECT_FALSE(repo.removePrepStatusFromSessionFragmentDirectoryURL(*final));

    auto stale = *repo.prepSessionFragmentDirectoryURLForStateName("PACKAGED", active + "x");
    writeFile(stale + "/0.log.zip", "half");
    ASSERT_TRUE(repo.purgePrepSessionFragmentDirectoriesForStateName("PACKAGED"));
    EXPECT_FALSE(fs::exists(stale));
    EXPECT_TRUE(fs::exists(*final));
}

TEST(AnalyticsGzip, RoundTripsRandomAndRepetitiveData) {
    testsupport::TempDir dir;
    // Random data does not shrink: one input chunk makes more than one
    // output buffer, which must still package.
    for (std::size_t size : {std::size_t(0), std::size_t(1), std::size_t(5120), std::size_t(5121),
                             std::size_t(300000)}) {
        std::string data = randomBytes(size, static_cast<unsigned>(size));
        auto gz = gzipThroughFds(data, dir);
        ASSERT_TRUE(gz) << size;
        ASSERT_GE(gz->size(), 18u);
        EXPECT_EQ(static_cast<unsigned char>((*gz)[0]), 0x1f);
        EXPECT_EQ(static_cast<unsigned char>((*gz)[1]), 0x8b);
        EXPECT_EQ(base::gzipDecompress(*gz), data) << size;
    }
    std::string text;
    for (int i = 0; i < 20000; ++i) text += "1700000000000\tapp_launched\n";
    auto gz = gzipThroughFds(text, dir);
    ASSERT_TRUE(gz);
    EXPECT_LT(gz->size(), text.size() / 20);
    EXPECT_EQ(base::gzipDecompress(*gz), text);

    // A source that cannot be read fails.
    int in = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
    int out = open(dir.file("o").c_str(), O_RDWR | O_CREAT, 0644);
    EXPECT_EQ(BBXAnalyticsGzipFile(in, out), -1);
    close(in);
    close(out);
}

TEST(AnalyticsPackaging, PackagesClosedFragmentsAndSkipsTheOpenOne) {
    testsupport::TempDir dir;
    Repo repo(dir.path());
    auto open = *repo.sessionFragmentDirectoryURLForStateName("ACTIVE", "S", 1, "OPEN", 3);
    writeFile(open + "/0.log", "open\n");
    auto closed = *repo.sessionFragmentDirectoryURLForStateName("ACTIVE", "S", 1, "A", 1);
    writeFile(closed + "/0.log", "zero\n");
    writeFile(closed + "/2.log", "two\n");
    // A fragment whose log cannot be read fails alone.
    auto broken = *repo.sessionFragmentDirectoryURLForStateName("ACTIVE", "S", 1, "B", 2);
    fs::create_directories(broken + "/1.log");
    auto later = *repo.sessionFragmentDirectoryURLForStateName("ACTIVE", "T", 2, "C", 4);
    writeFile(later + "/1.log", "one\n");
    // Half-packaged leftovers of an interrupted run go first.
    fs::create_directories(dir.path() + "/v1/PACKAGED/1_S/9_X.prep");

    base::Error error;
    EXPECT_FALSE(BBXAnalyticsPackaging::packageClosedSessionFragments(repo, {open}, &error));
    EXPECT_FALSE(error.localizedDescription().empty());

    std::string packaged = dir.path() + "/v1/PACKAGED/";
    EXPECT_EQ(base::gzipDecompress(*base::readFile(packaged + "1_S/1_A/0.log.zip")), "zero\n");
    EXPECT_EQ(base::gzipDecompress(*base::readFile(packaged + "1_S/1_A/2.log.zip")), "two\n");
    EXPECT_EQ(base::gzipDecompress(*base::readFile(packaged + "2_T/4_C/1.log.zip")), "one\n");
    EXPECT_FALSE(fs::exists(closed));
    EXPECT_FALSE(fs::exists(later));
    EXPECT_FALSE(fs::exists(dir.path() + "/v1/ACTIVE/2_T"));
    EXPECT_TRUE(fs::exists(open + "/0.log"));
    EXPECT_TRUE(fs::exists(broken));
    EXPECT_FALSE(fs::exists(packaged + "1_S/9_X.prep"));
    EXPECT_FALSE(fs::exists(packaged + "1_S/2_B"));

    auto files = repo.logFileURLsForSessionFragmentDirectory(packaged + "1_S/1_A");
    ASSERT_TRUE(files);
    EXPECT_EQ(*files, (std::vector<std::string>{packaged + "1_S/1_A/0.log.zip", packaged + "1_S/1_A/2.log.zip"}));
}

TEST(AnalyticsPackaging, CompletePackagedCopyWinsOverActiveLeftover) {
    testsupport::TempDir dir;
    Repo repo(dir.path());
    auto active = *repo.sessionFragmentDirectoryURLForStateName("ACTIVE", "S", 1, "A", 1);
    writeFile(active + "/0.log", "leftover\n");
    auto packaged = *repo.sessionFragmentDirectoryURLForStateName("PACKAGED", "S", 1, "A", 1);
    writeFile(packaged + "/0.log.zip", "complete");
    ASSERT_TRUE(BBXAnalyticsPackaging::packageClosedSessionFragments(repo, {}));
    EXPECT_EQ(*base::readFile(packaged + "/0.log.zip"), "complete");
    EXPECT_FALSE(fs::exists(active));
    EXPECT_FALSE(fs::exists(packaged + ".prep"));
}
