// What every thread of a program with the crash kit gets: an alternate
// signal stack of its own, and the fault signals left deliverable.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <latch>
#include <thread>

namespace {

const int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGSYS};
const int kOtherSignals[] = {SIGUSR1, SIGTERM, SIGINT, SIGCHLD, SIGRTMIN + 1};

bool mapped(const void* address) {
    auto page = reinterpret_cast<std::uintptr_t>(address) & ~static_cast<std::uintptr_t>(::getpagesize() - 1);
    unsigned char resident;
    return ::mincore(reinterpret_cast<void*>(page), 1, &resident) == 0 || errno != ENOMEM;
}

sigset_t currentMask() {
    sigset_t mask;
    pthread_sigmask(SIG_SETMASK, nullptr, &mask);
    return mask;
}

void expectOnlyOthersBlocked(const sigset_t& mask) {
    for (int s : kFaultSignals) EXPECT_FALSE(sigismember(&mask, s)) << s;
    for (int s : kOtherSignals) EXPECT_TRUE(sigismember(&mask, s)) << s;
}

TEST(ThreadGuards, EveryThreadHasItsOwnAlternateStackWithAGuardPageFreedAtItsEnd) {
    stack_t seen[2] = {};
    std::latch bothLooked(2);
    auto look = [&](int i) {
        // Both alive at once, so neither can reuse the other's stack.
        struct Arrive {
            std::latch& latch;
            ~Arrive() { latch.arrive_and_wait(); }
        } arrive{bothLooked};
        ASSERT_EQ(sigaltstack(nullptr, &seen[i]), 0);
        ASSERT_EQ(seen[i].ss_flags & SS_DISABLE, 0);
        ASSERT_GE(seen[i].ss_size, 64u * 1024);
        // Writable to its top, and the page below it is a guard.
        static_cast<volatile char*>(seen[i].ss_sp)[seen[i].ss_size - 1] = 1;
        EXPECT_TRUE(mapped(seen[i].ss_sp));
        char* below = static_cast<char*>(seen[i].ss_sp) - 1;
        EXPECT_TRUE(mapped(below));
    };
    std::thread a(look, 0), b(look, 1);
    a.join();
    b.join();
    ASSERT_NE(seen[0].ss_sp, nullptr);
    EXPECT_NE(seen[0].ss_sp, seen[1].ss_sp);
    for (const auto& stack : seen) {
        EXPECT_FALSE(mapped(stack.ss_sp)) << "the alternate stack outlived its thread";
        EXPECT_FALSE(mapped(static_cast<char*>(stack.ss_sp) - 1)) << "the guard page outlived its thread";
    }
}

// A guard page is one no access reaches: a read of it faults. Checked in a
// child so that the fault ends only the child.
TEST(ThreadGuards, ThePageBelowTheAlternateStackCannotBeRead) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::signal(SIGSEGV, SIG_DFL);
        std::thread t([] {
            stack_t stack;
            sigaltstack(nullptr, &stack);
            if (stack.ss_flags & SS_DISABLE) ::_exit(3);
            volatile char c = static_cast<volatile char*>(stack.ss_sp)[-1];
            (void)c;
            ::_exit(0);
        });
        t.join();
        ::_exit(4);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV) << status;
}

TEST(ThreadGuards, BlockingEverySignalLeavesTheFaultSignalsDeliverable) {
    std::thread([] {
        sigset_t all, previous;
        sigfillset(&all);
        ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &all, &previous), 0);
        expectOnlyOthersBlocked(currentMask());
        // What was blocked before is what the call reports.
        for (int s : kOtherSignals) EXPECT_FALSE(sigismember(&previous, s)) << s;
        // Unblocking still unblocks.
        sigset_t usr1;
        sigemptyset(&usr1);
        sigaddset(&usr1, SIGUSR1);
        ASSERT_EQ(pthread_sigmask(SIG_UNBLOCK, &usr1, nullptr), 0);
        sigset_t now = currentMask();
        EXPECT_FALSE(sigismember(&now, SIGUSR1));
        EXPECT_TRUE(sigismember(&now, SIGTERM));

        sigset_t none;
        sigemptyset(&none);
        ASSERT_EQ(pthread_sigmask(SIG_SETMASK, &none, nullptr), 0);
        ASSERT_EQ(sigprocmask(SIG_SETMASK, &all, nullptr), 0);
        expectOnlyOthersBlocked(currentMask());
        ASSERT_EQ(sigprocmask(SIG_SETMASK, &none, nullptr), 0);
        ASSERT_EQ(sigprocmask(SIG_BLOCK, &all, nullptr), 0);
        expectOnlyOthersBlocked(currentMask());
        // The caller's set is left as it was.
        for (int s : kFaultSignals) EXPECT_TRUE(sigismember(&all, s)) << s;
        // Bad arguments are refused as before.
        EXPECT_EQ(pthread_sigmask(12345, &all, nullptr), EINVAL);
        EXPECT_EQ(sigprocmask(12345, &all, nullptr), -1);
        EXPECT_EQ(errno, EINVAL);
    }).join();
}

// A thread started with every signal blocked in its attributes.
TEST(ThreadGuards, AThreadStartedWithEverySignalBlockedCanStillTakeAFault) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    sigset_t all;
    sigfillset(&all);
    ASSERT_EQ(pthread_attr_setsigmask_np(&attr, &all), 0);
    sigset_t seen;
    pthread_t thread;
    ASSERT_EQ(pthread_create(
                  &thread, &attr,
                  [](void* out) -> void* {
                      pthread_sigmask(SIG_SETMASK, nullptr, static_cast<sigset_t*>(out));
                      return nullptr;
                  },
                  &seen),
              0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
    expectOnlyOthersBlocked(seen);
}

}  // namespace
