#pragma once
// Waiting with a deadline. A test waits for what it needs to see, never for
// a fixed time: on a loaded machine any fixed time is too short.
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <optional>
#include <thread>

namespace testsupport {

// Until `done()` holds or `timeout` passes; whether it held. For state that
// offers nothing to block on (a file, a thread's name, a counter of another
// process), so it is looked at again every 2 ms.
template <class Condition>
bool waitUntil(Condition&& done, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// The wait status of child `pid` once it ends within `timeout`; nullopt when
// it is still running then (it is left running) or is no child of ours. The
// process's descriptor wakes the wait the moment the child ends.
inline std::optional<int> waitForExit(pid_t pid, std::chrono::milliseconds timeout) {
    const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0) return std::nullopt;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::optional<int> result;
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            result = status;
            break;
        }
        if (done < 0 && errno != EINTR) break;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fd, POLLIN, 0};
        ::poll(&p, 1, static_cast<int>(left.count()) + 1);
    }
    ::close(fd);
    return result;
}

// As waitForExit, for a child that must end by itself: one still running at
// the deadline is killed and reaped, so that no test leaves it behind.
inline std::optional<int> waitForExitOrKill(pid_t pid, std::chrono::milliseconds timeout) {
    if (auto status = waitForExit(pid, timeout)) return status;
    ::kill(pid, SIGKILL);
    waitForExit(pid, std::chrono::seconds(30));
    return std::nullopt;
}

}  // namespace testsupport
