#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "LogCapture.h"
#include "ScopedLocale.h"
#include "TempDir.h"
#include "Wait.h"
#include "base/Executor.h"
#include "base/Files.h"
#include "base/Plist.h"
#include "core/UserDefaults.h"

#include <spdlog/sinks/ringbuffer_sink.h>
#include <spdlog/spdlog.h>

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

std::vector<fs::path> setAsideFiles(const std::string& dir) {
    std::vector<fs::path> out;
    for (auto& e : fs::directory_iterator(dir))
        if (e.path().filename().string().find(".corrupt-") != std::string::npos) out.push_back(e.path());
    return out;
}

}  // namespace

TEST(UserDefaults, ValuesOfEveryTypeSurviveTheFile) {
    testsupport::TempDir dir;
    std::string path = dir.file("s.plist");
    json values = {
        {"text", "héllo <&> \"quoted\""},
        {"negative", -42},
        {"large", 9007199254740993LL},
        {"real", 0.125},
        {"flag", true},
        {"list", json::array({1, "two", false})},
        {"dict", {{"inner", {{"deep", 3}}}}},
        {"data", json::binary({0, 1, 2, 255})},
    };
    {
        // A first start: no file yet, which is nothing to warn about.
        testsupport::LogCapture log;
        UserDefaults d(path);
        EXPECT_EQ(d.loadError(), "");
        EXPECT_TRUE(log.lines("", spdlog::level::warn).empty()) << log.lines("", spdlog::level::warn)[0].text;
        for (auto& [k, v] : values.items()) d.set(k, v);
    }
    UserDefaults again(path);
    EXPECT_EQ(again.loadError(), "");
    for (auto& [k, v] : values.items()) {
        auto got = again.object(k);
        ASSERT_TRUE(got.has_value()) << k;
        EXPECT_EQ(*got, v) << k;
    }
}

TEST(UserDefaults, LenientTypedReads) {
    testsupport::TempDir dir;
    UserDefaults d(dir.file("s.plist"));
    d.set("yes", "YES");
    d.set("no", "NO");
    d.set("num-text", "12.5");
    d.set("int", 7);
    EXPECT_TRUE(d.boolean("yes"));
    EXPECT_FALSE(d.boolean("no"));
    EXPECT_TRUE(d.boolean("int"));
    EXPECT_EQ(d.integer("num-text"), 12);
    EXPECT_DOUBLE_EQ(d.real("num-text"), 12.5);
    EXPECT_EQ(d.string("int"), "7");
    EXPECT_EQ(d.integer("missing", 5), 5);
}

TEST(UserDefaults, RegisteredDefaultsStandBehindStoredValues) {
    testsupport::TempDir dir;
    UserDefaults d(dir.file("s.plist"));
    d.registerDefaults({{"AUDIO_VOICE", "None"}, {"COUNT", 3}});
    EXPECT_EQ(d.string("AUDIO_VOICE"), "None");
    d.set("AUDIO_VOICE", "Custom");
    EXPECT_EQ(d.string("AUDIO_VOICE"), "Custom");
    d.set("AUDIO_VOICE", nullptr);  // null removes
    EXPECT_EQ(d.string("AUDIO_VOICE"), "None");
    EXPECT_TRUE(d.has("COUNT"));
    EXPECT_EQ(d.dictionaryRepresentation(), json::object());  // registered values are not stored
}

TEST(UserDefaults, StandardStoreLivesInTheConfigFolderWithTheShippedDefaults) {
    testsupport::ScopedHome home;
    auto& d = UserDefaults::standard();
    EXPECT_EQ(d.path(), home.path() + "/.config/Flashwren/Flashwren.plist");
    EXPECT_EQ(d.string("AUDIO_VOICE"), "None");
    EXPECT_EQ(d.string("IS_INTERNET_RECHABLE"), "NO");
    d.set("k", 1);
    EXPECT_TRUE(d.synchronize());
    EXPECT_TRUE(fs::exists(d.path()));
}

TEST(UserDefaults, ConcurrentWritersLoseNothing) {
    testsupport::TempDir dir;
    std::string path = dir.file("s.plist");
    UserDefaults d(path);
    constexpr int kThreads = 6, kKeys = 25;
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop) (void)d.integer("t0-k0");
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&, t] {
            for (int k = 0; k < kKeys; ++k) d.set("t" + std::to_string(t) + "-k" + std::to_string(k), t * 1000 + k);
        });
    }
    for (auto& w : writers) w.join();
    stop = true;
    reader.join();
    ASSERT_TRUE(d.synchronize());

    UserDefaults reread(path);
    EXPECT_EQ(reread.loadError(), "");
    for (int t = 0; t < kThreads; ++t)
        for (int k = 0; k < kKeys; ++k)
            EXPECT_EQ(reread.integer("t" + std::to_string(t) + "-k" + std::to_string(k), -1), t * 1000 + k);
    // Nothing half-written is left behind.
    for (auto& e : fs::directory_iterator(dir.path())) EXPECT_EQ(e.path().filename(), "s.plist");
}

TEST(UserDefaults, TornFileIsSetAsideAndReported) {
    testsupport::TempDir dir;
    std::string path = dir.file("s.plist");
    {
        UserDefaults d(path);
        d.set("DATA_DIRECTORY", "/photos/");
        d.set("COUNT", 12);
    }
    std::string whole = *base::readFile(path);
    std::string torn = whole.substr(0, whole.size() / 2);
    { std::ofstream(path, std::ios::binary | std::ios::trunc) << torn; }

    UserDefaults d(path);
    EXPECT_NE(d.loadError(), "");
    EXPECT_FALSE(d.has("COUNT"));
    auto aside = setAsideFiles(dir.path());
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(*base::readFile(aside[0].string()), torn);  // kept as it was, for the operator

    d.set("COUNT", 1);  // the store goes on with a new file
    d.synchronize();
    EXPECT_EQ(UserDefaults(path).integer("COUNT"), 1);
    EXPECT_EQ(*base::readFile(aside[0].string()), torn);
}

TEST(UserDefaults, ObserversHearChangesOfTheirKey) {
    testsupport::TempDir dir;
    UserDefaults d(dir.file("s.plist"));
    std::vector<std::string> heard, all;
    auto id = d.observe("GREEN_SCREEN_ON", [&](const std::string& k) { heard.push_back(k); });
    d.observe("", [&](const std::string& k) { all.push_back(k); });
    d.set("GREEN_SCREEN_ON", 1);
    d.set("GREEN_SCREEN_ON", 1);  // unchanged: no call
    d.set("OTHER", "x");
    d.remove("GREEN_SCREEN_ON");
    d.remove("GREEN_SCREEN_ON");  // already gone: no call
    EXPECT_EQ(heard, (std::vector<std::string>{"GREEN_SCREEN_ON", "GREEN_SCREEN_ON"}));
    EXPECT_EQ(all, (std::vector<std::string>{"GREEN_SCREEN_ON", "OTHER", "GREEN_SCREEN_ON"}));
    d.unobserve(id);
    d.set("GREEN_SCREEN_ON", 2);
    EXPECT_EQ(heard.size(), 2u);
}

// A NUL byte in the file made the property-list library abort the booth at
// every start, before the file could be set aside.
TEST(UserDefaults, NulInsideTheFileIsDamageNotAnAbort) {
    using namespace std::string_literals;
    for (std::string bytes : {"<string>\0</string>"s, "<dict><key>PRINT\0ER</key><string>x</string></dict>"s}) {
        testsupport::TempDir dir;
        std::string path = dir.file("s.plist");
        { std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes; }
        UserDefaults d(path);
        EXPECT_NE(d.loadError(), "");
        auto aside = setAsideFiles(dir.path());
        ASSERT_EQ(aside.size(), 1u);
        EXPECT_EQ(*base::readFile(aside[0].string()), bytes);
        d.set("COUNT", 2);
        d.synchronize();
        EXPECT_EQ(UserDefaults(path).integer("COUNT"), 2);
    }
}

// The booth runs in the desktop's locale; a number kept as text reads with a
// point there too, as it did when it was written.
TEST(UserDefaults, TextNumbersReadWithAPointUnderACommaLocale) {
    testsupport::ScopedLocale comma("de_DE", "UTF-8");
    if (!comma.ok()) GTEST_SKIP() << "cannot build a de_DE locale";
    testsupport::TempDir dir;
    UserDefaults d(dir.file("s.plist"));
    d.set("DELAY", "1.5");
    d.set("LENIENT", " 2.25 seconds");
    EXPECT_EQ(d.real("DELAY"), 1.5);
    EXPECT_EQ(d.real("LENIENT"), 2.25);
}

namespace {

// Collects what is logged while it lives.
class LogLines {
public:
    LogLines() : sink_(std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(200)) {
        spdlog::default_logger()->sinks().push_back(sink_);
    }
    ~LogLines() {
        auto& sinks = spdlog::default_logger()->sinks();
        sinks.erase(std::remove(sinks.begin(), sinks.end(), sink_), sinks.end());
    }
    int naming(const std::string& key) const {
        int n = 0;
        for (auto& line : sink_->last_formatted())
            if (line.find(key) != std::string::npos) ++n;
        return n;
    }

private:
    std::shared_ptr<spdlog::sinks::ringbuffer_sink_mt> sink_;
};

}  // namespace

TEST(UserDefaults, HandEditedValuesOfTheWrongTypeOrRangeReadAsTheDefaultAndStayOnDisk) {
    testsupport::ScopedHome home;
    const std::string path = home.path() + "/.config/Flashwren/Flashwren.plist";
    fs::create_directories(fs::path(path).parent_path());
    const json edited = {
        {"MAX_PRINTS_PER_SESSION", 1e30},        // far beyond the cap of 10
        {"MAX_PRINTS_PER_EVENT", -5},            // below its range
        {"seconds_between_shots", "soon"},       // text where a number belongs
        {"seconds_between_groups", 12},          // a good value stays
        {"START_TEXT", json::array({"a", "b"})}, // a list where a text belongs
        {"LiveViewEnabled", json::object()},     // a dictionary where a flag belongs
        {"CAMERA_RESPONSE_TIMEOUT", json::binary({1, 2})},  // bytes where a number belongs
        {"ALBUM_NAME", 42},                      // a number where a text belongs
        {"print_automatically", "maybe"},        // text that says neither yes nor no
        {"SHOW_VIRTUAL_KEYBOARD", " yes "},      // a good value stays
    };
    ASSERT_TRUE(base::writeFileAtomically(path, base::plistToXml(edited), 0600, nullptr));
    const std::string before = *base::readFile(path);

    LogLines log;
    auto& d = UserDefaults::standard();
    for (int pass = 0; pass < 2; ++pass) {
        EXPECT_EQ(d.integer("MAX_PRINTS_PER_SESSION"), 10);
        EXPECT_EQ(d.integer("MAX_PRINTS_PER_EVENT"), 0);
        EXPECT_EQ(d.integer("seconds_between_shots"), 3);
        EXPECT_EQ(d.integer("seconds_between_groups"), 12);
        EXPECT_EQ(d.string("START_TEXT"), "Touch to start");
        EXPECT_TRUE(d.boolean("LiveViewEnabled"));
        EXPECT_EQ(d.integer("CAMERA_RESPONSE_TIMEOUT"), 20);
        EXPECT_DOUBLE_EQ(d.real("MAX_PRINTS_PER_SESSION"), 10);
        EXPECT_EQ(d.string("ALBUM_NAME"), "42");
        EXPECT_FALSE(d.boolean("print_automatically"));
        EXPECT_TRUE(d.boolean("SHOW_VIRTUAL_KEYBOARD"));
    }
    for (auto key : {"MAX_PRINTS_PER_SESSION", "MAX_PRINTS_PER_EVENT", "seconds_between_shots", "START_TEXT",
                     "LiveViewEnabled", "CAMERA_RESPONSE_TIMEOUT", "ALBUM_NAME", "print_automatically"})
        EXPECT_EQ(log.naming(key), 1) << key << " is reported once";
    EXPECT_EQ(log.naming("seconds_between_groups") + log.naming("SHOW_VIRTUAL_KEYBOARD"), 0);
    EXPECT_EQ(*base::readFile(path), before) << "reading wrote nothing back";

    // A new value is reported afresh when it is wrong again.
    d.set("seconds_between_shots", json::array());
    EXPECT_EQ(d.integer("seconds_between_shots"), 3);
    EXPECT_EQ(log.naming("seconds_between_shots"), 2);
}

// A binary settings file (as another program may leave it) is kept as it
// was written through the store's own save: a far date, an infinity. A wrong
// value's line shows control bytes escaped.
TEST(UserDefaults, WhatAFileHeldSurvivesTheStoresSave) {
    testsupport::TempDir dir;
    const std::string path = dir.file("s.plist");
    const json held = {{"WHEN", base::plistDate(-1577923200)},  // 1920-01-01
                       {"FAR", std::numeric_limits<double>::infinity()},
                       {"COUNT", "\x1b[2J12\nforged"}};
    std::string bytes = base::plistToBinary(held);
    ASSERT_TRUE(base::writeFileAtomically(path, bytes, 0600, nullptr));
    LogLines log;
    {
        UserDefaults d(path);
        EXPECT_EQ(d.integer("COUNT", 5), 5);
        d.set("OTHER", 1);
        ASSERT_TRUE(d.synchronize());
    }
    json expected = held;
    expected["OTHER"] = 1;
    EXPECT_EQ(UserDefaults(path).dictionaryRepresentation(), expected);
    EXPECT_EQ(log.naming("\x1b"), 0) << "a raw escape byte in the log";
    EXPECT_EQ(log.naming("\\x1b[2J12"), 1);
    EXPECT_EQ(log.naming("\nforged"), 0) << "a stored line break starts a log line of its own";
    EXPECT_EQ(log.naming("12\\x0aforged"), 1);
}

TEST(UserDefaults, RangesClampAndLenientReadsStay) {
    testsupport::TempDir dir;
    UserDefaults d(dir.file("s.plist"));
    d.registerDefaults({{"COUNT", 3}, {"NAME", "booth"}});
    d.registerRange("COUNT", 0, 10);
    for (auto [stored, read] : std::vector<std::pair<json, std::int64_t>>{
             {25, 10}, {-1, 0}, {7, 7}, {"8", 8}, {"12.5", 10}, {true, 1}, {9.7, 9}, {-1e300, 0},
             {"many", 3}, {json::array({1}), 3}, {json::binary({1}), 3}})
    {
        d.set("COUNT", stored);
        EXPECT_EQ(d.integer("COUNT"), read) << stored.dump();
    }
    // Without a registered default a wrong value reads as the caller's fallback.
    d.set("OTHER", json::array());
    EXPECT_EQ(d.integer("OTHER", 4), 4);
    EXPECT_EQ(d.string("OTHER", "x"), "x");
    EXPECT_FALSE(d.boolean("OTHER", false));
    d.set("HUGE", 1e30);  // no range: a number no integer holds
    EXPECT_EQ(d.integer("HUGE", 5), 5);
    d.set("HUGE", std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(d.integer("HUGE", 5), 5);
    EXPECT_EQ(d.string("HUGE"), "18446744073709551615");
    d.set("COUNT", std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(d.integer("COUNT"), 10);
    d.set("HUGE", 9.3e18);
    EXPECT_EQ(d.integer("HUGE", 5), 5);
    EXPECT_DOUBLE_EQ(d.real("HUGE"), 9.3e18);
    d.set("NAME", json::object());
    EXPECT_EQ(d.string("NAME"), "booth");
    d.set("NAME", 12);
    EXPECT_EQ(d.string("NAME"), "12");
}

// The green-screen live view changes the key colour with every frame: each
// change must cost the caller no disk write, and a burst is one write, not
// one per change. A folder that cannot be written makes every write attempt
// log a line, on the thread that made it.
TEST(UserDefaults, ChangesAreSeenAtOnceAndWrittenBehindTheCallerInFewWrites) {
    testsupport::TempDir dir;
    { std::ofstream(dir.file("not-a-folder")) << "x"; }
    testsupport::LogCapture log;
    UserDefaults d(dir.file("not-a-folder/s.plist"));
    constexpr int kChanges = 300;
    for (int i = 0; i < kChanges; ++i) {
        d.set("GREEN_SCREEN_KEY_COLOR", i);
        ASSERT_EQ(d.integer("GREEN_SCREEN_KEY_COLOR"), i) << "readers see each change at once";
    }
    std::vector<testsupport::LogCapture::Line> attempts;
    testsupport::waitUntil([&] { return !(attempts = log.lines("unable to write the settings")).empty(); });
    ASSERT_FALSE(attempts.empty()) << "the writer tried the file";
    const std::size_t me = spdlog::details::os::thread_id();
    for (auto& a : attempts) EXPECT_NE(a.thread, me) << "the caller wrote the file itself";
    EXPECT_LT(attempts.size(), std::size_t(kChanges / 10)) << "the burst was not coalesced";
    // A failed write is not retried in a loop: only a new change (or an
    // explicit synchronize, on the caller's thread) tries again.
    const auto before = log.lines("unable to write the settings").size();
    std::this_thread::sleep_for(UserDefaults::kWriteDelay * 3);
    EXPECT_EQ(log.lines("unable to write the settings").size(), before);
    EXPECT_FALSE(d.synchronize());
}

TEST(UserDefaults, SynchronizeAndTheLastOwnerPutEveryChangeOnDisk) {
    testsupport::TempDir dir;
    const std::string path = dir.file("s.plist");
    {
        UserDefaults d(path);
        d.set("A", 1);
        EXPECT_TRUE(d.synchronize());
        EXPECT_EQ(UserDefaults(path).integer("A"), 1);
        for (int i = 0; i < 50; ++i) d.set("B", i);
        d.remove("A");
    }  // no synchronize: the store's end writes what is pending
    UserDefaults reread(path);
    EXPECT_EQ(reread.integer("B", -1), 49);
    EXPECT_FALSE(reread.has("A"));
    for (auto& e : fs::directory_iterator(dir.path())) EXPECT_EQ(e.path().filename(), "s.plist");
}

// A booth killed outright (kill -9, power cut) inside a write loses at most
// the change being written, never the file, and what the killed write left
// behind is gone at the next start. The file-size limit ends the writer
// program in the middle of its write call, every time. A write of a
// process still alive (here this test's parent) is left alone.
TEST(UserDefaults, KilledInsideAWriteLeavesTheLastWholeFileAndNothingElse) {
    testsupport::TempDir dir;
    const std::string path = dir.file("s.plist");
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        struct rlimit limit{1 << 20, 1 << 20};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ::execl(SETTINGS_WRITER_PATH, SETTINGS_WRITER_PATH, path.c_str(), nullptr);
        ::_exit(127);
    }
    const auto ended = testsupport::waitForExit(child, std::chrono::seconds(60));
    if (!ended) {
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        FAIL() << "the writer never ended";
    }
    const int status = *ended;
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << "exit " << WEXITSTATUS(status);
    const std::string live = "s.plist.tmp-" + std::to_string(::getppid()) + "-0";
    { std::ofstream(dir.file(live)) << "half"; }
    // A write under way in another container (a sandboxed copy of the
    // booth): the number in its name is nobody here, and its writer holds
    // the lock a writer holds on its temporary file while it writes.
    const std::string elsewhere = "s.plist.tmp-2147483647-0";
    const int writing = ::open(dir.file(elsewhere).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(writing, 0);
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{writing};
    struct flock held {};
    held.l_type = F_WRLCK;
    held.l_whence = SEEK_SET;
    ASSERT_EQ(::fcntl(writing, F_OFD_SETLK, &held), 0) << std::strerror(errno);

    UserDefaults reread(path);
    EXPECT_EQ(reread.loadError(), "");
    EXPECT_EQ(reread.string("SETTLED"), "yes");
    EXPECT_FALSE(reread.has("GONE")) << "the removal was written";
    std::set<std::string> names;
    for (auto& e : fs::directory_iterator(dir.path())) names.insert(e.path().filename());
    EXPECT_EQ(names, (std::set<std::string>{"s.plist", live, elsewhere}));
}

// A booth in another container saving the same settings file while this
// one starts: the number in its temporary file's name is nobody here, and
// the lock its writer holds on that file is all that tells a save under way
// from one a killed writer left. The clean-up at the start leaves it, and
// the save lands.
TEST(UserDefaults, ASaveUnderWayInAnotherContainerSurvivesABoothsStart) {
    if (const char* path = testsupport::ChildProcess::childMode()) {
        static UserDefaults* const store = new UserDefaults(path);  // left alive, as the standard store is
        for (int save = 0;; ++save) {
            const std::string n = std::to_string(save);
            if (!testsupport::ChildProcess::report("saving " + n)) return;
            store->set("BIG", std::string(std::size_t{4} << 20, static_cast<char>('a' + save % 26)));
            if (!testsupport::ChildProcess::report((store->synchronize() ? "saved " : "lost ") + n)) return;
        }
    }
    testsupport::TempDir dir;
    const std::string path = dir.file("s.plist");
    testsupport::ChildProcess writer(path);
    ASSERT_TRUE(writer.readReports([](const std::string& r) { return r.find("saved") != std::string::npos; },
                                   std::chrono::seconds(60)))
        << writer.output();
    struct Resume {
        pid_t pid;
        ~Resume() { ::kill(pid, SIGCONT); }
    } resume{writer.pid()};
    const std::string prefix = "s.plist.tmp-" + std::to_string(writer.pid()) + "-";
    auto underWay = [&]() -> std::optional<fs::path> {
        std::error_code ec;
        for (auto& e : fs::directory_iterator(dir.path()))
            if (e.path().filename().string().starts_with(prefix) && fs::file_size(e.path(), ec) > 0 && !ec)
                return e.path();
        return std::nullopt;
    };
    auto stopped = [&] {
        const std::string text = base::readFile("/proc/" + std::to_string(writer.pid()) + "/stat").value_or("");
        const auto paren = text.rfind(')');
        return paren != std::string::npos && text.compare(paren, 3, ") T") == 0;
    };
    // The writer stopped inside a save, with data in its temporary file.
    std::optional<fs::path> temporary;
    for (int tries = 0; !temporary && tries < 100; ++tries) {
        ASSERT_TRUE(testsupport::waitUntil([&] { return underWay().has_value(); }, std::chrono::seconds(30)));
        ASSERT_EQ(::kill(writer.pid(), SIGSTOP), 0);
        ASSERT_TRUE(testsupport::waitUntil(stopped));
        if (!(temporary = underWay())) ::kill(writer.pid(), SIGCONT);
    }
    ASSERT_TRUE(temporary) << "the writer was never caught inside a save";
    // Its last word is the save it is inside.
    ASSERT_TRUE(writer.readReports(
        [](const std::string& r) { return r.size() > 1 && r.compare(r.rfind('\n', r.size() - 2) + 1, 7, "saving ") == 0; },
        std::chrono::seconds(30)))
        << writer.reports();
    const auto lines = writer.reportLines();
    const std::string save = lines.back().substr(7);

    char* argv[] = {const_cast<char*>(BOOTH_ELSEWHERE_PATH), const_cast<char*>(path.c_str()), nullptr};
    pid_t booth = -1;
    ASSERT_EQ(::posix_spawn(&booth, BOOTH_ELSEWHERE_PATH, nullptr, nullptr, argv, environ), 0);
    const auto status = testsupport::waitForExitOrKill(booth, std::chrono::seconds(60));
    ASSERT_TRUE(status) << "the booth elsewhere never started";
    if (WIFEXITED(*status) && WEXITSTATUS(*status) == 77) GTEST_SKIP() << "no namespace of its own can be made here";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
    EXPECT_TRUE(fs::exists(*temporary)) << "a save under way was taken for one left behind";

    ::kill(writer.pid(), SIGCONT);
    ASSERT_TRUE(writer.readReports(
        [&](const std::string& r) {
            return r.find("\nsaved " + save + "\n") != std::string::npos ||
                   r.find("\nlost " + save + "\n") != std::string::npos;
        },
        std::chrono::seconds(60)))
        << writer.reports();
    EXPECT_NE(writer.reports().find("\nsaved " + save + "\n"), std::string::npos) << "the save was lost";
}

// A program that changes a setting and exits at once (the standard store is
// never destroyed) still finds the change on disk, and its exit does not race
// the writer.
TEST(UserDefaults, AProgramThatExitsRightAfterAChangeKeepsIt) {
    if (const char* path = testsupport::ChildProcess::childMode()) {
        auto* store = new UserDefaults(path);  // left alive, as the standard store is
        store->set("LAST", "kept");
        std::exit(0);
    }
    testsupport::TempDir dir;
    const std::string path = dir.file("s.plist");
    testsupport::ChildProcess program(path);
    ASSERT_TRUE(program.succeeds(std::chrono::seconds(60))) << program.output();
    EXPECT_EQ(UserDefaults(path).string("LAST"), "kept");
}

// Crash reports and process lists name the thread that writes the settings.
TEST(UserDefaults, TheWriterThreadIsNamed) {
    testsupport::TempDir dir;
    UserDefaults d(dir.file("s.plist"));
    d.set("k", 1);
    EXPECT_TRUE(testsupport::waitUntil([] {
        for (auto& task : fs::directory_iterator("/proc/self/task"))
            if (base::readFile(task.path() / "comm").value_or("") == "settings-writer\n") return true;
        return false;
    })) << "no thread named settings-writer";
}

TEST(UserDefaults, ANumberBelowARangeThatTakesTheDefaultReadsAsTheDefault) {
    testsupport::TempDir dir;
    UserDefaults d(dir.file("s.plist"));
    d.registerDefaults({{"WARN_MB", 200}});
    d.registerRange("WARN_MB", 0, 1000, UserDefaults::BelowRange::UseDefault);
    LogLines log;
    for (auto [stored, read] : std::vector<std::pair<json, std::int64_t>>{
             {-5, 200}, {"-5", 200}, {-0.5, 200}, {0, 0}, {63, 63}, {5000, 1000}})
    {
        d.set("WARN_MB", stored);
        EXPECT_EQ(d.integer("WARN_MB"), read) << stored.dump();
    }
    d.set("WARN_MB", -7);
    EXPECT_DOUBLE_EQ(d.real("WARN_MB"), 200);
    EXPECT_EQ(log.naming("WARN_MB"), 5) << "each wrong value named once";
}
