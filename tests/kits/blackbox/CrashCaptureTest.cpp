// Real crashes of a child process, one per route, and what they leave behind.
#include <gtest/gtest.h>
#include <dlfcn.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <set>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include "ManyLibs.h"
#include "TempDir.h"
#include "base/Files.h"
#include "kits/blackbox/BBXSymbolication.h"

namespace {

std::string hex(const std::string& s) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : s) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

struct Crash {
    testsupport::TempDir dir;
    int status = 0;
    std::string out, err;

    bool killedBy(int signal) const { return WIFSIGNALED(status) && WTERMSIG(status) == signal; }
    // Every line of a record file, each of which must parse.
    std::vector<nlohmann::json> lines(const std::string& name) const {
        std::vector<nlohmann::json> result;
        std::ifstream in(dir.file(name));
        for (std::string line; std::getline(in, line);) {
            auto value = nlohmann::json::parse(line, nullptr, false);
            EXPECT_FALSE(value.is_discarded()) << name << ": " << line.substr(0, 200);
            result.push_back(value);
        }
        return result;
    }
    // The value under `key` of a file's record `index`; a failure (and null)
    // when there is no such record.
    nlohmann::json record(const std::string& name, std::size_t index, const char* key) const {
        auto all = lines(name);
        if (index < all.size() && all[index].is_object() && all[index].contains(key)) return all[index][key];
        ADD_FAILURE() << name << " has no record " << index << " holding \"" << key << "\"";
        return nullptr;
    }
};

// Runs the crasher; with `fromOutside`, sends it `signal` once it is ready;
// `onCoreRequest` is called with its process id when it asks for a core file.
void run(Crash& crash, const std::string& route, int fromOutside = 0,
         const std::function<void(pid_t)>& onCoreRequest = {}) {
    int out[2], err[2];
    ASSERT_EQ(::pipe(out), 0);
    ASSERT_EQ(::pipe(err), 0);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        ::close(out[0]);
        ::close(err[0]);
        ::execl(BLACKBOX_CRASHER_PATH, BLACKBOX_CRASHER_PATH, crash.dir.path().c_str(), route.c_str(), nullptr);
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    struct pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    bool sent = false, coreRequested = false;
    int open = 2;
    // Recording can fall silent for long on a loaded machine; only the run
    // as a whole has a limit, past which the crasher is ended and the test fails.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    for (;;) {
        if (open == 0) break;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        int ready = left.count() > 0 ? ::poll(fds, 2, static_cast<int>(left.count())) : 0;
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) {
            ADD_FAILURE() << "the crasher (" << route << ") did not end within two minutes";
            ::kill(pid, SIGKILL);
        }
        if (ready <= 0) break;
        for (int i = 0; i < 2; ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
            char buffer[4096];
            ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                fds[i].fd = -1;
                --open;
                continue;
            }
            (i == 0 ? crash.out : crash.err).append(buffer, static_cast<std::size_t>(n));
        }
        if (fromOutside && !sent && crash.out.find("READY") != std::string::npos) {
            ::kill(pid, fromOutside);
            sent = true;
        }
        if (onCoreRequest && !coreRequested && crash.out.find("CORE NOW") != std::string::npos) {
            coreRequested = true;
            onCoreRequest(pid);
        }
    }
    ::close(out[0]);
    ::close(err[0]);
    while (::waitpid(pid, &crash.status, 0) < 0 && errno == EINTR) {
    }
}

// The record file holds the crash record and then every process record, all
// complete, with the crashed thread and the named threads.
void expectCompleteRecord(const Crash& crash, const std::string& file, const char* first) {
    auto lines = crash.lines(file);
    const char* order[] = {first, "threads", "runtime", "dispatch_queue_names", "thread_names", "process_stats", "storage"};
    ASSERT_EQ(lines.size(), std::size(order)) << crash.err;
    for (std::size_t i = 0; i < lines.size(); ++i) EXPECT_TRUE(lines[i].contains(order[i])) << i;
    const auto& threads = lines[1]["threads"];
    const auto& names = lines[4]["thread_names"];
    ASSERT_EQ(threads.size(), names.size());
    int crashed = 0;
    std::set<std::string> named;
    for (std::size_t i = 0; i < threads.size(); ++i) {
        if (threads[i].value("crashed", false)) {
            ++crashed;
            EXPECT_GE(threads[i].at("stacktrace").size(), 2u);
        }
        named.insert(names[i].get<std::string>());
        if (names[i] == "bbx-worker-1" || names[i] == "bbx-worker-2") {
            EXPECT_GE(threads[i].at("stacktrace").size(), 2u) << "a parked thread was not read";
        }
        // A thread that blocks every signal is read with ptrace all the same.
        EXPECT_TRUE(threads[i].contains("registers")) << names[i] << "\n" << crash.err;
        EXPECT_FALSE(threads[i].contains("captured")) << names[i];
        if (names[i] == "bbx-blocked") {
            EXPECT_GE(threads[i].at("stacktrace").size(), 2u) << "a thread blocking all signals was not read";
        }
    }
    EXPECT_EQ(crashed, 1);
    EXPECT_TRUE(named.count("bbx-worker-1") && named.count("bbx-worker-2") && named.count("bbx-blocked"));
    EXPECT_EQ(lines[5]["process_stats"]["free_mem"], lines[5]["process_stats"]["freeMem"]);
    EXPECT_GT(lines[5]["process_stats"]["resident"].get<std::uint64_t>(), 0u);
    EXPECT_EQ(crash.err.find("HEAP CALL WHILE RECORDING"), std::string::npos);
    EXPECT_EQ(crash.err.find("HEAP CALL INSIDE THE LOADER WALK"), std::string::npos);
    EXPECT_NE(crash.err.find("CRASH CALLBACK"), std::string::npos);
}

std::string previous(int signal) {
    char text[32];
    std::snprintf(text, sizeof text, "PREVIOUS HANDLER %02d", signal);
    return text;
}

struct SignalRoute {
    const char* route;
    int signal;
    int fromOutside;
};

class SignalCapture : public ::testing::TestWithParam<SignalRoute> {};

TEST_P(SignalCapture, RecordsOnceAndDiesOfTheSignal) {
    Crash crash;
    run(crash, GetParam().route, GetParam().fromOutside);
    EXPECT_TRUE(crash.killedBy(GetParam().signal)) << crash.status << crash.err;
    expectCompleteRecord(crash, "signal.bbxrecord", "signal");
    auto record = crash.record("signal.bbxrecord", 0, "signal");
    EXPECT_EQ(record["number"], GetParam().signal);
    EXPECT_TRUE(record["time"].is_number_unsigned());
    // A handler without an alternate stack cannot run on an overflowed stack.
    if (std::string(GetParam().route) != "overflow") {
        EXPECT_NE(crash.err.find(previous(GetParam().signal)), std::string::npos) << crash.err;
    }
    EXPECT_FALSE(std::ifstream(crash.dir.file("exception.bbxrecord")).good());
}

INSTANTIATE_TEST_SUITE_P(Routes, SignalCapture,
                         ::testing::Values(SignalRoute{"segv", SIGSEGV, 0}, SignalRoute{"bus", SIGBUS, 0},
                                           SignalRoute{"fpe", SIGFPE, 0}, SignalRoute{"ill", SIGILL, 0},
                                           SignalRoute{"trap", SIGTRAP, 0}, SignalRoute{"abort", SIGABRT, 0},
                                           SignalRoute{"overflow", SIGSEGV, 0}, SignalRoute{"nullcall", SIGSEGV, 0},
                                           SignalRoute{"wait", SIGSEGV, SIGSEGV}, SignalRoute{"wait", SIGABRT, SIGABRT}),
                         [](const auto& info) {
                             return std::string(info.param.route) + (info.param.fromOutside ? "FromOutside" : "") +
                                    std::to_string(info.param.signal);
                         });

struct ExceptionRoute {
    const char* route;
    const char* name;
    const char* reason;
};

class ExceptionCapture : public ::testing::TestWithParam<ExceptionRoute> {};

TEST_P(ExceptionCapture, RecordsTheTypeAndReasonThenAborts) {
    Crash crash;
    run(crash, GetParam().route);
    EXPECT_TRUE(crash.killedBy(SIGABRT)) << crash.status << crash.err;
    expectCompleteRecord(crash, "exception.bbxrecord", "exception");
    auto record = crash.record("exception.bbxrecord", 0, "exception");
    EXPECT_EQ(record["type"], "c++");
    EXPECT_EQ(record["name"], hex(GetParam().name));
    EXPECT_EQ(record["reason"], hex(GetParam().reason));
    // The previous terminate handler ran after recording, and the abort that
    // followed was not recorded a second time.
    EXPECT_NE(crash.err.find("PREVIOUS TERMINATE"), std::string::npos) << crash.err;
    EXPECT_FALSE(std::ifstream(crash.dir.file("signal.bbxrecord")).good());
}

INSTANTIATE_TEST_SUITE_P(
    Routes, ExceptionCapture,
    ::testing::Values(ExceptionRoute{"runtime_error", "std::runtime_error", "boom \"quoted\""},
                      ExceptionRoute{"int", "int", ""}, ExceptionRoute{"cstring", "char const*", "a C string"},
                      ExceptionRoute{"string", "std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> >",
                                     "a std::string"},
                      ExceptionRoute{"custom", "crasher::BoothFailure", ""},
                      ExceptionRoute{"noexcept", "std::logic_error", "from noexcept"}),
    [](const auto& info) { return std::string(info.param.route); });

TEST(CrashCapture, ABareTerminateIsRecordedAsTheAbortThatFollows) {
    Crash crash;
    run(crash, "terminate");
    EXPECT_TRUE(crash.killedBy(SIGABRT));
    EXPECT_NE(crash.err.find("PREVIOUS TERMINATE"), std::string::npos);
    expectCompleteRecord(crash, "signal.bbxrecord", "signal");
}

TEST(CrashCapture, TwoThreadsCrashingAtOnceGiveOneRecord) {
    for (int round = 0; round < 3; ++round) {
        Crash crash;
        run(crash, "together");
        EXPECT_TRUE(crash.killedBy(SIGSEGV)) << crash.status;
        auto lines = crash.lines("signal.bbxrecord");
        ASSERT_EQ(lines.size(), 7u);
        int crashed = 0;
        for (const auto& t : lines[1]["threads"]) crashed += t.value("crashed", false) ? 1 : 0;
        EXPECT_EQ(crashed, 1);
    }
}

// The name and frames of the thread the record marks as crashed.
std::pair<std::string, nlohmann::json> crashedThread(const Crash& crash) {
    auto lines = crash.lines("signal.bbxrecord");
    if (lines.size() < 5) return {};
    const auto& threads = lines[1]["threads"];
    const auto& names = lines[4]["thread_names"];
    for (std::size_t i = 0; i < threads.size() && i < names.size(); ++i)
        if (threads[i].value("crashed", false)) return {names[i].get<std::string>(), threads[i].at("stacktrace")};
    return {};
}

// A thread that exhausts its own stack is recorded from an alternate stack of
// its own, whether it started before crash reporting or after.
TEST(CrashCapture, AStackOverflowOnAnyThreadIsRecorded) {
    for (const char* route : {"threadoverflow-before", "threadoverflow-after"}) {
        SCOPED_TRACE(route);
        Crash crash;
        run(crash, route);
        EXPECT_TRUE(crash.killedBy(SIGSEGV)) << crash.status << crash.err;
        expectCompleteRecord(crash, "signal.bbxrecord", "signal");
        auto [name, frames] = crashedThread(crash);
        EXPECT_EQ(name, "bbx-overflow");
        // Deep in the recursion: every frame the unwinder could read.
        EXPECT_GE(frames.size(), 100u);
        if (frames.size() >= 3) {
            EXPECT_EQ(frames[1], frames[2]);
        }
    }
}

// The kernel ends a thread that faults with the fault's signal blocked
// without running any handler; the kit keeps those signals deliverable.
TEST(CrashCapture, AFaultOnAThreadThatBlocksEverySignalIsRecorded) {
    Crash crash;
    run(crash, "blockedsegv");
    EXPECT_TRUE(crash.killedBy(SIGSEGV)) << crash.status << crash.err;
    expectCompleteRecord(crash, "signal.bbxrecord", "signal");
    EXPECT_EQ(crashedThread(crash).first, "bbx-blocks-all");
    EXPECT_NE(crash.err.find(previous(SIGSEGV)), std::string::npos) << crash.err;
}

// A failed assertion and a fatal heap check leave the C library's message.
TEST(CrashCapture, TheCLibrarysAbortMessageIsACrashInfoEntry) {
    const std::pair<const char*, const char*> cases[] = {
        {"assert", "blackbox_crasher: Crasher.cpp:42: compose: Assertion `photos.size() == 4' failed."},
        {"badfree", "free(): invalid pointer"}};
    for (const auto& [route, message] : cases) {
        SCOPED_TRACE(route);
        Crash crash;
        run(crash, route);
        EXPECT_TRUE(crash.killedBy(SIGABRT)) << crash.status << crash.err;
        expectCompleteRecord(crash, "signal.bbxrecord", "signal");
        auto lines = crash.lines("signal.bbxrecord");
        ASSERT_GE(lines.size(), 3u);
        EXPECT_EQ(lines[2]["runtime"]["crash_info_entries"], nlohmann::json::array({hex(message)}));
    }
    // Without an abort message the entries stay empty.
    Crash plain;
    run(plain, "segv");
    auto lines = plain.lines("signal.bbxrecord");
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[2]["runtime"]["crash_info_entries"], nlohmann::json::array());
}

// Where ptrace is refused, the suspension signal still reads the threads
// that let it in; one that blocks it is marked as not captured, without
// registers of zero.
TEST(CrashCapture, WithoutPtraceParkedThreadsAreReadAndTheRestMarkedNotCaptured) {
    Crash crash;
    run(crash, "noptrace-segv");
    EXPECT_TRUE(crash.killedBy(SIGSEGV)) << crash.status << crash.err;
    auto lines = crash.lines("signal.bbxrecord");
    ASSERT_EQ(lines.size(), 7u) << crash.err;
    const auto& threads = lines[1]["threads"];
    const auto& names = lines[4]["thread_names"];
    ASSERT_EQ(threads.size(), names.size());
    int blocked = 0;
    for (std::size_t i = 0; i < threads.size(); ++i) {
        if (names[i] == "bbx-blocked") {
            ++blocked;
            EXPECT_EQ(threads[i].value("captured", true), false);
            EXPECT_FALSE(threads[i].contains("registers"));
            EXPECT_TRUE(threads[i].at("stacktrace").empty());
        } else {
            EXPECT_FALSE(threads[i].contains("captured")) << names[i];
            EXPECT_GE(threads[i].at("stacktrace").size(), 2u) << names[i];
        }
    }
    EXPECT_EQ(blocked, 1);
}

TEST(CrashCapture, ASmashedStackPointerStillRecordsTheProgramCounter) {
    Crash crash;
    run(crash, "smashsp");
    EXPECT_TRUE(crash.killedBy(SIGSEGV)) << crash.status << crash.err;
    auto lines = crash.lines("signal.bbxrecord");
    ASSERT_GE(lines.size(), 2u) << crash.err;
    int crashed = 0;
    for (const auto& t : lines[1]["threads"]) {
        if (!t.value("crashed", false)) continue;
        ++crashed;
        EXPECT_EQ(t.at("registers").at("rsp"), 0u);
        ASSERT_FALSE(t.at("stacktrace").empty());
        EXPECT_EQ(t.at("stacktrace")[0], t.at("registers").at("rip"));
        EXPECT_GE(t.at("stacktrace")[0].get<std::uint64_t>(), 4096u);
    }
    EXPECT_EQ(crashed, 1);
}

// A frame in a plugin the crashed run had opened is named at the next launch,
// where the plugin is not loaded, from the plugin's file; so are the
// program's, when the crash comes before the kit's image queue has written a
// single record.
TEST(CrashCapture, APluginFrameIsNamedAtTheNextLaunchWithoutThePluginLoaded) {
    for (const char* route : {"plugin", "pluginheld"}) {
        SCOPED_TRACE(route);
        Crash crash;
        ::setenv("BBX_TEST_PLUGIN", SYMBOL_PLUGIN_PATH, 1);
        run(crash, route);
        ::unsetenv("BBX_TEST_PLUGIN");
        ASSERT_TRUE(crash.killedBy(SIGSEGV)) << crash.status << crash.err;
        ASSERT_EQ(::dlopen(SYMBOL_PLUGIN_PATH, RTLD_NOW | RTLD_NOLOAD), nullptr);
        auto resolver = std::make_shared<BBXSymbolResolver>();
        ASSERT_TRUE(resolver->loadBinaryImagesFromFile(crash.dir.file("binary_images.bbxrecord")));
        auto thread = std::make_shared<BBXThreadArray>(1);
        auto records = crash.lines("signal.bbxrecord");
        ASSERT_GE(records.size(), 2u);
        for (const auto& t : records[1]["threads"])
            if (t.value("crashed", false))
                for (const auto& pc : t.at("stacktrace")) (*thread)[0].push_back(BBXStackFrame::stackFrameWithAddress(pc));
        BBXSymbolicationOperation symbolicate;
        symbolicate.threadArray = thread;
        symbolicate.symbolResolver = resolver;
        symbolicate.main();
        std::vector<std::string> names;
        for (const auto& frame : (*thread)[0]) names.push_back(frame.symbol.value_or("?") + " in " + frame.library.value_or("?"));
        ASSERT_GE(names.size(), 4u);
        EXPECT_EQ(names[0], "_ZN7crasher9crashSegvEv in blackbox_crasher");
        EXPECT_EQ(names[2], "symbolPluginCall in " + std::filesystem::path(SYMBOL_PLUGIN_PATH).filename().string());
        EXPECT_EQ(names[3], "main in blackbox_crasher");
    }
}

// Six hundred libraries, more than the image list holds: the crash in the
// last one, opened after the last loader call the kit saw, still names its
// frame from the load record the crash path writes, and the full list is
// said once in the kit's log, not at every later call.
TEST(CrashCapture, AFrameInALibraryBeyondTheImageListIsNamed) {
    Crash crash;
    testsupport::TempDir libraries;
    blackboxtest::writeManyLibs(libraries.path(), 600);
    ::setenv("BBX_TEST_LIBDIR", libraries.path().c_str(), 1);
    run(crash, "manylibs");
    ::unsetenv("BBX_TEST_LIBDIR");
    ASSERT_TRUE(crash.killedBy(SIGSEGV)) << crash.status << crash.err;
    auto resolver = std::make_shared<BBXSymbolResolver>();
    ASSERT_TRUE(resolver->loadBinaryImagesFromFile(crash.dir.file("binary_images.bbxrecord")));
    std::optional<std::uint64_t> pc;
    for (const auto& t : crash.record("signal.bbxrecord", 1, "threads"))
        if (t.value("crashed", false) && !t.at("stacktrace").empty()) pc = t.at("stacktrace")[0].get<std::uint64_t>();
    ASSERT_TRUE(pc);
    auto frame = BBXStackFrame::stackFrameWithAddress(*pc);
    ASSERT_TRUE(resolver->updateStackFrame(frame, false));
    EXPECT_EQ(frame.symbol.value_or("?") + " in " + frame.library.value_or("?"), "manyLibCrash in libbbx_many_599.so");
    std::ifstream log(crash.dir.file("sdk.log"));
    int full = 0;
    for (std::string line; std::getline(log, line);) full += line.find("Unable to track") != std::string::npos;
    EXPECT_EQ(full, 1);
}

// A plugin opened and closed before the crash leaves its load and its unload
// in the image records, in that order.
TEST(CrashCapture, APluginOpenedAndClosedBeforeTheCrashIsInTheImageRecords) {
    Crash crash;
    ::setenv("BBX_TEST_PLUGIN", SYMBOL_PLUGIN_PATH, 1);
    run(crash, "loadunload");
    ::unsetenv("BBX_TEST_PLUGIN");
    ASSERT_TRUE(crash.killedBy(SIGSEGV)) << crash.status << crash.err;
    std::vector<std::string> events;
    nlohmann::json loaded;
    for (const auto& record : crash.lines("binary_images.bbxrecord")) {
        for (const char* event : {"load", "unload"}) {
            if (!record.contains(event) || record[event].at("path") != SYMBOL_PLUGIN_PATH) continue;
            events.push_back(event);
            if (events.size() == 1) loaded = record[event];
            else EXPECT_EQ(record[event], loaded);
        }
    }
    EXPECT_EQ(events, (std::vector<std::string>{"load", "unload"}));
    EXPECT_EQ(loaded["uuid"].get<std::string>().size(), 40u);
}

// A library closed while the program ends is recorded without harm.
TEST(CrashCapture, ALibraryClosedAtExitEndsTheProgramCleanly) {
    Crash crash;
    ::setenv("BBX_TEST_PLUGIN", SYMBOL_PLUGIN_PATH, 1);
    run(crash, "exitclose");
    ::unsetenv("BBX_TEST_PLUGIN");
    EXPECT_TRUE(WIFEXITED(crash.status) && WEXITSTATUS(crash.status) == 0) << crash.status << crash.err;
    EXPECT_NE(crash.err.find("CLOSED AT EXIT"), std::string::npos) << crash.err;
}

// Each thread of a queue or pool names its queue: the crashed one the serial
// queue whose task crashed, the kit's own queues theirs.
TEST(CrashCapture, QueueThreadsNameTheirQueues) {
    Crash crash;
    run(crash, "queue");
    ASSERT_TRUE(crash.killedBy(SIGSEGV)) << crash.status << crash.err;
    auto lines = crash.lines("signal.bbxrecord");
    ASSERT_GE(lines.size(), 5u) << crash.err;
    const auto& threads = lines[1]["threads"];
    const auto& queues = lines[3]["dispatch_queue_names"];
    const auto& names = lines[4]["thread_names"];
    ASSERT_EQ(queues.size(), threads.size());
    std::multiset<std::string> labels;
    for (std::size_t i = 0; i < threads.size(); ++i) {
        labels.insert(queues[i].get<std::string>());
        if (threads[i].value("crashed", false)) {
            EXPECT_EQ(queues[i], "bbx.test.queue");
        }
        if (names[i] == "bbx-worker-1" || names[i] == "bbx-blocked") {
            EXPECT_EQ(queues[i], "");
        }
        if (queues[i] == "bbx.test.pool") {
            EXPECT_TRUE(names[i] == "bbx.test.pool-1" || names[i] == "bbx.test.pool-2") << names[i];
        }
    }
    EXPECT_EQ(labels.count("bbx.test.pool"), 2u);
    EXPECT_EQ(labels.count("io.blackbox.mac.binary-images"), 1u);
    EXPECT_EQ(labels.count("io.blackbox.mac.logging"), 1u);
}

// The crashed frames name the functions addr2line names for the same addresses.
TEST(CrashCapture, CrashedFramesAgreeWithAddr2line) {
    Crash crash;
    run(crash, "segv");
    auto lines = crash.lines("signal.bbxrecord");
    ASSERT_GE(lines.size(), 2u) << crash.err;
    std::uint64_t base = 0;
    for (const auto& s : crash.lines("binary_images.bbxrecord"))
        if (s.contains("load") && s["load"].at("path").get<std::string>().find("blackbox_crasher") != std::string::npos)
            base = s["load"].at("base");
    ASSERT_NE(base, 0u);
    std::vector<std::string> functions;
    for (const auto& t : lines[1]["threads"]) {
        if (!t.value("crashed", false)) continue;
        for (const auto& pc : t.at("stacktrace")) {
            auto address = pc.get<std::uint64_t>();
            if (address < base || address - base > (1u << 24)) continue;  // outside the program
            char command[512];
            std::snprintf(command, sizeof command, "addr2line -f -C -e '%s' 0x%llx", BLACKBOX_CRASHER_PATH,
                          static_cast<unsigned long long>(address - base - (functions.empty() ? 0 : 1)));
            FILE* p = ::popen(command, "r");
            char name[512] = {};
            if (p && std::fgets(name, sizeof name, p)) functions.emplace_back(name, std::strcspn(name, "\n"));
            if (p) ::pclose(p);
        }
    }
    ASSERT_GE(functions.size(), 2u);
    EXPECT_EQ(functions[0], "crasher::crashSegv()");
    EXPECT_EQ(functions[1], "main");
}

// The crashed thread's frames agree with the debugger's backtrace of a core
// file. The core is written by the debugger itself while the crasher waits in
// its previous handler with the faulting frame on its stack, so the test does
// not depend on where this machine sends the cores of dying processes.
TEST(CrashCapture, CrashedFramesAgreeWithTheDebuggerOnTheCore) {
    Crash crash;
    std::string core = crash.dir.file("core");
    std::string gcoreOutput;
    run(crash, "segvcore", 0, [&](pid_t pid) {
        std::string command = "gcore -o '" + core + "' " + std::to_string(pid) + " 2>&1";
        FILE* p = ::popen(command.c_str(), "r");
        char line[512];
        while (p && std::fgets(line, sizeof line, p)) gcoreOutput += line;
        if (p) ::pclose(p);
        ::kill(pid, SIGKILL);
    });
    ASSERT_TRUE(crash.killedBy(SIGKILL)) << "the crasher never asked for its core: " << crash.status << crash.err;
    core.clear();  // gcore adds the process id to the name
    for (const auto& entry : std::filesystem::directory_iterator(crash.dir.path()))
        if (entry.path().filename().string().rfind("core", 0) == 0) core = entry.path();
    ASSERT_FALSE(core.empty()) << "gcore (from the gdb package) wrote no core file: " << gcoreOutput;
    std::ofstream(crash.dir.file("frames.gdb")) << "python\nf = gdb.newest_frame()\nwhile f is not None:\n"
                                                   "    print('PC %x' % f.pc())\n    f = f.older()\nend\n";
    std::string command = "gdb -batch -nx -q -x '" + crash.dir.file("frames.gdb") + "' '" + BLACKBOX_CRASHER_PATH +
                          "' '" + core + "' 2>/dev/null";
    std::vector<std::uint64_t> debugger;
    FILE* p = ::popen(command.c_str(), "r");
    ASSERT_NE(p, nullptr);
    char line[256];
    while (std::fgets(line, sizeof line, p))
        if (std::strncmp(line, "PC ", 3) == 0) debugger.push_back(std::stoull(line + 3, nullptr, 16));
    ::pclose(p);
    std::vector<std::uint64_t> ours;
    auto records = crash.lines("signal.bbxrecord");
    ASSERT_GE(records.size(), 2u);
    for (const auto& t : records[1]["threads"])
        if (t.value("crashed", false))
            for (const auto& pc : t.at("stacktrace")) ours.push_back(pc);
    ASSERT_GE(ours.size(), 3u);
    auto start = std::find(debugger.begin(), debugger.end(), ours[0]);
    ASSERT_NE(start, debugger.end()) << "the faulting PC is not in the debugger's backtrace";
    std::vector<std::uint64_t> expected(start, debugger.end());
    std::size_t n = std::min(expected.size(), ours.size());
    for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(ours[i], expected[i]) << "frame " << i;
    EXPECT_LE(expected.size(), ours.size() + 1);
}

}  // namespace
