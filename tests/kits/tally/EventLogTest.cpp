#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "TallyTestSupport.h"
#include "TempDir.h"
#include "base/Files.h"
#include "kits/tally/BBXEventLogFile.h"

using tallytest::Line;
using namespace std::chrono_literals;

namespace {
bool parseLines(const std::string& data, std::vector<Line>& out, std::size_t* consumed = nullptr) {
    bool malformed = false;
    std::size_t used = 0;
    out = tallytest::parseLines(data, &used, &malformed);
    if (consumed) *consumed = used;
    return !malformed && (consumed || used == data.size());
}
}  // namespace

TEST(EventLogEvent, LineFormatCarriesPayloadsWithTabsAndLineBreaks) {
    BBXEventLogEvent plain(1, 1700000000123ULL, "app_launched");
    EXPECT_EQ(plain.eventData(), "1700000000123\tapp_launched\n");

    std::string payload = "{\"a\":\"x\ty\nz\"}\n\t";
    BBXEventLogEvent withPayload(2, 1700000000456ULL, "custom", payload);
    EXPECT_EQ(withPayload.eventData(),
              "1700000000456\tcustom\t" + std::to_string(payload.size()) + "\t" + payload + "\n");

    std::vector<Line> lines;
    ASSERT_TRUE(parseLines(plain.eventData() + withPayload.eventData() + plain.eventData(), lines));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_FALSE(lines[0].payload);
    EXPECT_EQ(lines[1].payload, payload);
    EXPECT_EQ(lines[2].key, "app_launched");

    BBXEventLogEvent empty(0, 5, "k", std::string());
    EXPECT_EQ(empty.eventData(), "5\tk\t0\t\n");
    EXPECT_FALSE(empty == plain);
    EXPECT_TRUE(BBXEventLogEvent(1, 1700000000123ULL, "app_launched") == plain);
    EXPECT_FALSE(BBXEventLogEvent(1, 1700000000123ULL, "app_launched", std::string()) == plain);
}

TEST(EventLogFile, AppendsKeepSizeTrueAndSurviveReopening) {
    testsupport::TempDir dir;
    // A directory standing where the file belongs is replaced.
    std::filesystem::create_directories(dir.file("0.log/inner"));
    auto file = BBXEventLogEventFile::initWithName("0.log", dir.path());
    ASSERT_TRUE(file);
    EXPECT_EQ(file->fileSize(), 0u);
    BBXEventLogEvent e(0, 1, "a", std::string("x\ty"));
    ASSERT_TRUE(file->appendEvent(e));
    ASSERT_TRUE(file->appendEvent(e));
    EXPECT_EQ(file->fileSize(), 2 * e.eventData().size());
    auto content = file->readFromFile();
    ASSERT_TRUE(content);
    EXPECT_EQ(*content, e.eventData() + e.eventData());
    // Still appendable after the read.
    ASSERT_TRUE(file->appendData("tail\n"));
    file.reset();

    auto again = BBXEventLogEventFile::initWithURL(dir.file("0.log"));
    ASSERT_TRUE(again);
    EXPECT_EQ(again->fileSize(), 2 * e.eventData().size() + 5);
    ASSERT_TRUE(again->resetFile());
    EXPECT_EQ(again->fileSize(), 0u);
    EXPECT_EQ(std::filesystem::file_size(dir.file("0.log")), 0u);

    // Misuse is refused, not fatal.
    again->closeFileHandle();
    base::Error error;
    EXPECT_FALSE(again->appendData("x", &error));
    ASSERT_TRUE(again->openFileHandleForWriting());
    EXPECT_FALSE(again->openFileHandleForReading(&error));

    EXPECT_FALSE(BBXEventLogEventFile::initWithURL(dir.file("missing/dir/0.log")));
}

TEST(EventLogFile, FailedWriteLeavesNoTornLine) {
    // The file-size limit makes the kernel accept part of a line and then
    // refuse the rest; a copy of this test runs with it, so the limit stays
    // there.
    if (const char* path = testsupport::ChildProcess::childMode()) {
        auto file = BBXEventLogEventFile::initWithURL(path);
        ASSERT_TRUE(file);
        BBXEventLogEvent first(1, 1, "first");
        ASSERT_TRUE(file->appendEvent(first));
        testsupport::ChildProcess::limitFileSize(file->fileSize() + 10);
        BBXEventLogEvent big(1, 2, "second", std::string(200, 'p'));
        ASSERT_FALSE(file->appendEvent(big));
        ASSERT_EQ(file->fileSize(), first.eventData().size());
        BBXEventLogEvent small(1, 3, "s");  // fits the remaining room
        ASSERT_TRUE(file->appendEvent(small));
        return;
    }
    testsupport::TempDir dir;
    std::string path = dir.file("1.log");
    testsupport::ChildProcess limited(path);
    ASSERT_TRUE(limited.succeeds(60s)) << limited.output();
    EXPECT_EQ(*base::readFile(path), "1\tfirst\n3\ts\n");
}

TEST(EventLogFile, KilledWriterKeepsEveryAcknowledgedEvent) {
    if (const char* path = testsupport::ChildProcess::childMode()) {
        auto file = BBXEventLogEventFile::initWithURL(path);
        ASSERT_TRUE(file);
        for (std::uint32_t i = 0;; ++i) {
            BBXEventLogEvent e(2, i, "event", std::string(100 + i % 300, 'a' + i % 26) + "\t\n");
            ASSERT_TRUE(file->appendEvent(e));
            if (!testsupport::ChildProcess::report(std::to_string(i))) return;
        }
    }
    testsupport::TempDir dir;
    std::string path = dir.file("2.log");
    testsupport::ChildProcess writer(path);
    // Let it run for a while, then kill it in the middle of its work.
    writer.readReports([](const std::string& r) { return std::count(r.begin(), r.end(), '\n') >= 3000; }, 60s);
    writer.kill();
    writer.readAllReports(10s);  // acknowledgements sent before the kill
    const auto reported = writer.reportLines();
    ASSERT_FALSE(reported.empty()) << writer.output();
    const std::uint32_t acknowledged = static_cast<std::uint32_t>(std::stoul(reported.back()));

    auto data = base::readFile(path);
    ASSERT_TRUE(data);
    std::vector<Line> lines;
    std::size_t consumed = 0;
    ASSERT_TRUE(parseLines(*data, lines, &consumed));
    ASSERT_GE(lines.size(), acknowledged + 1);
    for (std::uint32_t i = 0; i <= acknowledged; ++i) {
        EXPECT_EQ(lines[i].timestamp, std::to_string(i));
        ASSERT_TRUE(lines[i].payload);
        EXPECT_EQ(lines[i].payload->size(), 102 + i % 300);
    }
    // Only the one unacknowledged line may be cut short by the kill.
    EXPECT_LE(data->size() - consumed, 100u + 300 + 40);
}
