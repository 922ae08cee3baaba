// Stacks walked from a signal on a spinning thread, compared with the
// system's own unwinder (backtrace) over the same stack.
#include <dlfcn.h>
#include <execinfo.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "TestContext.h"
#include "UnwindChain.h"
#include "kits/blackbox/crashtime/BBXBinaryImage.h"
#include "kits/blackbox/crashtime/BBXProcess.h"
#include "kits/blackbox/crashtime/BBXUnwind.h"

extern "C" {
volatile int unwindEntered = 0;
volatile int unwindRelease = 0;
}

namespace {

std::uint64_t ours[600];
int oursCount = 0;
void* reference[256];
int referenceCount = 0;

void onSignal(int, siginfo_t*, void* context) {
    BBXThreadState state;
    BBXThreadStateFromUContext(context, &state);
    BBXUnwindCursor cursor;
    BBXUnwindCursorInit(&cursor, &state);
    oursCount = 0;
    while (oursCount < 600 && BBXUnwindNextFrame(&cursor)) ours[oursCount++] = BBXUnwindGetPC(&cursor);
    referenceCount = ::backtrace(reference, 256);
    unwindRelease = 1;
}

struct Walk {
    std::vector<std::uint64_t> ours;
    std::vector<std::uint64_t> reference;  // from the interrupted frame on
};

// ThreadSanitizer holds a signal back until the receiving thread calls out
// of its own code, which the spinning leaf never does.
#ifdef __SANITIZE_THREAD__
#define SKIP_WHERE_SIGNALS_WAIT() GTEST_SKIP() << "signals to a spinning thread wait under ThreadSanitizer"
#else
#define SKIP_WHERE_SIGNALS_WAIT() (void)0
#endif

// Runs `body` on a thread, interrupts it in the spinning leaf and walks its stack.
Walk walk(const std::function<void()>& body, std::uint32_t strategies = BBXUnwindUseAll) {
    blackboxtest::reportDir();
    void* warm[4];
    ::backtrace(warm, 4);  // loads the system unwinder outside the handler
    struct sigaction action {};
    action.sa_sigaction = onSignal;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    sigaction(SIGUSR2, &action, nullptr);
    unwindEntered = 0;
    unwindRelease = 0;
    BBXUnwindSetStrategies(strategies);
    std::thread thread(body);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!unwindEntered && std::chrono::steady_clock::now() < deadline) sched_yield();
    pthread_kill(thread.native_handle(), SIGUSR2);
    thread.join();
    BBXUnwindSetStrategies(BBXUnwindUseAll);
    Walk w;
    w.ours.assign(ours, ours + oursCount);
    for (int i = 0; i < referenceCount; ++i) {
        if (reinterpret_cast<std::uint64_t>(reference[i]) != w.ours.front()) continue;
        for (int j = i; j < referenceCount; ++j) w.reference.push_back(reinterpret_cast<std::uint64_t>(reference[j]));
        break;
    }
    return w;
}

void expectSameFrames(const Walk& w, std::size_t atLeast) {
    ASSERT_FALSE(w.reference.empty()) << "the interrupted frame is not in the reference stack";
    ASSERT_GE(w.ours.size(), atLeast);
    std::size_t n = std::min(w.ours.size(), w.reference.size());
    for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(w.ours[i], w.reference[i]) << "frame " << i;
    EXPECT_LE(w.reference.size(), w.ours.size() + 1) << "the walk stopped early";
}

TEST(Unwind, AgreesWithTheSystemUnwinderAtEveryOptimisation) {
    SKIP_WHERE_SIGNALS_WAIT();
    for (int depth : {3, 40}) {
        SCOPED_TRACE(depth);
        {
            SCOPED_TRACE("-O0");
            expectSameFrames(walk([depth] { unwind_O0::run(depth); }), depth + 5u);
        }
        {
            SCOPED_TRACE("-O2 with frame pointers");
            expectSameFrames(walk([depth] { unwind_O2fp::run(depth); }), depth + 5u);
        }
        {
            SCOPED_TRACE("-O2");
            expectSameFrames(walk([depth] { unwind_O2::run(depth); }), depth + 5u);
        }
    }
}

TEST(Unwind, FramePointersAloneWalkAFramePointerBuild) {
    SKIP_WHERE_SIGNALS_WAIT();
    // The leaf's caller comes from the stack scan (whether or not the compiler
    // gave the leaf a frame), the rest from the chain.
    Walk w = walk([] { unwind_O2fp::run(10); }, BBXUnwindUseFramePointer | BBXUnwindUseStackScan);
    ASSERT_FALSE(w.reference.empty());
    // leaf, withAlloca, multiExit, eleven deep frames and run: all built with frame pointers.
    std::size_t chain = 15;
    ASSERT_GE(w.ours.size(), chain);
    for (std::size_t i = 0; i < chain; ++i) EXPECT_EQ(w.ours[i], w.reference[i]) << "frame " << i;
}

TEST(Unwind, ThroughTheCLibrary) {
    SKIP_WHERE_SIGNALS_WAIT();
    expectSameFrames(walk([] { unwind_O2::runQsort(); }), 5);
}

TEST(Unwind, ThroughALibraryOpenedAfterStart) {
    SKIP_WHERE_SIGNALS_WAIT();
    blackboxtest::reportDir();
    // Opened behind the kit's back (as the C library opens its own modules),
    // so only the crash path's scan finds it.
    using Open = void* (*)(const char*, int);
    void* plugin = reinterpret_cast<Open>(::dlsym(RTLD_NEXT, "dlopen"))(UNWIND_PLUGIN_PATH, RTLD_NOW);
    ASSERT_NE(plugin, nullptr) << ::dlerror();
    auto call = reinterpret_cast<int (*)(int (*)(void*), void*)>(::dlsym(plugin, "plugin_call"));
    ASSERT_NE(call, nullptr);
    // What the crash path does first: pick up images opened since launch.
    BBXImageEntry entry;
    EXPECT_FALSE(BBXBinaryImageSafeFindImageForAddress(reinterpret_cast<std::uint64_t>(call), &entry));
    EXPECT_GE(BBXBinaryImageScanLinkMap(nullptr), 1);
    EXPECT_TRUE(BBXBinaryImageSafeFindImageForAddress(reinterpret_cast<std::uint64_t>(call), &entry));
    EXPECT_EQ(BBXBinaryImageScanLinkMap(nullptr), 0);
    expectSameFrames(walk([call] { call(unwind_O2::spinCallback, nullptr); }), 4);
}

TEST(Unwind, StackScanFindsTheCallerOfAFramelessLeafWithoutTables) {
    SKIP_WHERE_SIGNALS_WAIT();
    Walk w = walk([] { unwind_O2noeh::run(2); });
    ASSERT_GE(w.ours.size(), 2u);
    auto start = reinterpret_cast<std::uint64_t>(unwind_O2noeh::withAllocaAddress());
    EXPECT_GT(w.ours[1], start);
    EXPECT_LT(w.ours[1], start + 200);
}

TEST(Unwind, ACallThroughANullPointerRecoversTheCaller) {
    blackboxtest::reportDir();
    std::uint64_t stack[4] = {reinterpret_cast<std::uint64_t>(&BBXUnwindNextFrame) + 1, 0, 0, 0};
    BBXThreadState state{};
    state.rip = 0;
    state.rsp = reinterpret_cast<std::uint64_t>(stack);
    BBXUnwindCursor cursor;
    ASSERT_TRUE(BBXUnwindCursorInit(&cursor, &state));
    ASSERT_TRUE(BBXUnwindNextFrame(&cursor));
    EXPECT_EQ(BBXUnwindGetPC(&cursor), 0u);
    ASSERT_TRUE(BBXUnwindNextFrame(&cursor));
    EXPECT_EQ(BBXUnwindGetPC(&cursor), stack[0]);
    EXPECT_EQ(cursor.state.rsp, state.rsp + 8);
}

TEST(Unwind, FramePointerChainsAreCappedAndMustClimb) {
    blackboxtest::reportDir();
    auto code = reinterpret_cast<std::uint64_t>(&BBXUnwindNextFrame) + 1;
    // 600 frames, each record pointing at the next one up the stack.
    std::vector<std::uint64_t> frames(1204);
    for (std::size_t i = 0; i < 600; ++i) {
        frames[2 * i] = reinterpret_cast<std::uint64_t>(&frames[2 * i + 2]);
        frames[2 * i + 1] = code;
    }
    BBXThreadState state{};
    state.rip = code;
    state.rsp = reinterpret_cast<std::uint64_t>(&frames[0]) - 64;
    state.rbp = reinterpret_cast<std::uint64_t>(&frames[0]);
    BBXUnwindSetStrategies(BBXUnwindUseFramePointer);
    BBXUnwindCursor cursor;
    BBXUnwindCursorInit(&cursor, &state);
    int count = 0;
    while (BBXUnwindNextFrame(&cursor)) ++count;
    EXPECT_EQ(count, 512);

    // A chain that points back down ends instead of looping.
    frames[2] = reinterpret_cast<std::uint64_t>(&frames[0]);
    BBXUnwindCursorInit(&cursor, &state);
    count = 0;
    while (BBXUnwindNextFrame(&cursor)) ++count;
    EXPECT_EQ(count, 3);
    BBXUnwindSetStrategies(BBXUnwindUseAll);

    // Unreadable stack: one frame only.
    state.rbp = 8;
    state.rsp = 4096 * 3;
    BBXUnwindCursorInit(&cursor, &state);
    count = 0;
    while (BBXUnwindNextFrame(&cursor)) ++count;
    EXPECT_EQ(count, 1);
}

TEST(Unwind, AScanThatLandsOnTheFrameRecordTakesTheSavedFramePointerToo) {
    // Interrupted in a function that has made its own frame and holds nothing
    // else on the stack: rsp and rbp both point at its frame record.
    blackboxtest::reportDir();
    auto code = reinterpret_cast<std::uint64_t>(&BBXUnwindNextFrame) + 1;
    std::uint64_t frames[6] = {};
    for (int i = 0; i < 3; ++i) {
        frames[2 * i] = i < 2 ? reinterpret_cast<std::uint64_t>(&frames[2 * i + 2]) : 0;
        frames[2 * i + 1] = code + 1 + static_cast<std::uint64_t>(i);
    }
    BBXThreadState state{};
    state.rip = code;
    state.rsp = state.rbp = reinterpret_cast<std::uint64_t>(&frames[0]);
    BBXThreadState scanned = state;
    ASSERT_TRUE(BBXUnwindStackScan(&scanned));
    EXPECT_EQ(scanned.rip, frames[1]);
    EXPECT_EQ(scanned.rsp, reinterpret_cast<std::uint64_t>(&frames[2]));
    EXPECT_EQ(scanned.rbp, frames[0]);

    BBXUnwindSetStrategies(BBXUnwindUseFramePointer | BBXUnwindUseStackScan);
    BBXUnwindCursor cursor;
    BBXUnwindCursorInit(&cursor, &state);
    std::vector<std::uint64_t> pcs;
    while (BBXUnwindNextFrame(&cursor)) pcs.push_back(BBXUnwindGetPC(&cursor));
    BBXUnwindSetStrategies(BBXUnwindUseAll);
    EXPECT_EQ(pcs, (std::vector<std::uint64_t>{code, frames[1], frames[3], frames[5]}));
}

TEST(ImageList, TracksLoadsAndUnloadsAndRefusesTheFiveHundredThirteenth) {
    blackboxtest::reportDir();
    // Work on a copy so the process's own images stay tracked.
    BBXImageEntry saved[BBXImageListCount];
    std::memcpy(saved, bbxWritableContext->images, sizeof saved);
    std::memset(bbxWritableContext->images, 0, sizeof saved);
    BBXImageDetails d{};
    d.textSize = 0x1000;
    for (int i = 0; i < BBXImageListCount; ++i) {
        d.loadAddress = 0x100000000ull + static_cast<std::uint64_t>(i) * 0x10000;
        ASSERT_TRUE(BBXBinaryImageAdd(&d));
    }
    d.loadAddress = 0x900000000ull;
    EXPECT_FALSE(BBXBinaryImageAdd(&d));
    BBXImageEntry e;
    EXPECT_FALSE(BBXBinaryImageSafeFindImageForAddress(0x900000010ull, &e));
    EXPECT_TRUE(BBXBinaryImageSafeFindImageForAddress(0x100010fffull, &e));
    EXPECT_EQ(e.loadAddress, 0x100010000ull);
    EXPECT_FALSE(BBXBinaryImageSafeFindImageForAddress(0x100011000ull, &e));  // load + size is outside
    EXPECT_TRUE(BBXBinaryImageRemove(0x100010000ull));
    EXPECT_FALSE(BBXBinaryImageSafeFindImageForAddress(0x100010800ull, &e));
    EXPECT_FALSE(BBXBinaryImageRemove(0x100010000ull));
    EXPECT_TRUE(BBXBinaryImageAdd(&d));  // the freed slot is reused
    std::memcpy(bbxWritableContext->images, saved, sizeof saved);
}

}  // namespace
