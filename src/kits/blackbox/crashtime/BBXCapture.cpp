#include "BBXCapture.h"

#include <errno.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "BBXBinaryImage.h"
#include "BBXProcess.h"

const int BBXHandledSignals[BBXHandledSignalCount] = {SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGSEGV, SIGSYS, SIGTRAP};

// --- Tables -------------------------------------------------------------------

const char* BBXSignalNameForNumber(int signal) {
    switch (signal) {
        case SIGILL: return "SIGILL";
        case SIGTRAP: return "SIGTRAP";
        case SIGABRT: return "SIGABRT";
        case SIGFPE: return "SIGFPE";
        case SIGBUS: return "SIGBUS";
        case SIGSEGV: return "SIGSEGV";
        case SIGSYS: return "SIGSYS";
        default: return "UNKNOWN";
    }
}

const char* BBXSignalCodeNameForNumber(int signal) { return signal == SIGABRT ? "ABORT" : nullptr; }

uint32_t BBXMachExceptionMaskForSignal(int signal) {
    switch (signal) {
        case SIGILL: return 4;
        case SIGTRAP: return 64;
        case SIGABRT: return 1024;
        case SIGFPE: return 8;
        case SIGBUS:
        case SIGSEGV: return 2;
        case SIGSYS: return 1024;
        default: return 0;
    }
}

const char* BBXMachExceptionName(uint32_t exception) {
    switch (exception) {
        case 1: return "EXC_BAD_ACCESS";
        case 2: return "EXC_BAD_INSTRUCTION";
        case 3: return "EXC_ARITHMETIC";
        case 6: return "EXC_BREAKPOINT";
        case 12: return "EXC_GUARD";
        default: return nullptr;
    }
}

const char* BBXMachExceptionCodeName(uint32_t exception, uint64_t code) {
    static const char* const arithmetic[] = {"EXC_I386_DIV",   "EXC_I386_INTO",  "EXC_I386_NOEXT", "EXC_I386_EXTOVR",
                                             "EXC_I386_EXTERR", "EXC_I386_EMERR", "EXC_I386_BOUND", "EXC_I386_SSEEXTERR"};
    static const char* const traps[34] = {
        "EXC_I386_DIVERR",  "EXC_I386_SGLSTP",   "EXC_I386_NMIFLT",     "EXC_I386_BPTFLT",    "EXC_I386_INTOFLT",
        "EXC_I386_BOUNDFLT", "EXC_I386_INVOPFLT", "EXC_I386_NOEXTFLT",  nullptr,              "EXC_I386_EXTOVRFLT",
        "EXC_I386_INVTSSFLT", "EXC_I386_SEGNPFLT", "EXC_I386_STKFLT",   "EXC_I386_GPFLT",     "EXC_I386_PGFLT",
        nullptr,            "EXC_I386_EXTERRFLT", "EXC_I386_ALIGNFLT", nullptr,              nullptr,
        nullptr,            nullptr,             nullptr,              nullptr,              nullptr,
        nullptr,            nullptr,             nullptr,              nullptr,              nullptr,
        nullptr,            nullptr,             "EXC_I386_ENOEXTFLT", "EXC_I386_ENDPERR"};
    switch (exception) {
        case 1: return code == 1 ? "KERN_INVALID_ADDRESS" : code == 2 ? "KERN_PROTECTION_FAILURE" : nullptr;
        case 2: return "EXC_I386_INVOP";
        case 3: return code >= 1 && code <= 8 ? arithmetic[code - 1] : nullptr;
        case 6: return code < 34 ? traps[code] : nullptr;
        default: return nullptr;
    }
}

const char* BBXExceptionTypeName(uint32_t type) {
    switch (type) {
        case 1: return "objective-c";
        case 2: return "c++";
        case 3: return "javascript";
        case 4: return "custom";
        default: return "unknown";
    }
}

void BBXMachExceptionWriteRecord(BBXFile* file, uint32_t exception, const uint64_t* codes, uint32_t codeCount,
                                 uint32_t originalPorts, uint64_t time) {
    BBXFileWriteSectionStart(file, "mach_exception");
    BBXFileWriteHashStart(file);
    BBXFileWriteHashEntryUint64(file, "exception", exception);
    BBXFileWriteHashKey(file, "codes");
    BBXFileWriteArrayStart(file);
    for (uint32_t i = 0; i < codeCount && i < 2 && codes; ++i) BBXFileWriteArrayEntryUint64(file, codes[i]);
    BBXFileWriteArrayEnd(file);
    BBXFileWriteHashEntryString(file, "name", BBXMachExceptionName(exception));
    BBXFileWriteHashEntryString(file, "code_name",
                                BBXMachExceptionCodeName(exception, codeCount > 0 && codes ? codes[0] : ~0ull));
    BBXFileWriteHashEntryUint64(file, "original_ports", originalPorts);
    BBXFileWriteHashEntryUint64(file, "time", time);
    BBXFileWriteHashEnd(file);
    BBXFileWriteSectionEnd(file);
}

void BBXSignalEnumerateHandledSignals(void (*block)(int, int, void*), void* data) {
    for (int i = 0; i < BBXHandledSignalCount; ++i) block(i, BBXHandledSignals[i], data);
}

// --- Signals --------------------------------------------------------------------

namespace {

void setDefaultHandlers() {
    struct sigaction action;
    BBXMemoryZero(&action, sizeof action);
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < BBXHandledSignalCount; ++i) {
        if (sigaction(BBXHandledSignals[i], &action, nullptr) != 0)
            BBXSDKLog("%s: Unable to set default handler for %d (%s)\n", "BBXSignalHandler", i, BBXErrnoText(errno));
    }
}

void unblockAll() {
    sigset_t none;
    sigemptyset(&none);
    if (sigprocmask(SIG_SETMASK, &none, nullptr) != 0)
        BBXSDKLog("%s: Unable to unmask signals - we risk infinite recursion here\n", "BBXSignalHandler");
}

void raiseAgain(int signal) { syscall(SYS_tgkill, ::getpid(), BBXCurrentThreadId(), signal); }

// Sent by a process or by raise/abort rather than by the faulting instruction:
// returning would not bring the fault back.
bool needsRaising(int signal, const siginfo_t* info) {
    if (signal == SIGTRAP || signal == SIGABRT || signal == SIGSYS) return true;
    return !info || info->si_code <= 0;
}

// Ends the process with the system call itself. The C library's _exit may be
// wrapped by a runtime (a sanitizer's) that takes its own locks first, and a
// thread that held one may be gone or stopped by now.
[[noreturn]] void leaveNow(int status) {
    for (;;) syscall(SYS_exit_group, status);
}

void waitForTheRecordingThread() {
    // The thread that is recording ends the process; should it never do so,
    // leave anyway rather than hang.
    struct timespec tick = {0, 10 * 1000 * 1000};
    for (int i = 0; i < 1000; ++i) ::nanosleep(&tick, nullptr);
    leaveNow(1);
}

}  // namespace

bool BBXSignalInstallAltStack() {
    BBXContext* c = bbxContext;
    if (!c || !c->signalStack) return false;
    stack_t stack;
    stack.ss_sp = c->signalStack;
    stack.ss_size = BBXSignalStackSize;
    stack.ss_flags = 0;
    stack_t previous;
    if (sigaltstack(&stack, &previous) != 0) {
        BBXSDKLog("%s: Unable to setup stack %s\n", "BBXSignalInstallAltStack", BBXErrnoText(errno));
        return false;
    }
    c->signalStore.previousStack = previous;
    c->signalStore.hadPreviousStack = (previous.ss_flags & SS_DISABLE) ? 0 : 1;
    return true;
}

bool BBXSignalInitialize(BBXSignalStore* store) {
    if (!store) return false;
    if (!BBXUnlinkIfExists(store->path))
        BBXSDKLog("%s: Unable to reset the signal log file %s\n", __func__, BBXErrnoText(errno));
    bool ok = true;
    struct sigaction action;
    BBXMemoryZero(&action, sizeof action);
    action.sa_sigaction = BBXSignalHandler;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < BBXHandledSignalCount; ++i) {
        struct sigaction previous;
        BBXMemoryZero(&store->previousActions[i], sizeof(struct sigaction));
        if (sigaction(BBXHandledSignals[i], &action, &previous) != 0) {
            BBXSDKLog("%s: Unable to install handler for %d (%s)\n", __func__, BBXHandledSignals[i], BBXErrnoText(errno));
            ok = false;
            continue;
        }
        if (previous.sa_handler != SIG_DFL) store->previousActions[i] = previous;
    }
    // Other threads are parked with a real-time signal while a crash is recorded.
    struct sigaction suspend;
    BBXMemoryZero(&suspend, sizeof suspend);
    suspend.sa_sigaction = BBXProcessSuspendHandler;
    suspend.sa_flags = SA_SIGINFO | SA_RESTART;
    sigfillset(&suspend.sa_mask);
    if (store->suspendSignal > 0 && sigaction(store->suspendSignal, &suspend, nullptr) != 0) {
        BBXSDKLog("%s: Unable to install handler for %d (%s)\n", __func__, store->suspendSignal, BBXErrnoText(errno));
        store->suspendSignal = 0;
    }
    return ok;
}

bool BBXSignalSafeInstallPreexistingHandlers(BBXSignalStore* store) {
    setDefaultHandlers();
    if (!store) return false;
    if (store->hadPreviousStack) {
        // Changing the alternate stack while running on it fails; it is not
        // needed then either.
        stack_t current;
        if (sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_ONSTACK)) {
            if (sigaltstack(&store->previousStack, nullptr) != 0) {
                BBXSDKLog("%s: Unable to setup stack %s\n", __func__, BBXErrnoText(errno));
                return false;
            }
        }
    }
    bool ok = true;
    for (int i = 0; i < BBXHandledSignalCount; ++i) {
        const struct sigaction& previous = store->previousActions[i];
        if (previous.sa_handler == SIG_DFL) continue;
        if (sigaction(BBXHandledSignals[i], &previous, nullptr) != 0) {
            BBXSDKLog("%s: Unable to install handler for %d (%s)\n", __func__, i, BBXErrnoText(errno));
            ok = false;
        }
    }
    return ok;
}

void BBXSignalHandler(int signal, siginfo_t* info, void* context) {
    int savedErrno = errno;
    errno = 0;
    BBXSDKLog("%s: Signal: %d\n", __func__, signal);
    unblockAll();
    BBXContext* c = bbxContext;
    BBXWritableContext* w = bbxWritableContext;
    if (!BBXContextIsInitialized() || !c || !w) {
        setDefaultHandlers();
        if (needsRaising(signal, info)) raiseAgain(signal);
        errno = savedErrno;
        return;
    }
    if (BBXContextMarkAndCheckIfCrashed()) {
        if (__atomic_load_n(&w->crashingThread, __ATOMIC_SEQ_CST) != BBXCurrentThreadId()) {
            BBXSDKLog("%s: Error: aborting signal handler because crash has already occurred", __func__);
            waitForTheRecordingThread();
        }
        // This thread again: a fault while recording gets the default action,
        // a signal after recording (abort after an exception) the previous handling.
        if (__atomic_load_n(&w->recording, __ATOMIC_SEQ_CST))
            setDefaultHandlers();
        else
            BBXSignalSafeInstallPreexistingHandlers(&c->signalStore);
        if (needsRaising(signal, info)) raiseAgain(signal);
        errno = savedErrno;
        return;
    }

    __atomic_store_n(&w->recording, 1, __ATOMIC_SEQ_CST);
    BBXFile file;
    if (BBXFileInitWithPath(&file, c->signalStore.path, false)) {
        BBXFileWriteSectionStart(&file, "signal");
        BBXFileWriteHashStart(&file);
        if (reinterpret_cast<uint64_t>(info) >= 4096) {
            BBXFileWriteHashEntryUint64(&file, "number", static_cast<uint64_t>(info->si_signo));
            BBXFileWriteHashEntryUint64(&file, "code", static_cast<uint64_t>(static_cast<uint32_t>(info->si_code)));
            BBXFileWriteHashEntryUint64(&file, "address", reinterpret_cast<uint64_t>(info->si_addr));
            BBXFileWriteHashEntryString(&file, "name", BBXSignalNameForNumber(info->si_signo));
            BBXFileWriteHashEntryString(&file, "code_name", BBXSignalCodeNameForNumber(info->si_signo));
        }
        BBXFileWriteHashEntryUint64(&file, "errno", static_cast<uint64_t>(savedErrno));
        BBXFileWriteHashEntryUint64(&file, "time", BBXUnixTime());
        BBXFileWriteHashEnd(&file);
        BBXFileWriteSectionEnd(&file);
        BBXHandler(&file, BBXCurrentThreadId(), reinterpret_cast<uint64_t>(context) >= 4096 ? context : nullptr);
        BBXFileClose(&file);
    } else {
        BBXSDKLog("%s: Unable to open signal file\n", __func__);
    }
    __atomic_store_n(&w->recording, 0, __ATOMIC_SEQ_CST);

    BBXSignalSafeInstallPreexistingHandlers(&c->signalStore);
    if (needsRaising(signal, info)) raiseAgain(signal);
    errno = savedErrno;
}

// --- The common crash-time work -------------------------------------------------

__attribute__((noinline)) void BBXHandler(BBXFile* file, int32_t crashedThread, const void* machineContext) {
    BBXContext* c = bbxContext;
    BBXProcess process;
    BBXProcessInit(&process, crashedThread, machineContext);
    // The recording thread's own registers: its caller as it will be after
    // this call returns.
    auto* frame = static_cast<uint64_t*>(__builtin_frame_address(0));
    process.recordingState.rip = reinterpret_cast<uint64_t>(__builtin_return_address(0));
    process.recordingState.rbp = frame[0];
    process.recordingState.rsp = reinterpret_cast<uint64_t>(frame) + 16;

    // Images opened since the last scan, and those whose records the queue
    // has not written yet, so their frames can be unwound and named later.
    if (c && c->binaryImagesPath) {
        BBXBinaryImageWaitForLogRewrite();
        BBXFile images;
        if (BBXFileInitWithPath(&images, c->binaryImagesPath, true)) {
            BBXBinaryImageScanLinkMap(&images);
            BBXFileClose(&images);
        }
    }

    BBXProcessSuspendAllOtherThreads(&process, 500);
    BBXProcessRecordAllThreads(&process, file);
    BBXProcessRecordRuntimeInfo(&process, file);
    BBXProcessRecordDispatchQueueNames(&process, file);
    BBXProcessRecordThreadNames(&process, file);
    BBXProcessRecordStats(&process, file);
    BBXHostRecordStorage(file);
    BBXFileFlush(file);
    BBXProcessResumeAllOtherThreads(&process);
    BBXProcessDestroy(&process);

    if (c && c->crashCallbackTarget) {
        BBXSDKLog("%s: Performing syncrhonous crash callback - hold onto your butts\n", __func__);
        c->crashCallbackTarget->deliverCrashDelegateCallback();
    }
}

void BBXHandlerNotifyPotentiallySubmittableCrash() {
    if (bbxContext && bbxContext->potentiallySubmittableCrashTarget)
        bbxContext->potentiallySubmittableCrashTarget->potentiallySubmittableCrashOccurred();
}

void BBXExceptionRecordCrash(uint32_t type, const char* name, const char* reason) {
    BBXContext* c = bbxContext;
    BBXWritableContext* w = bbxWritableContext;
    if (!BBXContextIsInitialized() || !c || !w) return;
    BBXSDKLog("%s: Recording an exception structure (%d, %d)\n", "BBXExceptionRecord", 1, 1);
    if (BBXContextMarkAndCheckIfCrashed()) {
        if (__atomic_load_n(&w->crashingThread, __ATOMIC_SEQ_CST) != BBXCurrentThreadId()) waitForTheRecordingThread();
        leaveNow(1);
    }
    __atomic_store_n(&w->recording, 1, __ATOMIC_SEQ_CST);
    BBXFile file;
    if (BBXFileInitWithPath(&file, c->exceptionStore.path, false)) {
        BBXFileWriteSectionStart(&file, "exception");
        BBXFileWriteHashStart(&file);
        BBXFileWriteHashEntryString(&file, "type", BBXExceptionTypeName(type));
        BBXFileWriteHashEntryHexEncodedString(&file, "name", name, BBXStringLength(name));
        BBXFileWriteHashEntryHexEncodedString(&file, "reason", reason, BBXStringLength(reason));
        BBXFileWriteHashEntryUint64(&file, "time", BBXUnixTime());
        BBXFileWriteHashEnd(&file);
        BBXFileWriteSectionEnd(&file);
        BBXHandler(&file, BBXCurrentThreadId(), nullptr);
        BBXFileClose(&file);
        BBXHandlerNotifyPotentiallySubmittableCrash();
    } else {
        BBXSDKLog("%s: Unable to open exception file\n", "BBXExceptionRecord");
    }
    __atomic_store_n(&w->recording, 0, __ATOMIC_SEQ_CST);
    BBXSDKLog("%s: Finished recording an exception structure\n", "BBXExceptionRecord");
}
