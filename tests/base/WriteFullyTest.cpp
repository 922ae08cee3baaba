#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <thread>

#include "base/Files.h"

namespace {
void ignoreSignal(int) {}
}  // namespace

// A pipe takes far less than the data at once, so the writer sees short
// writes; a signal without SA_RESTART interrupts it while it waits.
TEST(WriteFully, GoesOnAfterShortWritesAndInterruptions) {
    struct sigaction action {};
    action.sa_handler = ignoreSignal;  // no SA_RESTART: a blocked write fails with EINTR
    struct sigaction saved {};
    ASSERT_EQ(::sigaction(SIGUSR2, &action, &saved), 0);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    std::string data(4 << 20, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + (i >> 12));

    std::atomic<bool> writing{true};
    std::atomic<pthread_t> writer{::pthread_self()};
    std::size_t written = 0;
    std::thread worker([&] {
        writer = ::pthread_self();
        written = base::writeFully(fds[1], data.data(), data.size());
        writing = false;
        ::close(fds[1]);
    });
    std::string received;
    char buffer[4096];
    int reads = 0;
    for (;;) {
        ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        received.append(buffer, static_cast<std::size_t>(n));
        if (++reads % 16 == 0 && writing) ::pthread_kill(writer.load(), SIGUSR2);
    }
    worker.join();
    ::close(fds[0]);
    ::sigaction(SIGUSR2, &saved, nullptr);
    EXPECT_EQ(written, data.size());
    EXPECT_TRUE(received == data);
}

TEST(WriteFully, ReportsHowMuchWentOutBeforeAnError) {
    EXPECT_EQ(base::writeFully(-1, "abc", 3), 0u);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(base::writeFully(-1, "", 0), 0u);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction saved {};
    ::sigaction(SIGPIPE, &ignore, &saved);
    EXPECT_EQ(base::writeFully(fds[1], "abc", 3), 0u);
    EXPECT_EQ(errno, EPIPE);
    ::sigaction(SIGPIPE, &saved, nullptr);
    ::close(fds[1]);
}
