#include "kits/blackbox/BBXThreadGuards.h"

#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>

#include "kits/blackbox/crashtime/BBXContext.h"

namespace {

constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGSYS};

using CreateFunction = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
using MaskFunction = int (*)(int, const sigset_t*, sigset_t*);

}  // namespace

// A sanitizer's runtime linked into the program itself (rather than loaded
// as a library) defines its wrappers in the program, under these names too;
// ours take the plain names' place there, so a lookup after ours skips the
// runtime, and the threads we start would be unknown to it.
extern "C" {
int __interceptor_pthread_create(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*) __attribute__((weak));
int __interceptor_pthread_sigmask(int, const sigset_t*, sigset_t*) __attribute__((weak));
int __interceptor_sigprocmask(int, const sigset_t*, sigset_t*) __attribute__((weak));
}

namespace {

// The next definition after ours (the C library's, or a sanitizer's in
// front of it). Libraries' constructors run before ours and may call in
// first, so each is also looked up on first use.
template <typename Function>
Function next(Function* slot, const char* name, Function sanitizers) {
    Function function = __atomic_load_n(slot, __ATOMIC_ACQUIRE);
    if (!function) {
        function = sanitizers ? sanitizers : reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
        __atomic_store_n(slot, function, __ATOMIC_RELEASE);
    }
    return function;
}

CreateFunction realCreate;
MaskFunction realPthreadSigmask;
MaskFunction realSigprocmask;

CreateFunction nextCreate() { return next(&realCreate, "pthread_create", &__interceptor_pthread_create); }
MaskFunction nextPthreadSigmask() {
    return next(&realPthreadSigmask, "pthread_sigmask", &__interceptor_pthread_sigmask);
}
MaskFunction nextSigprocmask() { return next(&realSigprocmask, "sigprocmask", &__interceptor_sigprocmask); }

void lookUpAll() {
    nextCreate();
    nextPthreadSigmask();
    nextSigprocmask();
}

__attribute__((constructor(101))) void lookUpEarly() { lookUpAll(); }

// The set to hand on: the caller's, less the fault signals when it blocks.
const sigset_t* withFaultsDeliverable(int how, const sigset_t* set, sigset_t* copy) {
    if (!set || how == SIG_UNBLOCK) return set;
    *copy = *set;
    for (int signal : kFaultSignals) sigdelset(copy, signal);
    return copy;
}

// A thread's alternate stack, released when the thread ends.
class ThreadSignalStack {
public:
    void allocate() {
        const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
        const size_t length = page + BBXSignalStackSize;
        void* mapping = ::mmap(nullptr, length, PROT_READ | PROT_WRITE,
                               MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
        if (mapping == MAP_FAILED) return;
        // The lowest page is the guard: an overflow of the handler's own
        // stack faults there instead of writing over whatever lies below.
        if (::mprotect(mapping, page, PROT_NONE) != 0) {
            ::munmap(mapping, length);
            return;
        }
        stack_t stack;
        stack.ss_sp = static_cast<char*>(mapping) + page;
        stack.ss_size = BBXSignalStackSize;
        stack.ss_flags = 0;
        if (sigaltstack(&stack, &previous_) != 0) {
            ::munmap(mapping, length);
            return;
        }
        mapping_ = mapping;
        length_ = length;
        stack_ = stack.ss_sp;
    }

    ~ThreadSignalStack() {
        if (!mapping_) return;
        stack_t current;
        if (sigaltstack(nullptr, &current) != 0) return;
        // Ending the thread from a handler that runs on it: the memory is
        // in use, so it stays.
        if (current.ss_flags & SS_ONSTACK) return;
        if (current.ss_sp == stack_) {
            // Whatever was there before (a sanitizer's) is put back, so that
            // its owner can free it.
            if (previous_.ss_flags & SS_DISABLE) {
                stack_t off = {};
                off.ss_flags = SS_DISABLE;
                sigaltstack(&off, nullptr);
            } else {
                sigaltstack(&previous_, nullptr);
            }
        }
        ::munmap(mapping_, length_);
    }

private:
    void* mapping_ = nullptr;
    size_t length_ = 0;
    void* stack_ = nullptr;
    stack_t previous_ = {};
};

thread_local ThreadSignalStack threadSignalStack;

struct ThreadStart {
    void* (*routine)(void*);
    void* argument;
};

__attribute__((noinline)) void prepareThread() {
    // Attributes may start a thread with every signal blocked.
    sigset_t faults;
    sigemptyset(&faults);
    for (int signal : kFaultSignals) sigaddset(&faults, signal);
    nextPthreadSigmask()(SIG_UNBLOCK, &faults, nullptr);
    threadSignalStack.allocate();
}

// Hands over to the thread's own routine with a jump, leaving no frame of
// ours below it: its stack reads, and unwinds, as it would without the kit.
void* startThread(void* data) {
    void* (*routine)(void*) = static_cast<ThreadStart*>(data)->routine;
    void* argument = static_cast<ThreadStart*>(data)->argument;
    std::free(data);
    prepareThread();
    return routine(argument);
}

}  // namespace

void BBXThreadGuardsInstall() { lookUpAll(); }

extern "C" {

int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*routine)(void*),
                   void* argument) noexcept {
    CreateFunction create = nextCreate();
    auto* start = static_cast<ThreadStart*>(std::malloc(sizeof(ThreadStart)));
    if (!start) return create(thread, attributes, routine, argument);
    start->routine = routine;
    start->argument = argument;
    int result = create(thread, attributes, startThread, start);
    if (result != 0) std::free(start);
    return result;
}

// Both run inside signal handlers too (the crash handler unblocks signals):
// nothing here but a copy of the set and the call on.
int pthread_sigmask(int how, const sigset_t* set, sigset_t* previous) noexcept {
    sigset_t copy;
    return nextPthreadSigmask()(how, withFaultsDeliverable(how, set, &copy), previous);
}

int sigprocmask(int how, const sigset_t* set, sigset_t* previous) noexcept {
    sigset_t copy;
    return nextSigprocmask()(how, withFaultsDeliverable(how, set, &copy), previous);
}

}  // extern "C"
