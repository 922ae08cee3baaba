// What every thread of a program with the crash kit gets: an alternate
// signal stack of its own, and the fault signals left deliverable.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <cstdint>
#include <fstream>
#include <latch>
#include <sstream>
#include <string>
#include <thread>

namespace {

const int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGSYS};
const int kOtherSignals[] = {SIGUSR1, SIGTERM, SIGINT, SIGCHLD, SIGRTMIN + 1};

// The permissions of the mapping holding `address` ("rw-p"), empty when none does.
std::string permissions(const void* address) {
    auto at = reinterpret_cast<std::uintptr_t>(address);
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        std::uintptr_t start = 0, end = 0;
        char dash;
        std::string perms;
        std::istringstream(line) >> std::hex >> start >> dash >> end >> perms;
        if (at >= start && at < end) return perms;
    }
    return "";
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
        EXPECT_EQ(permissions(seen[i].ss_sp), "rw-p");
        EXPECT_EQ(permissions(static_cast<char*>(seen[i].ss_sp) + seen[i].ss_size - 1), "rw-p");
        EXPECT_EQ(permissions(static_cast<char*>(seen[i].ss_sp) - 1), "---p");
    };
    std::thread a(look, 0), b(look, 1);
    a.join();
    b.join();
    ASSERT_NE(seen[0].ss_sp, nullptr);
    EXPECT_NE(seen[0].ss_sp, seen[1].ss_sp);
    for (const auto& stack : seen) {
        EXPECT_EQ(permissions(stack.ss_sp), "") << "the alternate stack outlived its thread";
        EXPECT_EQ(permissions(static_cast<char*>(stack.ss_sp) - 1), "") << "the guard page outlived its thread";
    }
}

TEST(ThreadGuards, BlockingEverySignalLeavesTheFaultSignalsDeliverable) {
    std::thread([] {
        sigset_t all, none, previous, now;
        sigfillset(&all);
        sigemptyset(&none);
        ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &all, &previous), 0);
        for (int s : kOtherSignals) EXPECT_FALSE(sigismember(&previous, s)) << s;
        pthread_sigmask(SIG_SETMASK, nullptr, &now);
        expectOnlyOthersBlocked(now);
        // The caller's set is left as it was, and unblocking still unblocks.
        for (int s : kFaultSignals) EXPECT_TRUE(sigismember(&all, s)) << s;
        ASSERT_EQ(pthread_sigmask(SIG_UNBLOCK, &all, nullptr), 0);
        pthread_sigmask(SIG_SETMASK, nullptr, &now);
        EXPECT_FALSE(sigismember(&now, SIGUSR1));

        ASSERT_EQ(sigprocmask(SIG_SETMASK, &all, nullptr), 0);
        pthread_sigmask(SIG_SETMASK, nullptr, &now);
        expectOnlyOthersBlocked(now);
        ASSERT_EQ(sigprocmask(SIG_SETMASK, &none, nullptr), 0);
        ASSERT_EQ(sigprocmask(SIG_BLOCK, &all, nullptr), 0);
        pthread_sigmask(SIG_SETMASK, nullptr, &now);
        expectOnlyOthersBlocked(now);
    }).join();
}

TEST(ThreadGuards, AThreadStartedWithEverySignalBlockedCanStillTakeAFault) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    sigset_t all, seen;
    sigfillset(&all);
    ASSERT_EQ(pthread_attr_setsigmask_np(&attr, &all), 0);
    pthread_t thread;
    auto body = [](void* out) -> void* {
        pthread_sigmask(SIG_SETMASK, nullptr, static_cast<sigset_t*>(out));
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attr, body, &seen), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
    expectOnlyOthersBlocked(seen);
}

}  // namespace
