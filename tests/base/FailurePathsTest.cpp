// What happens when things go wrong half-way: a disk that fills during a
// write, a server that hangs up early or sends the client elsewhere, input
// that does not fit its type.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <fstream>
#include <future>
#include <map>
#include <filesystem>
#include <memory>
#include <set>
#include <thread>

#include "ChildProcess.h"
#include "RenameShim.h"
#include "LoopbackServer.h"
#include "TempDir.h"
#include "base/Files.h"
#include "base/Http.h"
#include "base/Json.h"
#include "base/Log.h"

#include <spdlog/sinks/sink.h>
#include "base/Plist.h"
#include "base/Scheduler.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::vector<std::string> namesIn(const std::string& folder) {
    std::vector<std::string> names;
    for (auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// A one-connection server speaking raw bytes: it reads the request head,
// sends `reply` and hangs up, whatever the reply promised.
class RawServer {
public:
    explicit RawServer(std::string reply) : reply_(std::move(reply)) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        socklen_t len = sizeof addr;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        ::listen(fd_, 1);
        thread_ = std::thread([this] {
            int c = ::accept(fd_, nullptr, nullptr);
            if (c < 0) return;
            std::string head;
            char buf[4096];
            while (head.find("\r\n\r\n") == std::string::npos) {
                ssize_t n = ::read(c, buf, sizeof buf);
                if (n <= 0) break;
                head.append(buf, static_cast<size_t>(n));
            }
            (void)!::write(c, reply_.data(), reply_.size());
            ::shutdown(c, SHUT_RDWR);
            ::close(c);
        });
    }
    ~RawServer() {
        ::shutdown(fd_, SHUT_RDWR);
        thread_.join();
        ::close(fd_);
    }
    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }

private:
    std::string reply_;
    int fd_ = -1;
    std::uint16_t port_ = 0;
    std::thread thread_;
};

}  // namespace

TEST(FailurePaths, AWriteThatRunsOutOfSpaceKeepsTheOldFileAndLeavesNoTemporary) {
    const std::string big(1 << 20, 'x');
    // A copy of this test writes with a file-size limit, as on a full disk.
    if (const char* path = testsupport::ChildProcess::childMode()) {
        testsupport::ChildProcess::limitFileSize(64 * 1024);
        std::string error;
        EXPECT_FALSE(base::writeFileAtomically(path, big, &error));
        EXPECT_NE(error.find("cannot write"), std::string::npos)
            << "a write cut short must be reported as the write failing: " << error;
        return;
    }
    testsupport::TempDir dir;
    const std::string path = dir.file("settings.plist");
    ASSERT_TRUE(base::writeFileAtomically(path, "the settings that worked"));
    testsupport::ChildProcess limited(path);
    EXPECT_TRUE(limited.succeeds(60s)) << limited.output();
    EXPECT_EQ(base::readFile(path).value_or("<gone>"), "the settings that worked");
    EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"settings.plist"});
}

// Nothing by that name (no file, a file where a folder is named, a link to
// nothing) is a first start, not a file that failed to read.
TEST(FailurePaths, AMissingFileIsToldApartFromOneThatCannotBeRead) {
    testsupport::TempDir dir;
    ASSERT_TRUE(base::writeFileAtomically(dir.file("plain"), "x"));
    fs::create_symlink(dir.file("gone"), dir.file("dangling"));
    ASSERT_EQ(::mkfifo(dir.file("pipe").c_str(), 0600), 0);
    for (const std::string name : {"none", "plain/child", "dangling"}) {
        base::ReadFailure failure;
        EXPECT_FALSE(base::readFile(dir.file(name), &failure)) << name;
        EXPECT_TRUE(failure.missing) << name << ": " << failure.why;
    }
    base::ReadFailure failure;
    EXPECT_FALSE(base::readFile(dir.file("pipe"), &failure));
    EXPECT_FALSE(failure.missing);
    EXPECT_EQ(base::whyNotARegularFile(dir.file("none")), std::nullopt);
    EXPECT_EQ(base::whyNotARegularFile(dir.file("plain")), std::nullopt);
    EXPECT_NE(base::whyNotARegularFile(dir.file("dangling"), false), std::nullopt) << "a link is no file of its own";
}

// What stands where a folder belongs is named; a folder, a link to one and
// nothing at all are no fault.
TEST(FailurePaths, WhatStandsInPlaceOfAFolderIsNamed) {
    testsupport::TempDir dir;
    ASSERT_TRUE(base::writeFileAtomically(dir.file("file"), "x"));
    ASSERT_EQ(::mkfifo(dir.file("pipe").c_str(), 0600), 0);
    fs::create_directory(dir.file("folder"));
    fs::create_symlink(dir.file("folder"), dir.file("toFolder"));
    fs::create_symlink(dir.file("file"), dir.file("toFile"));
    fs::create_symlink(dir.file("gone"), dir.file("dangling"));
    fs::create_symlink("loop", dir.file("loop"));
    for (const char* name : {"folder", "toFolder", "none", "file/child"})
        EXPECT_EQ(base::whyNotAFolder(dir.file(name)), std::nullopt) << name;
    const std::map<std::string, std::string> why = {{"file", "it is a file"},
                                                    {"pipe", "it is a named pipe"},
                                                    {"toFile", "it is a symbolic link to a file"},
                                                    {"dangling", "it is a symbolic link to nothing"},
                                                    {"loop", "it is a loop of symbolic links"}};
    for (const auto& [name, words] : why)
        EXPECT_EQ(base::whyNotAFolder(dir.file(name)).value_or("").rfind(words, 0), 0u) << name;
}

// The day's log file is opened at start and again at midnight: a named pipe
// or a loop of links in its place either time is set aside, the reason
// written at the top of the new file, and logging goes on; nothing waits
// for a reader.
TEST(FailurePaths, ALogFileThatIsNoFileIsSetAsideAtStartAndAtMidnight) {
    for (const std::string kind : {"pipe", "loop"}) {
        SCOPED_TRACE(kind);
        testsupport::TempDir dir;
        auto fileOf = [&](std::chrono::system_clock::time_point when) {
            const std::time_t t = std::chrono::system_clock::to_time_t(when);
            std::tm local{};
            ::localtime_r(&t, &local);
            char name[64];
            std::strftime(name, sizeof name, "flashwren_%Y-%m-%d.log", &local);
            return dir.file(name);
        };
        const auto today = std::chrono::system_clock::now();
        const auto tomorrow = today + std::chrono::hours(24);
        for (auto when : {today, tomorrow}) {
            const std::string file = fileOf(when);
            if (kind == "pipe") {
                ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
            }
            if (kind == "loop") fs::create_symlink(fs::path(file).filename(), file);
        }
        auto logging = std::async(std::launch::async, [&] {
            base::setupLogging(dir.path(), false);
            spdlog::info("Test: today");
            // A line the logger writes after midnight.
            spdlog::details::log_msg late("flashwren", spdlog::level::info, "Test: tomorrow");
            late.time = tomorrow;
            for (auto& sink : spdlog::default_logger()->sinks()) {
                sink->log(late);
                sink->flush();
            }
        });
        if (logging.wait_for(20s) != std::future_status::ready) {
            // Readers let the stuck opens go, and stay until the writes are done.
            std::vector<int> readers;
            for (auto when : {today, tomorrow}) readers.push_back(::open(fileOf(when).c_str(), O_RDONLY | O_NONBLOCK));
            logging.wait();
            for (int fd : readers) ::close(fd);
            FAIL() << "a named pipe as the log file hangs the logger";
        }
        for (auto when : {today, tomorrow}) {
            const std::string file = fileOf(when);
            EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(file))) << file;
            const std::string text = base::readFile(file).value_or("");
            EXPECT_NE(text.find("was set aside as " + file + ".corrupt-"), std::string::npos) << text;
            EXPECT_NE(text.find(kind == "pipe" ? "because it is a named pipe" : "because it is a loop of symbolic links"),
                      std::string::npos)
                << text;
        }
        EXPECT_NE(base::readFile(fileOf(tomorrow)).value_or("").find("Test: tomorrow"), std::string::npos);
    }
}

// A temporary file stays while a writer holds its lock, wherever that writer
// runs (here, as from another container, under a number unknown here); one
// that nobody holds is what a killed writer left, and goes.
// A file in place of the log folder is set aside and the folder made, as a
// log file that is no file is; a folder that cannot be made is said, with
// its place and why, for the operator.
TEST(FailurePaths, ALogFolderThatIsAFileIsSetAsideAndOneThatCannotBeMadeIsSaid) {
    testsupport::TempDir dir;
    const std::string logs = dir.file("Logs");
    std::ofstream(logs) << "not a folder";
    EXPECT_EQ(base::setupLogging(logs, false), "");
    spdlog::info("Test: logged");
    spdlog::default_logger()->flush();
    ASSERT_TRUE(fs::is_directory(logs));
    std::string text;
    for (auto& e : fs::directory_iterator(logs)) text += base::readFile(e.path()).value_or("");
    EXPECT_NE(text.find("Test: logged"), std::string::npos) << text;
    EXPECT_NE(text.find("set aside as " + logs + ".corrupt-"), std::string::npos) << text;
    EXPECT_NE(text.find("because it is a file, not a folder"), std::string::npos) << text;

    std::string aside;
    for (auto& e : fs::directory_iterator(dir.path()))
        if (e.path().filename().string().starts_with("Logs.corrupt-")) aside = e.path().string();
    ASSERT_FALSE(aside.empty());
    const std::string problem = base::setupLogging(aside + "/Logs", false);
    EXPECT_NE(problem.find(aside + "/Logs"), std::string::npos) << problem;
    EXPECT_NE(problem.find("Not a directory"), std::string::npos) << problem;
}

TEST(FailurePaths, ATemporaryFileStaysWhileItsWriterHoldsItsLock) {
    testsupport::TempDir dir;
    const std::string held = dir.file("s.plist.tmp-2147483647-0"), left = dir.file("s.plist.tmp-2147483647-1");
    for (const auto& file : {held, left}) ASSERT_TRUE(base::writeFileAtomically(file, "half"));
    const int writer = ::open(held.c_str(), O_WRONLY | O_CLOEXEC);
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    ASSERT_EQ(::fcntl(writer, F_OFD_SETLK, &lock), 0);
    base::removeAbandonedTemporaries(dir.file("s.plist"));
    ::close(writer);
    EXPECT_TRUE(fs::exists(held));
    EXPECT_FALSE(fs::exists(left));
}

// Damaged files set aside one after the other (within one second, as at a
// start that finds several) each keep their copy, and so do folders in
// their place; also on a filesystem whose renames take no flags (NFS, some
// FUSE filesystems).
TEST(FailurePaths, FilesSetAsideInOneSecondAreAllKept) {
    std::atomic<int> refused{0};
    for (const bool flagsRefused : {false, true}) {
        SCOPED_TRACE(flagsRefused ? "renames take no flags" : "renames take flags");
        testsupport::setRenameHook([&](const char*, const char*, unsigned flags) -> std::optional<int> {
            if (!flagsRefused || flags == 0) return std::nullopt;
            ++refused;
            errno = EINVAL;
            return -1;
        });
        testsupport::TempDir dir;
        const std::string path = dir.file("settings.plist");
        std::set<std::string> asides, kept;
        for (int k = 0; k < 3; ++k) {
            ASSERT_TRUE(base::writeFileAtomically(path, "damaged " + std::to_string(k)));
            const std::string aside = base::setAside(path);
            ASSERT_FALSE(aside.empty());
            asides.insert(aside);
        }
        EXPECT_EQ(asides.size(), 3u);
        for (auto& e : fs::directory_iterator(dir.path())) kept.insert(base::readFile(e.path()).value_or("?"));
        EXPECT_EQ(kept, (std::set<std::string>{"damaged 0", "damaged 1", "damaged 2"}));
        EXPECT_FALSE(fs::exists(path));

        testsupport::TempDir folders;
        const std::string folder = folders.file("flashwren.lock");
        std::set<std::string> folderAsides;
        kept.clear();
        for (int k = 0; k < 2; ++k) {
            ASSERT_TRUE(fs::create_directory(folder));
            ASSERT_TRUE(base::writeFileAtomically(folder + "/inside", "folder " + std::to_string(k)));
            const std::string aside = base::setAside(folder);
            ASSERT_FALSE(aside.empty());
            folderAsides.insert(aside);
            kept.insert(base::readFile(aside + "/inside").value_or("?"));
        }
        EXPECT_EQ(folderAsides.size(), 2u);
        EXPECT_EQ(kept, (std::set<std::string>{"folder 0", "folder 1"}));
        EXPECT_FALSE(fs::exists(folder));
    }
    testsupport::setRenameHook(nullptr);
    EXPECT_GT(refused.load(), 0) << "the renames went past the hold";
}

TEST(FailurePaths, AWriterKilledMidWayLeavesOneWholeVersion) {
    const std::string versions[2] = {std::string(8 << 20, 'a'), std::string(8 << 20, 'b')};
    if (const char* path = testsupport::ChildProcess::childMode()) {
        for (int k = 0;; ++k) {
            ASSERT_TRUE(base::writeFileAtomically(path, versions[k % 2]));
            if (!testsupport::ChildProcess::report("written")) return;
        }
    }
    // In memory, where syncing costs nothing, the kill lands inside a write.
    std::string folder = "/dev/shm/flashwren-kill-XXXXXX";
    if (!::mkdtemp(folder.data())) GTEST_SKIP() << "no /dev/shm to write in";
    struct Cleanup {
        std::string path;
        ~Cleanup() { fs::remove_all(path); }
    } cleanup{folder};
    const std::string path = folder + "/print-queue.plist";
    // A kill can also land between two writes; five of them rarely all do.
    for (int trial = 0; trial < 5; ++trial) {
        testsupport::ChildProcess writer(path);
        ASSERT_TRUE(writer.readReports([](const std::string& r) { return std::count(r.begin(), r.end(), '\n') >= 3; }, 60s))
            << writer.output();
        writer.kill();  // most likely inside the fourth write
        auto text = base::readFile(path).value_or("");
        ASSERT_EQ(text.size(), size_t(8 << 20)) << "a write cut off by the kill shows";
        ASSERT_TRUE(text == std::string(text.size(), text[0]));
    }
}

TEST(FailurePaths, ADownloadCutShortIsAnErrorAndNeverLandsInPlace) {
    testsupport::TempDir dir;
    const std::string target = dir.file("photo.jpg");
    ASSERT_TRUE(base::writeFileAtomically(target, "previous"));
    RawServer server("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + std::string(1000, 'j'));
    base::HttpRequest req;
    req.url = server.url("/photo.jpg");
    req.downloadFile = target;
    req.timeoutSeconds = 20;
    auto resp = base::httpPerform(req);
    EXPECT_FALSE(resp.completed()) << "1000 of 100000 bytes is no complete reply";
    EXPECT_EQ(base::readFile(target).value_or(""), "previous");
    EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"photo.jpg"});
}

TEST(FailurePaths, AReplyCutShortInMemoryIsAnError) {
    RawServer server("HTTP/1.1 200 OK\r\nContent-Length: 50\r\n\r\n{\"ok\":");
    base::HttpRequest req;
    req.url = server.url("/status");
    req.timeoutSeconds = 20;
    EXPECT_FALSE(base::httpPerform(req).completed());
}

TEST(FailurePaths, ARedirectIsFollowedOnlyWhenAskedAndOnlyTheLastHeadersCount) {
    testsupport::LoopbackServer server;
    server.setHandler([](const testsupport::RecordedRequest& r) {
        if (r.path == "/old")
            return testsupport::Reply{302, {{"Location", "/new"}, {"Content-Type", "text/html"}, {"X-Hop", "1"}}, "moved"};
        return testsupport::Reply{200, {{"Content-Type", "application/json"}}, "{}"};
    });
    base::HttpRequest req;
    req.url = server.baseUrl() + "/old";
    auto stay = base::httpPerform(req);
    ASSERT_TRUE(stay.completed()) << stay.error;
    EXPECT_EQ(stay.status, 302);
    EXPECT_EQ(stay.header("location").value_or(""), "/new");

    req.followRedirects = true;
    auto moved = base::httpPerform(req);
    ASSERT_TRUE(moved.completed()) << moved.error;
    EXPECT_EQ(moved.status, 200);
    EXPECT_EQ(moved.body, "{}");
    EXPECT_EQ(moved.header("Content-Type").value_or(""), "application/json");
    EXPECT_FALSE(moved.header("X-Hop")) << "the redirect's own headers are not the answer's";
}

TEST(FailurePaths, EscapesAtTheEndOfTheTextAreDecodedAndBrokenOnesKept) {
    EXPECT_EQ(base::urlDecode("photos%2F"), "photos/");
    EXPECT_EQ(base::urlDecode("%41"), "A");
    EXPECT_EQ(base::urlDecode("100%"), "100%");
    EXPECT_EQ(base::urlDecode("%4"), "%4");
    EXPECT_EQ(base::urlDecode("%zz"), "%zz");
    EXPECT_EQ(base::urlEncode("a~b_c.d-e"), "a~b_c.d-e");
}

TEST(FailurePaths, NumbersThatDoNotFitAreRefusedNotWrapped) {
    auto j = base::parseJson(R"({"big":18446744073709551615,"max":9223372036854775807,"huge":1e300})");
    ASSERT_TRUE(j);
    EXPECT_FALSE(base::jsonInt(*j, "big"));
    EXPECT_EQ(base::jsonInt(*j, "max").value_or(0), INT64_MAX);
    EXPECT_FALSE(base::jsonInt(*j, "huge"));
}

TEST(FailurePaths, PropertyListDatesAndNullsReadBackAsWritten) {
    auto v = base::plistParse(R"(<?xml version="1.0"?><plist version="1.0"><dict>
        <key>when</key><date>2001-01-01T00:01:40Z</date></dict></plist>)");
    ASSERT_TRUE(v);
    EXPECT_EQ(base::plistDateSeconds((*v)["when"]), 978307200.0 + 100);
    // Property lists have no null: it is left out, not turned into something else.
    auto back = base::plistParse(base::plistToXml({{"list", {1, nullptr, 2}}, {"gone", nullptr}}));
    ASSERT_TRUE(back);
    EXPECT_EQ((*back)["list"], nlohmann::json({1, 2}));
    EXPECT_FALSE(back->contains("gone"));
}

TEST(FailurePaths, ARepeatingTimerThatFellBehindFiresOnceNotInABurst) {
    auto clock = std::make_shared<base::ManualTimeSource>();
    base::Scheduler s(clock);
    int ticks = 0;
    s.every(1s, nullptr, [&] { ++ticks; });
    clock->advance(999ms);
    EXPECT_EQ(ticks, 0);
    clock->advance(1ms);
    EXPECT_EQ(ticks, 1) << "a timer fires when its time has come, not after";
    clock->advance(30s);  // a machine that slept
    EXPECT_EQ(ticks, 2);
    clock->advance(1s);
    EXPECT_EQ(ticks, 3);
}

// A copy of the test program dies with the program that started it, as when
// a test program that ran out of time is killed, even when the thread that
// started it has ended.
TEST(FailurePaths, AChildProcessDiesWithItsParent) {
    using testsupport::ChildProcess;
    const std::string mode = ChildProcess::childMode() ? ChildProcess::childMode() : "";
    if (mode == "grandchild") {
        ChildProcess::report("ready");
        // Waits for a signal without watching its parent: only the parent's
        // death can end it before the minute's alarm does.
        ::alarm(60);
        ::pause();
        return;
    }
    if (mode == "middle") {
        std::unique_ptr<ChildProcess> grandchild;
        std::thread([&] { grandchild = std::make_unique<ChildProcess>("grandchild"); }).join();
        ASSERT_TRUE(grandchild->readReports([](const std::string& r) { return r == "ready\n"; }, 60s))
            << grandchild->output();
        ChildProcess::report(std::to_string(grandchild->pid()));
        ChildProcess::hear();  // until killed
        return;
    }
    ChildProcess middle("middle");
    ASSERT_TRUE(middle.readReports([](const std::string& r) { return r.ends_with("\n"); }, 60s)) << middle.output();
    const pid_t grandchild = std::stoi(middle.reports());
    const int fd = static_cast<int>(::syscall(SYS_pidfd_open, grandchild, 0));
    ASSERT_GE(fd, 0);
    middle.kill();
    pollfd ended{fd, POLLIN, 0};
    EXPECT_EQ(::poll(&ended, 1, 30000), 1) << "the grandchild outlived its parent";
    ::close(fd);
}
