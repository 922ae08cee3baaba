// A program that starts the crash kit and then dies the way it is told to,
// for the crash-capture tests. Usage: blackbox_crasher <report folder> <route>
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iterator>
#include <stdexcept>
#include <string>

#include "base/Executor.h"
#include "kits/blackbox/BBXContextSetup.h"

extern "C" {
void __assert_fail(const char*, const char*, unsigned int, const char*) noexcept;
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);
}

namespace {

void say(const char* text) {
    ssize_t ignored = ::write(2, text, std::strlen(text));
    (void)ignored;
}

// Any heap call the recording thread makes while the kit records a crash is
// reported on standard error.
void checkHeap() {
    if (bbxWritableContext && __atomic_load_n(&bbxWritableContext->recording, __ATOMIC_SEQ_CST) &&
        __atomic_load_n(&bbxWritableContext->crashingThread, __ATOMIC_SEQ_CST) == BBXCurrentThreadId())
        say("HEAP CALL WHILE RECORDING\n");
}

// Set while the C library walks its loaded images on this thread: it holds
// the loader's lock then, and an allocator that calls into the loader (a heap
// profiler) deadlocks if the walk's callback allocates.
thread_local bool insideLoaderWalk = false;

void checkLoaderWalk() {
    if (insideLoaderWalk) say("HEAP CALL INSIDE THE LOADER WALK\n");
}

}  // namespace

extern "C" int dl_iterate_phdr(int (*callback)(struct dl_phdr_info*, size_t, void*), void* data) {
    using Walk = int (*)(int (*)(struct dl_phdr_info*, size_t, void*), void*);
    static Walk real = reinterpret_cast<Walk>(dlsym(RTLD_NEXT, "dl_iterate_phdr"));
    bool outer = !insideLoaderWalk;
    insideLoaderWalk = true;
    int result = real(callback, data);
    if (outer) insideLoaderWalk = false;
    return result;
}

extern "C" {
void* malloc(size_t n) {
    checkLoaderWalk();
    checkHeap();
    return __libc_malloc(n);
}
void* calloc(size_t n, size_t m) {
    checkLoaderWalk();
    checkHeap();
    return __libc_calloc(n, m);
}
void* realloc(void* p, size_t n) {
    checkLoaderWalk();
    checkHeap();
    return __libc_realloc(p, n);
}
void free(void* p) {
    if (p) checkLoaderWalk();
    if (p) checkHeap();
    __libc_free(p);
}
}

namespace crasher {

struct BoothFailure {
    int code;
};

class Callback : public BBXCrashCallbackTarget {
public:
    void deliverCrashDelegateCallback() override { say("CRASH CALLBACK\n"); }
};

// Set for the route whose dying state the test saves as a core file: the
// previous handler then waits, with the faulting frame still on the stack,
// for the test to write the core and end the process.
volatile sig_atomic_t holdForCore = 0;

void previousHandler(int signal) {
    if (holdForCore) {
        const char text[] = "CORE NOW\n";
        ssize_t ignored = ::write(1, text, sizeof text - 1);
        (void)ignored;
        for (;;) ::pause();
    }
    char text[] = "PREVIOUS HANDLER 00\n";
    text[17] = static_cast<char>('0' + signal / 10);
    text[18] = static_cast<char>('0' + signal % 10);
    say(text);
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

void previousTerminate() {
    say("PREVIOUS TERMINATE\n");
    std::abort();
}

void* idle(void*) {
    for (;;) ::pause();
    return nullptr;
}

volatile int blockedReady = 0;

void* blockedIdle(void*) {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    blockedReady = 1;
    for (;;) ::sleep(100);
    return nullptr;
}

// Each thread names itself before its body runs, and is started only once it
// has: one that faults at once is recorded under its own name, never the
// program's, and so is every other when the program crashes right away.
struct Named {
    const char* name;
    void* (*body)(void*);
    std::atomic<bool> named{false};
};
void* runNamed(void* argument) {
    auto* start = static_cast<Named*>(argument);
    void* (*body)(void*) = start->body;
    pthread_setname_np(pthread_self(), start->name);
    start->named = true;  // `start` is the starter's, gone from here on
    return body(nullptr);
}
void startThread(const char* name, void* (*body)(void*)) {
    Named start{name, body};
    pthread_t thread;
    if (pthread_create(&thread, nullptr, runNamed, &start) != 0) return;
    while (!start.named) sched_yield();
}

__attribute__((noinline)) void crashSegv() {
    volatile int* volatile address = nullptr;
    *address = 1;
}
__attribute__((noinline)) void crashFpe() {
    volatile int seven = 7, zero = 0;
    volatile int x = seven / zero;
    (void)x;
}
__attribute__((noinline)) void crashBus(const char* dir) {
    std::string path = std::string(dir) + "/bus-file";
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (ftruncate(fd, 4096) != 0) return;
    auto* p = static_cast<volatile char*>(::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    if (ftruncate(fd, 0) != 0) return;
    p[10] = 1;
}
#pragma GCC diagnostic ignored "-Winfinite-recursion"
// throwsInNoexcept is meant to end in std::terminate.
#ifdef __clang__
#pragma clang diagnostic ignored "-Wexceptions"
#else
#pragma GCC diagnostic ignored "-Wterminate"
#endif
__attribute__((noinline)) int overflow(int n) {
    volatile char pad[256];
    pad[0] = static_cast<char>(n);
    return overflow(n + 1) + pad[0];
}
__attribute__((noinline)) void throwsInNoexcept() noexcept { throw std::logic_error("from noexcept"); }

// Started before or after the kit, told when to recurse without bound.
volatile int overflowNow = 0;
void* overflowWhenTold(void*) {
    while (!overflowNow) sched_yield();
    overflow(0);
    return nullptr;
}

// Blocks every signal the way a renderer's worker does, then faults.
void* blockAllThenFault(void*) {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    crashSegv();
    return nullptr;
}
// Closes its plugin while the program's statics are torn down, after those
// the kit made during main are gone.
struct ClosedAtExit {
    void* plugin = nullptr;
    ~ClosedAtExit() {
        if (plugin && dlclose(plugin) == 0) say("CLOSED AT EXIT\n");
    }
} closedAtExit;

pthread_barrier_t barrier;
void* crashTogether(void*) {
    pthread_barrier_wait(&barrier);
    crashSegv();
    return nullptr;
}

}  // namespace crasher

int main(int argc, char** argv) {
    using namespace crasher;
    if (argc < 3) return 2;
    std::string route = argv[2];
    if (route.rfind("noptrace-", 0) == 0) {
        // As in a container that forbids ptrace: every call fails with EPERM.
        route = route.substr(9);
        struct sock_filter filter[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_ptrace, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA)),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        };
        struct sock_fprog program = {static_cast<unsigned short>(std::size(filter)), filter};
        if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
            return 5;
    }
    for (int s : {SIGSEGV, SIGABRT, SIGILL, SIGFPE, SIGBUS, SIGTRAP, SIGSYS}) ::signal(s, previousHandler);
    std::set_terminate(previousTerminate);
    if (route == "threadoverflow-before") startThread("bbx-overflow", overflowWhenTold);
    startThread("bbx-worker-1", idle);
    startThread("bbx-worker-2", idle);
    startThread("bbx-blocked", blockedIdle);
    while (!blockedReady) sched_yield();

    static Callback callback;
    BBXContextInitData input;
    input.apiKey = "0123456789abcdef0123456789abcdef01234567";
    input.reportPath = argv[1];
    input.sessionId = "crash-session";
    input.installId = "install";
    input.crashCallbackTarget = &callback;
    input.maxCustomExceptions = 8;
    input.customExceptionsEnabled = true;
    // As on a loaded machine: the image queue does not run from before the
    // start until the crash.
    if (route == "pluginheld") BBXBinaryImagesQueue().post([] { for (;;) ::pause(); });
    BBXContextInitialize(&input);
    BBXLoggingQueue().drain();
    if (route != "pluginheld") BBXBinaryImagesQueue().drain();

    if (::write(1, "READY\n", 6) != 6) return 3;
    if (route == "segv") crashSegv();
    if (route == "segvcore") {
        holdForCore = 1;
        crashSegv();
    }
    if (route == "bus") crashBus(argv[1]);
    if (route == "fpe") crashFpe();
    if (route == "ill") __builtin_trap();
    if (route == "trap") asm volatile("int3");
    if (route == "abort") std::abort();
    if (route == "runtime_error") throw std::runtime_error("boom \"quoted\"");
    if (route == "int") throw 42;
    if (route == "cstring") throw "a C string";
    if (route == "string") throw std::string("a std::string");
    if (route == "custom") throw BoothFailure{7};
    if (route == "noexcept") throwsInNoexcept();
    if (route == "terminate") std::terminate();
    if (route == "overflow") return overflow(0);
    if (route == "smashsp") {
        // A stack pointer that points nowhere, then a fault through it.
        asm volatile("xor %%esp, %%esp\n\tmovl $1, (%%rsp)" ::: "memory");
    }
    if (route == "plugin" || route == "pluginheld") {
        // A crash with a frame in a plugin opened after start-up; held, the
        // kit has taken the plugin in (as the next dlopen does) first.
        void* plugin = dlopen(std::getenv("BBX_TEST_PLUGIN"), RTLD_NOW);
        if (route == "pluginheld") dlopen(std::getenv("BBX_TEST_PLUGIN"), RTLD_NOW | RTLD_NOLOAD);
        auto call = plugin ? reinterpret_cast<int (*)(int (*)(void*), void*)>(dlsym(plugin, "symbolPluginCall")) : nullptr;
        if (!call) return 6;
        return call([](void*) { crashSegv(); return 0; }, nullptr);
    }
    if (route == "manylibs") {
        // A host of 600 libraries that crashes in the last one it opened,
        // before any other loader call.
        const std::string folder = std::getenv("BBX_TEST_LIBDIR");
        void* crashing = nullptr;
        for (int i = 0; i < 600; ++i) {
            crashing = dlopen((folder + "/libbbx_many_" + std::to_string(i) + ".so").c_str(), RTLD_NOW | RTLD_LOCAL);
            if (!crashing) return 6;
        }
        auto crash = reinterpret_cast<int (*)(int*)>(dlsym(crashing, "manyLibCrash"));
        return crash ? crash(nullptr) : 6;
    }
    if (route == "loadunload") {
        // A plugin opened and closed again before the crash.
        void* plugin = dlopen(std::getenv("BBX_TEST_PLUGIN"), RTLD_NOW);
        if (!plugin || dlclose(plugin) != 0) return 6;
        BBXBinaryImagesQueue().drain();
        crashSegv();
    }
    if (route == "queue") {
        // A crash in a task of a serial queue, with a named pool idle beside it.
        static base::ThreadPool pool(2, "bbx.test.pool");
        static base::SerialQueue queue("bbx.test.queue");
        // Both workers running (each holds one task at the barrier) first.
        pthread_barrier_init(&barrier, nullptr, 3);
        for (int i = 0; i < 2; ++i) pool.post([] { pthread_barrier_wait(&barrier); });
        pthread_barrier_wait(&barrier);
        queue.post([] { crashSegv(); });
        for (;;) ::pause();
    }
    if (route == "exitclose") {
        closedAtExit.plugin = dlopen(std::getenv("BBX_TEST_PLUGIN"), RTLD_NOW);
        return closedAtExit.plugin ? 0 : 6;
    }
    if (route == "nullcall") {
        void (*volatile function)() = nullptr;
        function();
    }
    if (route == "together") {
        pthread_barrier_init(&barrier, nullptr, 3);
        pthread_t a, b;
        pthread_create(&a, nullptr, crashTogether, nullptr);
        pthread_create(&b, nullptr, crashTogether, nullptr);
        pthread_barrier_wait(&barrier);
        for (;;) ::pause();
    }
    if (route == "threadoverflow-before" || route == "threadoverflow-after") {
        if (route == "threadoverflow-after") startThread("bbx-overflow", overflowWhenTold);
        overflowNow = 1;
        for (;;) ::pause();
    }
    if (route == "blockedsegv") {
        startThread("bbx-blocks-all", blockAllThenFault);
        for (;;) ::pause();
    }
    // Release builds leave assert out: the call it makes, made directly.
    if (route == "assert") __assert_fail("photos.size() == 4", "Crasher.cpp", 42, "compose");
    if (route == "badfree") {
        auto* block = static_cast<char*>(__libc_calloc(1, 64));
        __libc_free(block + 1);
    }
    if (route == "wait") {
        for (;;) ::pause();
    }
    return 0;
}
