#include "ChildProcess.h"
#include "Wait.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <thread>

extern char** environ;

namespace testsupport {

namespace {

constexpr const char* kModeVariable = "FLASHWREN_TEST_CHILD";
// The process id of the parent that started the child.
constexpr const char* kParentVariable = "FLASHWREN_TEST_PARENT";
// The child's end of the socket to its parent.
constexpr int kChildSocket = 3;

using Clock = std::chrono::steady_clock;

bool startsWithName(const std::string& entry, const std::string& name) {
    return entry.size() > name.size() && entry.compare(0, name.size(), name) == 0 && entry[name.size()] == '=';
}

// The parent's environment without what would make the child write the
// parent's result file, or run its one test in part or many times.
std::vector<std::string> childEnvironment(const std::string& mode, const ChildProcess::Env& env) {
    static const char* const kDropped[] = {"GTEST_OUTPUT",     "GTEST_SHARD_INDEX",       "GTEST_TOTAL_SHARDS",
                                           "GTEST_REPEAT",     "GTEST_SHARD_STATUS_FILE", kModeVariable,
                                           kParentVariable};
    std::vector<std::string> out;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        bool drop = false;
        for (const char* name : kDropped) drop |= startsWithName(entry, name);
        for (const auto& [name, value] : env) drop |= startsWithName(entry, name);
        if (!drop) out.push_back(std::move(entry));
    }
    out.push_back(std::string(kModeVariable) + "=" + mode);
    out.push_back(std::string(kParentVariable) + "=" + std::to_string(::getpid()));
    for (const auto& [name, value] : env) out.push_back(name + "=" + value);
    return out;
}

// Above the descriptors the child's set-up assigns, so that no move
// overwrites another's source.
int moveHigh(int fd) {
    int high = ::fcntl(fd, F_DUPFD_CLOEXEC, 10);
    ::close(fd);
    return high;
}

bool sendAll(int fd, const std::string& text) {
    for (std::size_t sent = 0; sent < text.size();) {
        ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

// A child dies with its parent: a test program killed at its time-out must
// not leave copies of itself running. The kernel sends the signal when the
// parent thread that started the child ends, not the process, so children
// are started from one thread that lasts as long as the process; and a
// parent that died before the signal was asked for is noticed here.
[[maybe_unused]] const bool kDiesWithParent = [] {
    const char* parent = std::getenv(kParentVariable);
    if (!parent || !std::getenv(kModeVariable)) return false;
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != static_cast<pid_t>(std::atol(parent))) ::_exit(1);
    return true;
}();

// Runs `job` on the starting thread and waits for it.
void onStartingThread(const std::function<void()>& job) {
    struct Starter {
        std::mutex mutex;
        std::condition_variable cv;
        const std::function<void()>* job = nullptr;
        std::uint64_t started = 0, finished = 0;
    };
    static Starter* const starter = [] {
        auto* s = new Starter;  // never destroyed: its thread runs until the process ends
        std::thread([s] {
            std::unique_lock lock(s->mutex);
            for (;;) {
                s->cv.wait(lock, [s] { return s->job != nullptr; });
                (*s->job)();
                s->job = nullptr;
                ++s->finished;
                s->cv.notify_all();
            }
        }).detach();
        return s;
    }();
    std::unique_lock lock(starter->mutex);
    starter->cv.wait(lock, [] { return starter->job == nullptr; });
    starter->job = &job;
    const std::uint64_t ticket = ++starter->started;
    starter->cv.notify_all();
    starter->cv.wait(lock, [ticket] { return starter->finished >= ticket; });
}

}  // namespace

ChildProcess::ChildProcess(const std::string& mode, const Env& env, std::string test) {
    if (test.empty()) {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        if (!info) return;
        test = std::string(info->test_suite_name()) + "." + info->name();
    }
    char self[4096] = {};
    if (::readlink("/proc/self/exe", self, sizeof self - 1) <= 0) return;
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return;
    socket_ = pair[0];
    const int childEnd = moveHigh(pair[1]);
    outputFd_ = moveHigh(::memfd_create("child-output", MFD_CLOEXEC));

    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_adddup2(&actions, outputFd_, 1);
    ::posix_spawn_file_actions_adddup2(&actions, outputFd_, 2);
    ::posix_spawn_file_actions_adddup2(&actions, childEnd, kChildSocket);
    std::vector<std::string> args = {self, "--gtest_filter=" + test};
    std::vector<std::string> variables = childEnvironment(mode, env);
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& v : variables) envp.push_back(v.data());
    envp.push_back(nullptr);
    pid_t pid = -1;
    if (childEnd >= 0 && outputFd_ >= 0) {
        onStartingThread([&] {
            if (::posix_spawn(&pid, self, &actions, nullptr, argv.data(), envp.data()) != 0) pid = -1;
        });
    }
    if (pid > 0) pid_ = pid;
    ::posix_spawn_file_actions_destroy(&actions);
    if (childEnd >= 0) ::close(childEnd);
}

ChildProcess::~ChildProcess() {
    kill();
    if (socket_ >= 0) ::close(socket_);
    if (outputFd_ >= 0) ::close(outputFd_);
}

bool ChildProcess::readReports(const std::function<bool(const std::string&)>& enough,
                               std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!enough(reports_)) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (socket_ < 0 || left.count() <= 0) return false;
        pollfd p{socket_, POLLIN, 0};
        int ready = ::poll(&p, 1, static_cast<int>(left.count()) + 1);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) continue;
        char chunk[4096];
        ssize_t n = ::read(socket_, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return enough(reports_);  // the child is gone
        reports_.append(chunk, static_cast<std::size_t>(n));
    }
    return true;
}

void ChildProcess::readAllReports(std::chrono::milliseconds timeout) {
    readReports([](const std::string&) { return false; }, timeout);
}

std::vector<std::string> ChildProcess::reportLines() const {
    std::vector<std::string> lines;
    for (std::size_t start = 0, end; (end = reports_.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(reports_.substr(start, end - start));
    return lines;
}

bool ChildProcess::tell(const std::string& line) { return socket_ >= 0 && sendAll(socket_, line + "\n"); }

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
    if (pid_ <= 0) return std::nullopt;
    if (auto status = waitForExit(pid_, timeout)) {
        pid_ = -1;
        return status;
    }
    kill();
    return std::nullopt;
}

bool ChildProcess::succeeds(std::chrono::milliseconds timeout) {
    auto status = wait(timeout);
    return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
}

int ChildProcess::kill() {
    if (pid_ <= 0) return -1;
    ::kill(pid_, SIGKILL);
    int status = -1;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return status;
}

std::string ChildProcess::output() const {
    std::string text;
    char chunk[4096];
    ssize_t n;
    for (off_t at = 0; outputFd_ >= 0 && (n = ::pread(outputFd_, chunk, sizeof chunk, at)) > 0; at += n)
        text.append(chunk, static_cast<std::size_t>(n));
    return text;
}

const char* ChildProcess::childMode() { return std::getenv(kModeVariable); }

bool ChildProcess::report(const std::string& line) { return sendAll(kChildSocket, line + "\n"); }

std::optional<std::string> ChildProcess::hear() {
    std::string line;
    char c;
    for (;;) {
        ssize_t n = ::read(kChildSocket, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return std::nullopt;
        if (c == '\n') return line;
        line.push_back(c);
    }
}

void ChildProcess::limitFileSize(std::size_t bytes) {
    ::signal(SIGXFSZ, SIG_IGN);  // the write fails instead of ending the process
    rlimit limit{static_cast<rlim_t>(bytes), static_cast<rlim_t>(bytes)};
    ::setrlimit(RLIMIT_FSIZE, &limit);
}

}  // namespace testsupport
