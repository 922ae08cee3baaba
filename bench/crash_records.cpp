// Crash-time work: writing a threads record without heap or buffering (as
// the signal handler does) beside a plain write() of the same bytes, and
// walking a 40-frame stack beside the system unwinder (backtrace), and
// opening and closing a library through the kit's dlopen and dlclose (which
// record the image as it comes and goes) beside the C library's own.
#include <benchmark/benchmark.h>

#include <dlfcn.h>
#include <execinfo.h>
#include <fcntl.h>
#include <stdlib.h>
#include <ucontext.h>
#include <unistd.h>

#include <string>

#include "kits/blackbox/BBXContextSetup.h"
#include "kits/blackbox/crashtime/BBXFile.h"
#include "kits/blackbox/crashtime/BBXProcess.h"
#include "kits/blackbox/crashtime/BBXUnwind.h"

namespace {

constexpr int kThreads = 16, kFrames = 64;

std::string scratch() {
    static std::string dir = [] {
        char tmpl[] = "/tmp/crash-bench-XXXXXX";
        return std::string(::mkdtemp(tmpl));
    }();
    return dir;
}

void writeThreads(BBXFile* f) {
    BBXFileWriteSectionStart(f, "threads");
    BBXFileWriteArrayStart(f);
    for (int t = 0; t < kThreads; ++t) {
        BBXFileWriteHashStart(f);
        BBXFileWriteHashKey(f, "stacktrace");
        BBXFileWriteArrayStart(f);
        for (int i = 0; i < kFrames; ++i) BBXFileWriteArrayEntryUint64(f, 0x7f0000001000ull + t * 4096 + i * 17);
        BBXFileWriteArrayEnd(f);
        BBXFileWriteHashEnd(f);
    }
    BBXFileWriteArrayEnd(f);
    BBXFileWriteSectionEnd(f);
}

void recordFile(benchmark::State& state, bool buffered) {
    std::string path = scratch() + "/threads.bbxrecord";
    std::uint64_t bytes = 0;
    for (auto _ : state) {
        BBXFile f;
        BBXFileInitWithPathMode(&f, path.c_str(), false, buffered);
        writeThreads(&f);
        BBXFileCloseWithOffset(&f, &bytes);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}

void BM_ThreadsRecordUnbuffered(benchmark::State& state) { recordFile(state, false); }
void BM_ThreadsRecordBuffered(benchmark::State& state) { recordFile(state, true); }

// Baseline: the same record, already rendered, written with one write().
void BM_PlainWriteOfTheSameBytes(benchmark::State& state) {
    std::string path = scratch() + "/rendered.bbxrecord";
    BBXFile f;
    BBXFileInitWithPathMode(&f, path.c_str(), false, true);
    writeThreads(&f);
    BBXFileClose(&f);
    char buffer[1 << 16];
    int in = ::open(path.c_str(), O_RDONLY);
    ssize_t size = ::read(in, buffer, sizeof buffer);
    ::close(in);
    for (auto _ : state) {
        int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CREAT, 0644);
        benchmark::DoNotOptimize(::write(fd, buffer, static_cast<size_t>(size)));
        ::close(fd);
    }
    state.SetBytesProcessed(state.iterations() * size);
}

__attribute__((noinline)) int recurse(int depth, const std::function<void()>& at) {
    if (depth == 0) {
        at();
        return 0;
    }
    int r = recurse(depth - 1, at);
    benchmark::DoNotOptimize(r);
    return r + 1;
}

void initializeContext() {
    static bool ready = [] {
        static BBXContextInitData input;
        static std::string dir = scratch();
        input.reportPath = dir.c_str();
        BBXContextInitialize(&input);
        return true;
    }();
    (void)ready;
}

void BM_UnwindFortyFrames(benchmark::State& state) {
    initializeContext();
    recurse(40, [&] {
        ucontext_t context;
        getcontext(&context);
        BBXThreadState threadState;
        BBXThreadStateFromUContext(&context, &threadState);
        int frames = 0;
        for (auto _ : state) {
            BBXUnwindCursor cursor;
            BBXUnwindCursorInit(&cursor, &threadState);
            frames = 0;
            while (BBXUnwindNextFrame(&cursor)) ++frames;
            benchmark::DoNotOptimize(frames);
        }
        state.counters["frames"] = frames;
    });
}

void BM_BacktraceFortyFrames(benchmark::State& state) {
    recurse(40, [&] {
        void* frames[128];
        int n = 0;
        for (auto _ : state) {
            n = ::backtrace(frames, 128);
            benchmark::DoNotOptimize(n);
        }
        state.counters["frames"] = n;
    });
}


// A small library of the C library's that nothing here has open.
constexpr const char* kLibrary = "libBrokenLocale.so.1";

void openAndClose(benchmark::State& state, void* (*open)(const char*, int), int (*close)(void*)) {
    initializeContext();
    for (auto _ : state) {
        void* handle = open(kLibrary, RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            state.SkipWithError("library not found");
            break;
        }
        close(handle);
    }
    BBXBinaryImagesQueue().drain();
}

void BM_OpenCloseThroughTheKit(benchmark::State& state) { openAndClose(state, ::dlopen, ::dlclose); }

// Baseline: the C library's own dlopen and dlclose, which record nothing.
void BM_OpenCloseDirect(benchmark::State& state) {
    using Open = void* (*)(const char*, int);
    using Close = int (*)(void*);
    openAndClose(state, reinterpret_cast<Open>(::dlsym(RTLD_NEXT, "dlopen")),
                 reinterpret_cast<Close>(::dlsym(RTLD_NEXT, "dlclose")));
}

}  // namespace

BENCHMARK(BM_OpenCloseThroughTheKit);
BENCHMARK(BM_OpenCloseDirect);
BENCHMARK(BM_ThreadsRecordUnbuffered);
BENCHMARK(BM_ThreadsRecordBuffered);
BENCHMARK(BM_PlainWriteOfTheSameBytes);
BENCHMARK(BM_UnwindFortyFrames);
BENCHMARK(BM_BacktraceFortyFrames);
BENCHMARK_MAIN();
