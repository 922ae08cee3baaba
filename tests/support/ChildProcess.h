#pragma once
// A fresh copy of the running test program with only one test selected, for
// tests that kill, limit or outlive a copy of themselves. It is started with
// exec, never as a bare fork: a forked copy of a process whose threads hold
// locks (the thread pool's, the allocator's) can deadlock on them.
//
// The child finds its mode with childMode(), and exchanges lines with the
// parent over a socket; what it prints goes to a buffer the parent can show
// when something went wrong.
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

class ChildProcess {
public:
    using Env = std::vector<std::pair<std::string, std::string>>;

    // Runs `test` ("Suite.Name"; by default the test running now) in a new
    // process, with `mode` and `env` in its environment.
    explicit ChildProcess(const std::string& mode, const Env& env = {}, std::string test = {});
    ~ChildProcess();  // a child still running is killed
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

    // Reads reports until `enough` holds for all read so far, the child
    // closes its end, or `timeout` passes; whether `enough` held.
    bool readReports(const std::function<bool(const std::string&)>& enough, std::chrono::milliseconds timeout);
    // Reads until the child closes its end (it ended) or `timeout` passes.
    void readAllReports(std::chrono::milliseconds timeout);
    const std::string& reports() const { return reports_; }
    std::vector<std::string> reportLines() const;
    // One line to the child.
    bool tell(const std::string& line);

    // The child's wait status once it has ended by itself; nullopt when it
    // was still running at the deadline (it is killed then).
    std::optional<int> wait(std::chrono::milliseconds timeout);
    // Ended by itself with exit status 0 within `timeout`.
    bool succeeds(std::chrono::milliseconds timeout);
    // Kills a child still running; its wait status, -1 when none was running.
    int kill();
    // What the child printed.
    std::string output() const;

    // In a child: the mode it was started with; null in the test run itself.
    static const char* childMode();
    // In a child: one line to the parent; false once the parent is gone.
    static bool report(const std::string& line);
    // In a child: waits for the parent's next line; nullopt once it is gone.
    static std::optional<std::string> hear();
    // In a child: no file may grow past `bytes`, as on a full disk; a write
    // beyond fails with EFBIG.
    static void limitFileSize(std::size_t bytes);

private:
    pid_t pid_ = -1;
    int socket_ = -1;
    int outputFd_ = -1;
    std::string reports_;
};

}  // namespace testsupport
