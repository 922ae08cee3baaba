#include "BBXProcess.h"

#include <fcntl.h>
#include <ucontext.h>
#include <unistd.h>

namespace {

// Reads a small file whole into `buffer` (terminated); false when unreadable.
bool readSmallFile(const char* path, char* buffer, size_t size) {
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    size_t used = 0;
    while (used + 1 < size) {
        ssize_t n = ::read(fd, buffer + used, size - 1 - used);
        if (n <= 0) break;
        used += static_cast<size_t>(n);
    }
    ::close(fd);
    buffer[used] = 0;
    return true;
}

}  // namespace

bool BBXProcessDebuggerAttached() {
    char status[4096];
    if (!readSmallFile("/proc/self/status", status, sizeof status)) {
        BBXSDKLog("%s: sysctl failed while trying to get kinfo_proc\n", __func__);
        return false;
    }
    static const char key[] = "TracerPid:";
    for (const char* p = status; *p; ++p) {
        if (p != status && p[-1] != '\n') continue;
        size_t i = 0;
        while (key[i] && p[i] == key[i]) ++i;
        if (key[i]) continue;
        p += i;
        while (*p == ' ' || *p == '\t') ++p;
        return *p >= '1' && *p <= '9';
    }
    return false;
}

void BBXThreadStateFromUContext(const void* ucontext, BBXThreadState* state) {
    BBXMemoryZero(state, sizeof *state);
    if (!ucontext) return;
    const greg_t* g = static_cast<const ucontext_t*>(ucontext)->uc_mcontext.gregs;
    auto u = [&](int i) { return static_cast<uint64_t>(g[i]); };
    state->rax = u(REG_RAX);
    state->rbx = u(REG_RBX);
    state->rcx = u(REG_RCX);
    state->rdx = u(REG_RDX);
    state->rdi = u(REG_RDI);
    state->rsi = u(REG_RSI);
    state->rbp = u(REG_RBP);
    state->rsp = u(REG_RSP);
    state->r8 = u(REG_R8);
    state->r9 = u(REG_R9);
    state->r10 = u(REG_R10);
    state->r11 = u(REG_R11);
    state->r12 = u(REG_R12);
    state->r13 = u(REG_R13);
    state->r14 = u(REG_R14);
    state->r15 = u(REG_R15);
    state->rip = u(REG_RIP);
    state->rflags = u(REG_EFL);
    // cs, gs and fs share one word: cs in the low 16 bits, then gs, then fs.
    uint64_t segments = u(REG_CSGSFS);
    state->cs = segments & 0xffff;
    state->gs = (segments >> 16) & 0xffff;
    state->fs = (segments >> 32) & 0xffff;
}

// --- Crash time -----------------------------------------------------------------

#include <dirent.h>
#include <errno.h>
#include <linux/futex.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <time.h>

#include "BBXUnwind.h"

namespace {

struct Dirent64 {
    uint64_t ino;
    int64_t off;
    unsigned short reclen;
    unsigned char type;
    char name[1];
};

long futex(uint32_t* word, int op, uint32_t value, const struct timespec* timeout) {
    return syscall(SYS_futex, word, op, value, timeout, nullptr, 0);
}

int32_t parseInt(const char* s) {
    int32_t v = 0;
    for (; *s >= '0' && *s <= '9'; ++s) v = v * 10 + (*s - '0');
    return v;
}

BBXSuspendedThread* slotFor(int32_t tid) {
    BBXWritableContext* w = bbxWritableContext;
    if (!w) return nullptr;
    uint32_t count = __atomic_load_n(&w->suspendedCount, __ATOMIC_ACQUIRE);
    for (uint32_t i = 0; i < count && i < BBXMaxSuspendedThreads; ++i)
        if (w->suspended[i].tid == tid) return &w->suspended[i];
    return nullptr;
}

uint64_t monotonicMs() { return BBXAbsoluteTime() / 1000000; }

// "/proc/self/task/<tid>/<leaf>" into buffer.
void taskPath(int32_t tid, const char* leaf, char* buffer, size_t size) {
    const char prefix[] = "/proc/self/task/";
    size_t n = 0;
    for (const char* p = prefix; *p && n + 1 < size; ++p) buffer[n++] = *p;
    char digits[21];
    for (const char* d = BBXFormatUnsigned(static_cast<uint64_t>(tid), 10, digits); *d && n + 1 < size; ++d)
        buffer[n++] = *d;
    if (n + 1 < size) buffer[n++] = '/';
    for (const char* p = leaf; *p && n + 1 < size; ++p) buffer[n++] = *p;
    buffer[n] = 0;
}

// The value in kB of a /proc/meminfo line, in bytes.
uint64_t meminfoValue(const char* text, const char* key) {
    size_t keyLength = BBXStringLength(key);
    for (const char* p = text; *p; ++p) {
        if (p != text && p[-1] != '\n') continue;
        size_t i = 0;
        while (i < keyLength && p[i] == key[i]) ++i;
        if (i < keyLength || p[i] != ':') continue;
        p += i + 1;
        while (*p == ' ') ++p;
        uint64_t v = 0;
        for (; *p >= '0' && *p <= '9'; ++p) v = v * 10 + static_cast<uint64_t>(*p - '0');
        return v * 1024;
    }
    return 0;
}

// --- Reading threads with ptrace ---------------------------------------------
//
// A thread that blocks every signal never runs the suspension handler, and
// many do (a renderer's workers, toolkit threads). A helper process started
// with clone (sharing our memory, on the context's pre-allocated stack) can
// attach to each of them with ptrace, which no signal mask prevents, read its
// registers and keep it stopped while the recording thread walks its stack.

enum : uint32_t {
    kHelperStarting = 0,  // waiting for leave to trace us
    kHelperGo = 1,
    kHelperAttached = 2,  // every thread it could stop is stopped and read
    kHelperRelease = 3,   // the recording thread is done: detach and leave
    kHelperDone = 4,
};

constexpr uint64_t kHelperAttachMs = 500;
constexpr uint64_t kHelperHoldMs = 10000;  // should the recording thread never release it

// Waits while *word == value, at most until `deadline` (monotonic ms).
void waitWhile(uint32_t* word, uint32_t value, uint64_t deadline) {
    while (__atomic_load_n(word, __ATOMIC_ACQUIRE) == value) {
        uint64_t now = monotonicMs();
        if (now >= deadline) return;
        uint64_t left = deadline - now;
        struct timespec wait = {static_cast<time_t>(left / 1000), static_cast<long>((left % 1000) * 1000000)};
        futex(word, FUTEX_WAIT, value, &wait);
    }
}

void setWord(uint32_t* word, uint32_t value) {
    __atomic_store_n(word, value, __ATOMIC_RELEASE);
    futex(word, FUTEX_WAKE, 0x7fffffff, nullptr);
}

void threadStateFromPtrace(const struct user_regs_struct& r, BBXThreadState* state) {
    BBXMemoryZero(state, sizeof *state);
    state->rax = r.rax;
    state->rbx = r.rbx;
    state->rcx = r.rcx;
    state->rdx = r.rdx;
    state->rdi = r.rdi;
    state->rsi = r.rsi;
    state->rbp = r.rbp;
    state->rsp = r.rsp;
    state->r8 = r.r8;
    state->r9 = r.r9;
    state->r10 = r.r10;
    state->r11 = r.r11;
    state->r12 = r.r12;
    state->r13 = r.r13;
    state->r14 = r.r14;
    state->r15 = r.r15;
    state->rip = r.rip;
    state->rflags = r.eflags;
    state->cs = r.cs;
    state->fs = r.fs;
    state->gs = r.gs;
}

long ptraceCall(long request, int32_t tid, unsigned long data) {
    return syscall(SYS_ptrace, request, tid, nullptr, data);
}

int ptraceHelper(void*) {
    BBXWritableContext* w = bbxWritableContext;
    waitWhile(&w->helperWord, kHelperStarting, monotonicMs() + kHelperAttachMs);
    // Never outlive the thread that waits for us.
    syscall(SYS_prctl, PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
    uint32_t count = __atomic_load_n(&w->suspendedCount, __ATOMIC_ACQUIRE);
    for (uint32_t i = 0; i < count; ++i) {
        BBXSuspendedThread& t = w->suspended[i];
        if (ptraceCall(PTRACE_SEIZE, t.tid, 0) != 0) continue;  // refused: the signal method may still read it
        t.traced = 1;
        ptraceCall(PTRACE_INTERRUPT, t.tid, 0);
    }
    uint64_t deadline = monotonicMs() + kHelperAttachMs;
    for (uint32_t i = 0; i < count; ++i) {
        BBXSuspendedThread& t = w->suspended[i];
        while (t.traced) {
            int status = 0;
            long r = syscall(SYS_wait4, t.tid, &status, __WALL | WNOHANG, nullptr);
            if (r == t.tid && WIFSTOPPED(status)) {
                // A signal-delivery stop holds that signal back until detach.
                if ((status >> 16) == 0 && WSTOPSIG(status) != SIGSTOP) t.pendingSignal = WSTOPSIG(status);
                struct user_regs_struct regs;
                if (ptraceCall(PTRACE_GETREGS, t.tid, reinterpret_cast<unsigned long>(&regs)) == 0) {
                    threadStateFromPtrace(regs, &t.registers);
                    __atomic_store_n(&t.state, 1, __ATOMIC_RELEASE);
                    futex(&t.state, FUTEX_WAKE, 1, nullptr);  // a recording thread that stopped waiting for us
                }
                break;
            }
            if (r == t.tid || (r < 0 && errno != EINTR)) {
                t.traced = 0;  // gone meanwhile
                break;
            }
            if (monotonicMs() >= deadline) break;  // never stopped: left uncaptured
            struct timespec tick = {0, 1000000};
            ::nanosleep(&tick, nullptr);
        }
    }
    setWord(&w->helperWord, kHelperAttached);
    waitWhile(&w->helperWord, kHelperAttached, monotonicMs() + kHelperHoldMs);
    for (uint32_t i = 0; i < count; ++i) {
        BBXSuspendedThread& t = w->suspended[i];
        if (t.traced) ptraceCall(PTRACE_DETACH, t.tid, static_cast<unsigned long>(t.pendingSignal));
    }
    setWord(&w->helperWord, kHelperDone);
    return 0;
}

// Starts the helper and waits until it has read what it can; false when it
// could not be started.
bool startPtraceHelper() {
    BBXContext* c = bbxContext;
    BBXWritableContext* w = bbxWritableContext;
    w->helperPid = 0;
    if (!c || !c->machStack) return false;
    __atomic_store_n(&w->helperWord, kHelperStarting, __ATOMIC_SEQ_CST);
    auto top = (reinterpret_cast<uintptr_t>(c->machStack) + BBXSignalStackSize) & ~static_cast<uintptr_t>(15);
    int pid = ::clone(ptraceHelper, reinterpret_cast<void*>(top), CLONE_VM | CLONE_UNTRACED, nullptr);
    if (pid <= 0) {
        BBXSDKLog("%s: Unable to start the thread reader (%s)\n", "BBXProcessSuspendAllOtherThreads", BBXErrnoText(errno));
        return false;
    }
    w->helperPid = pid;
    // Where ptrace is limited to descendants, we name our tracer ourselves.
    syscall(SYS_prctl, PR_SET_PTRACER, pid, 0, 0, 0);
    setWord(&w->helperWord, kHelperGo);
    waitWhile(&w->helperWord, kHelperGo, monotonicMs() + 2 * kHelperAttachMs);
    return true;
}

void stopPtraceHelper() {
    BBXWritableContext* w = bbxWritableContext;
    if (!w || w->helperPid <= 0) return;
    setWord(&w->helperWord, kHelperRelease);
    int status = 0;
    while (syscall(SYS_wait4, w->helperPid, &status, __WALL, nullptr) < 0 && errno == EINTR) {
    }
    syscall(SYS_prctl, PR_SET_PTRACER, 0, 0, 0, 0);
    w->helperPid = 0;
}

}  // namespace

bool BBXProcessInit(BBXProcess* process, int32_t crashedThread, const void* machineContext) {
    if (!process) return false;
    BBXMemoryZero(process, sizeof *process);
    process->pid = static_cast<int32_t>(::getpid());
    process->recordingThread = BBXCurrentThreadId();
    process->crashedThread = crashedThread;
    process->machineContext = machineContext;
    int fd = ::open("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        BBXSDKLog("%s: Error: unable to get task threads\n", __func__);
        // The recording thread can always be written.
        process->threads[0] = process->recordingThread;
        process->threadCount = 1;
        return false;
    }
    alignas(8) char buffer[4096];
    for (;;) {
        long n = syscall(SYS_getdents64, fd, buffer, sizeof buffer);
        if (n <= 0) break;
        for (long offset = 0; offset < n;) {
            auto* entry = reinterpret_cast<Dirent64*>(buffer + offset);
            offset += entry->reclen;
            if (entry->name[0] < '0' || entry->name[0] > '9') continue;
            if (process->threadCount < BBXProcessMaxThreads)
                process->threads[process->threadCount++] = parseInt(entry->name);
        }
    }
    ::close(fd);
    return process->threadCount > 0;
}

void BBXProcessDestroy(BBXProcess*) {}

bool BBXProcessSuspendAllOtherThreads(BBXProcess* process, uint32_t timeoutMs) {
    BBXWritableContext* w = bbxWritableContext;
    if (!process || !w || !bbxContext) return false;
    const int suspendSignal = bbxContext->signalStore.suspendSignal;
    __atomic_store_n(&w->resumeWord, 0, __ATOMIC_SEQ_CST);
    uint32_t count = 0;
    for (uint32_t i = 0; i < process->threadCount && count < BBXMaxSuspendedThreads; ++i) {
        if (process->threads[i] == process->recordingThread) continue;
        w->suspended[count].tid = process->threads[i];
        w->suspended[count].state = 0;
        w->suspended[count].traced = 0;
        w->suspended[count].pendingSignal = 0;
        BBXMemoryZero(&w->suspended[count].registers, sizeof(BBXThreadState));
        ++count;
    }
    __atomic_store_n(&w->suspendedCount, count, __ATOMIC_SEQ_CST);
    startPtraceHelper();
    // The suspension signal for what ptrace could not read (where it is
    // refused); a traced thread is left alone, it is stopped already.
    __atomic_store_n(&w->suspendActive, 1, __ATOMIC_SEQ_CST);
    bool all = true;
    for (uint32_t i = 0; i < count; ++i) {
        if (w->suspended[i].traced || __atomic_load_n(&w->suspended[i].state, __ATOMIC_ACQUIRE) != 0) continue;
        if (suspendSignal <= 0 || syscall(SYS_tgkill, process->pid, w->suspended[i].tid, suspendSignal) != 0) {
            w->suspended[i].state = 2;  // gone or not signalable: written with an empty stack
            all = false;
        }
    }
    // A traced thread is waited for like a signalled one: on a loaded machine
    // the helper may still be reading it when its own wait above gave up.
    uint64_t deadline = monotonicMs() + timeoutMs;
    for (uint32_t i = 0; i < count; ++i) {
        while (__atomic_load_n(&w->suspended[i].state, __ATOMIC_ACQUIRE) == 0) {
            uint64_t now = monotonicMs();
            if (now >= deadline) {
                all = false;
                break;
            }
            struct timespec wait = {0, static_cast<long>((deadline - now) * 1000000)};
            futex(&w->suspended[i].state, FUTEX_WAIT, 0, &wait);
        }
    }
    return all;
}

bool BBXProcessResumeAllOtherThreads(BBXProcess*) {
    BBXWritableContext* w = bbxWritableContext;
    if (!w) return false;
    stopPtraceHelper();
    __atomic_store_n(&w->suspendActive, 0, __ATOMIC_SEQ_CST);
    __atomic_store_n(&w->resumeWord, 1, __ATOMIC_SEQ_CST);
    futex(&w->resumeWord, FUTEX_WAKE, 0x7fffffff, nullptr);
    return true;
}

void BBXProcessSuspendHandler(int, siginfo_t*, void* context) {
    BBXWritableContext* w = bbxWritableContext;
    if (!w || !__atomic_load_n(&w->suspendActive, __ATOMIC_ACQUIRE)) return;
    int savedErrno = errno;
    BBXSuspendedThread* slot = slotFor(BBXCurrentThreadId());
    if (slot && __atomic_load_n(&slot->state, __ATOMIC_ACQUIRE) == 0) {
        BBXThreadStateFromUContext(context, &slot->registers);
        __atomic_store_n(&slot->state, 1, __ATOMIC_RELEASE);
        futex(&slot->state, FUTEX_WAKE, 1, nullptr);
        // Parked until the recording thread is done (or gives up on us).
        while (__atomic_load_n(&w->resumeWord, __ATOMIC_ACQUIRE) == 0) {
            struct timespec wait = {1, 0};
            futex(&w->resumeWord, FUTEX_WAIT, 0, &wait);
        }
    }
    errno = savedErrno;
}

bool BBXProcessGetThreadState(const BBXProcess* process, int32_t thread, BBXThreadState* state) {
    if (!state) {
        BBXSDKLog("%s: invalid context supplied", __func__);
        return false;
    }
    if (thread == process->crashedThread && process->machineContext) {
        BBXThreadStateFromUContext(process->machineContext, state);
        return true;
    }
    if (thread == process->recordingThread) {
        BBXSDKLog("%s: Faking current thread\n", __func__);
        *state = process->recordingState;
        return true;
    }
    BBXSuspendedThread* slot = slotFor(thread);
    if (!slot || __atomic_load_n(&slot->state, __ATOMIC_ACQUIRE) != 1) {
        BBXSDKLog("%s: failed to get thread state\n", __func__);
        return false;
    }
    *state = slot->registers;
    return true;
}

bool BBXProcessRecordAllThreads(const BBXProcess* process, BBXFile* file) {
    BBXFileWriteSectionStart(file, "threads");
    BBXFileWriteArrayStart(file);
    for (uint32_t i = 0; i < process->threadCount; ++i) {
        int32_t tid = process->threads[i];
        BBXSDKLog("%s: recording thread %d data\n", __func__, tid);
        BBXThreadState state;
        bool known = BBXProcessGetThreadState(process, tid, &state);
        BBXFileWriteHashStart(file);
        if (known) {
            BBXFileWriteHashKey(file, "registers");
            BBXFileWriteHashStart(file);
            const uint64_t* values = &state.rax;
            for (int r = 0; r < BBXThreadStateRegisterCount; ++r)
                BBXFileWriteHashEntryUint64(file, BBXThreadStateRegisterNames[r], values[r]);
            BBXFileWriteHashEnd(file);
        } else {
            // Neither ptrace nor the suspension signal could read it: say so
            // rather than write registers of zero.
            BBXSDKLog("%s: unable to get thread state", "BBXProcessRecordThread");
            BBXFileWriteHashEntryBoolean(file, "captured", false);
        }
        BBXFileWriteHashKey(file, "stacktrace");
        BBXFileWriteArrayStart(file);
        BBXUnwindCursor cursor;
        if (known && BBXUnwindCursorInit(&cursor, &state)) {
            while (BBXUnwindNextFrame(&cursor)) BBXFileWriteArrayEntryUint64(file, BBXUnwindGetPC(&cursor));
        } else if (known) {
            BBXSDKLog("%s: unable to init unwind context\n", "BBXProcessRecordThread");
        }
        BBXFileWriteArrayEnd(file);
        if (tid == process->crashedThread) BBXFileWriteHashEntryBoolean(file, "crashed", true);
        BBXFileWriteHashEnd(file);
    }
    BBXFileWriteArrayEnd(file);
    BBXFileWriteSectionEnd(file);
    BBXSDKLog("%s: completed recording all thread data\n", __func__);
    return true;
}

namespace {

constexpr size_t kAbortMessageMaximum = 1024;

// The C library's message for an abort it makes itself (a failed assertion,
// a fatal heap check): its pointer leads to a 32-bit size of the whole block,
// then the text. Written without its closing newline.
void writeAbortMessage(BBXFile* file) {
    uint64_t where = bbxContext ? bbxContext->abortMessage : 0;
    uint64_t block = 0;
    if (where < 4096 || !BBXReadMemory(where, &block, sizeof block) || block < 4096) return;
    BBXSDKLog("%s: attempting to read crash info string\n", "BBXProcessRecordRuntimeInfo");
    uint32_t size = 0;
    char text[kAbortMessageMaximum];
    size_t length = 0;
    if (BBXReadMemory(block, &size, sizeof size) && size > sizeof size) {
        length = size - sizeof size < sizeof text ? size - sizeof size : sizeof text;
        // The block may end before the bound: then a byte at a time.
        if (!BBXReadMemory(block + sizeof size, text, length)) {
            size_t i = 0;
            while (i < length && BBXReadMemory(block + sizeof size + i, &text[i], 1)) ++i;
            length = i;
        }
    }
    size_t end = 0;
    while (end < length && text[end] != 0) ++end;
    while (end > 0 && text[end - 1] == '\n') --end;
    if (end == 0) {
        BBXSDKLog("%s: Error: failed to copy crash info string\n", "BBXProcessRecordRuntimeInfo");
        return;
    }
    BBXFileWriteArrayEntryHexEncodedString(file, text, end);
}

}  // namespace

bool BBXProcessRecordRuntimeInfo(const BBXProcess*, BBXFile* file) {
    // No message-sending runtime and no crash-information sections here: the
    // entries hold the C library's abort message when there is one.
    BBXFileWriteSectionStart(file, "runtime");
    BBXFileWriteHashStart(file);
    BBXFileWriteHashEntryString(file, "objc_selector", "");
    BBXFileWriteHashKey(file, "crash_info_entries");
    BBXFileWriteArrayStart(file);
    writeAbortMessage(file);
    BBXFileWriteArrayEnd(file);
    BBXFileWriteHashEnd(file);
    BBXFileWriteSectionEnd(file);
    return true;
}

namespace {
const BBXQueueLabelSlot* gQueueLabels = nullptr;
uint32_t gQueueLabelCount = 0;

// The label of the queue `tid` serves, copied into `name` (at most 128
// bytes); empty when it serves none or the label cannot be read.
void queueLabelOf(int32_t tid, char* name, size_t size) {
    name[0] = 0;
    const BBXQueueLabelSlot* slots = __atomic_load_n(&gQueueLabels, __ATOMIC_ACQUIRE);
    const uint32_t count = __atomic_load_n(&gQueueLabelCount, __ATOMIC_ACQUIRE);
    for (uint32_t i = 0; slots && i < count; ++i) {
        if (__atomic_load_n(&slots[i].tid, __ATOMIC_ACQUIRE) != tid) continue;
        const uint64_t label = __atomic_load_n(&slots[i].label, __ATOMIC_ACQUIRE);
        if (label < 4096) return;
        size_t n = 0;
        while (n + 1 < size && BBXReadMemory(label + n, &name[n], 1) && name[n] != 0) ++n;
        name[n] = 0;
        return;
    }
}
}  // namespace

void BBXProcessSetQueueLabels(const BBXQueueLabelSlot* slots, uint32_t count) {
    __atomic_store_n(&gQueueLabelCount, 0, __ATOMIC_RELEASE);
    __atomic_store_n(&gQueueLabels, slots, __ATOMIC_RELEASE);
    __atomic_store_n(&gQueueLabelCount, slots ? count : 0, __ATOMIC_RELEASE);
}

bool BBXProcessRecordDispatchQueueNames(const BBXProcess* process, BBXFile* file) {
    BBXFileWriteSectionStart(file, "dispatch_queue_names");
    BBXFileWriteArrayStart(file);
    for (uint32_t i = 0; i < process->threadCount; ++i) {
        char name[129];
        queueLabelOf(process->threads[i], name, sizeof name);
        BBXFileWriteArrayEntryString(file, name);
    }
    BBXFileWriteArrayEnd(file);
    BBXFileWriteSectionEnd(file);
    return true;
}

bool BBXProcessRecordThreadNames(const BBXProcess* process, BBXFile* file) {
    BBXFileWriteSectionStart(file, "thread_names");
    BBXFileWriteArrayStart(file);
    for (uint32_t i = 0; i < process->threadCount; ++i) {
        char path[64], name[64];
        taskPath(process->threads[i], "comm", path, sizeof path);
        if (!readSmallFile(path, name, sizeof name)) name[0] = 0;
        size_t n = BBXStringLength(name);
        if (n > 0 && name[n - 1] == '\n') name[n - 1] = 0;
        BBXFileWriteArrayEntryString(file, name);
    }
    BBXFileWriteArrayEnd(file);
    BBXFileWriteSectionEnd(file);
    return true;
}

bool BBXProcessRecordStats(const BBXProcess*, BBXFile* file) {
    char meminfo[4096], statm[256];
    if (!readSmallFile("/proc/meminfo", meminfo, sizeof meminfo)) {
        BBXSDKLog("%s: Failed to get vm statistics\n", "BBXProcessGetMemoryUsage");
        BBXSDKLog("%s: Unable to get process memory usage\n", __func__);
        return false;
    }
    struct rusage usage;
    if (!readSmallFile("/proc/self/statm", statm, sizeof statm) || syscall(SYS_getrusage, RUSAGE_SELF, &usage) != 0) {
        BBXSDKLog("%s: Failed to get task info\n", "BBXProcessGetInfo");
        BBXSDKLog("%s: Unable to get process stats\n", __func__);
        return false;
    }
    uint64_t page = bbxContext && bbxContext->pageSize ? bbxContext->pageSize : 4096;
    uint64_t sizes[2] = {};
    const char* p = statm;
    for (int i = 0; i < 2; ++i) {
        while (*p == ' ') ++p;
        for (; *p >= '0' && *p <= '9'; ++p) sizes[i] = sizes[i] * 10 + static_cast<uint64_t>(*p - '0');
    }
    uint64_t freeMemory = meminfoValue(meminfo, "MemFree");
    BBXFileWriteSectionStart(file, "process_stats");
    BBXFileWriteHashStart(file);
    BBXFileWriteHashEntryUint64(file, "active", meminfoValue(meminfo, "Active"));
    BBXFileWriteHashEntryUint64(file, "inactive", meminfoValue(meminfo, "Inactive"));
    BBXFileWriteHashEntryUint64(file, "wired", meminfoValue(meminfo, "Unevictable"));
    BBXFileWriteHashEntryUint64(file, "freeMem", freeMemory);
    BBXFileWriteHashEntryUint64(file, "free_mem", freeMemory);
    BBXFileWriteHashEntryUint64(file, "virtual", sizes[0] * page);
    BBXFileWriteHashEntryUint64(file, "resident", sizes[1] * page);
    BBXFileWriteHashEntryUint64(file, "user_time", static_cast<uint64_t>(usage.ru_utime.tv_sec) * 1000000 +
                                                       static_cast<uint64_t>(usage.ru_utime.tv_usec));
    BBXFileWriteHashEntryUint64(file, "sys_time", static_cast<uint64_t>(usage.ru_stime.tv_sec) * 1000000 +
                                                      static_cast<uint64_t>(usage.ru_stime.tv_usec));
    BBXFileWriteHashEnd(file);
    BBXFileWriteSectionEnd(file);
    return true;
}

bool BBXHostRecordStorage(BBXFile* file) {
    BBXFileWriteSectionStart(file, "storage");
    BBXFileWriteHashStart(file);
    struct statvfs st;
    const char* where = bbxContext ? bbxContext->documentsDirectory : nullptr;
    if (where && ::statvfs(where, &st) == 0) {
        BBXFileWriteHashEntryUint64(file, "free", static_cast<uint64_t>(st.f_frsize) * st.f_bavail);
        BBXFileWriteHashEntryUint64(file, "total", static_cast<uint64_t>(st.f_frsize) * st.f_blocks);
    }
    BBXFileWriteHashEnd(file);
    BBXFileWriteSectionEnd(file);
    return true;
}
