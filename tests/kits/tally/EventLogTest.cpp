#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "TallyTestSupport.h"
#include "TempDir.h"
#include "base/Files.h"
#include "kits/tally/BBXEventLogFile.h"

using tallytest::Line;

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
    // refuse the rest; run it in a child so the limit stays there.
    testsupport::TempDir dir;
    std::string path = dir.file("1.log");
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        auto file = BBXEventLogEventFile::initWithURL(path);
        if (!file) _exit(10);
        BBXEventLogEvent first(1, 1, "first");
        if (!file->appendEvent(first)) _exit(11);
        rlimit lim{static_cast<rlim_t>(file->fileSize() + 10), RLIM_INFINITY};
        setrlimit(RLIMIT_FSIZE, &lim);
        BBXEventLogEvent big(1, 2, "second", std::string(200, 'p'));
        if (file->appendEvent(big)) _exit(12);
        if (file->fileSize() != first.eventData().size()) _exit(13);
        BBXEventLogEvent small(1, 3, "s");  // fits the remaining room
        if (!file->appendEvent(small)) _exit(14);
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(*base::readFile(path), "1\tfirst\n3\ts\n");
}

TEST(EventLogFile, KilledWriterKeepsEveryAcknowledgedEvent) {
    testsupport::TempDir dir;
    std::string path = dir.file("2.log");
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(fds[0]);
        auto file = BBXEventLogEventFile::initWithURL(path);
        if (!file) _exit(1);
        for (std::uint32_t i = 0;; ++i) {
            BBXEventLogEvent e(2, i, "event", std::string(100 + i % 300, 'a' + i % 26) + "\t\n");
            if (!file->appendEvent(e)) _exit(2);
            if (write(fds[1], &i, sizeof i) != sizeof i) _exit(3);
        }
    }
    close(fds[1]);
    std::uint32_t acknowledged = 0, n = 0;
    std::uint32_t count = 0;
    // Let it run for a while, then kill it in the middle of its work.
    while (count < 3000 && read(fds[0], &n, sizeof n) == sizeof n) {
        acknowledged = n;
        ++count;
    }
    kill(pid, SIGKILL);
    // Drain acknowledgements already sent before the kill.
    while (read(fds[0], &n, sizeof n) == sizeof n) acknowledged = n;
    close(fds[0]);
    waitpid(pid, nullptr, 0);

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
