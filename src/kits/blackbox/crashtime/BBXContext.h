#pragma once
// The process-wide crash context: everything crash-time code needs, prepared
// at launch in one protected region so that a dying process neither
// allocates nor trusts memory the crashing program could have scribbled on.
//
// Nothing declared here may allocate, lock or use stdio: these routines run
// inside signal handlers and the terminate handler.
#include <signal.h>
#include <stddef.h>
#include <stdint.h>

#include "BBXFile.h"

// Receives the synchronous call made on the crashing thread.
class BBXCrashCallbackTarget {
public:
    virtual void deliverCrashDelegateCallback() = 0;

protected:
    ~BBXCrashCallbackTarget() = default;
};

// Told after each exception record that a report could be sent at once.
class BBXPotentiallySubmittableCrashTarget {
public:
    virtual void potentiallySubmittableCrashOccurred() = 0;

protected:
    ~BBXPotentiallySubmittableCrashTarget() = default;
};

constexpr int BBXHandledSignalCount = 7;
constexpr int BBXImageListCount = 512;
constexpr size_t BBXSignalStackSize = 262144;
constexpr int BBXMachPortEntryCount = 14;
constexpr int BBXMaxSuspendedThreads = 256;

// What the crash reporting controller hands over at launch.
struct BBXContextInitData {
    const char* apiKey = nullptr;
    BBXPotentiallySubmittableCrashTarget* potentiallySubmittableCrashTarget = nullptr;
    bool firstInstall = false;
    BBXCrashCallbackTarget* crashCallbackTarget = nullptr;
    const char* customBundleId = nullptr;
    const char* reportPath = nullptr;
    const char* sessionId = nullptr;
    const char* installId = nullptr;
    const char* betaToken = nullptr;
    uint32_t machExceptionMask = 0;
    bool errorReportingEnabled = false;
    bool customExceptionsEnabled = false;
    uint32_t maxCustomExceptions = 0;
    uint32_t errorLogBufferSize = 0;
    uint32_t logBufferSize = 0;
    uint32_t maxCustomKeys = 0;
};

struct BBXKVStore {
    const char* incrementalPath;
    const char* compactedPath;
    uint32_t compactionTrigger;
    uint32_t maxEntries;
};

struct BBXABStore {
    const char* aPath;
    const char* bPath;
    uint32_t maxSize;
    uint32_t maxEntries;
    uint8_t limitedBySize;
    uint32_t* counter;  // in the writable block; null for the log store
};

using BBXTerminateHandlerFn = void (*)();

struct BBXExceptionStore {
    const char* path;
    BBXTerminateHandlerFn previousTerminateHandler;
    void* previousReportException;  // no application class on this platform: always null
    uint32_t maxCustomExceptions;
};

struct BBXSignalStore {
    const char* path;
    struct sigaction previousActions[BBXHandledSignalCount];
    stack_t previousStack;
    uint8_t hadPreviousStack;
    int suspendSignal;  // the real-time signal that parks the other threads
};

// Kept for the record layout; the exception-port route has no server here.
struct BBXMachExceptionStore {
    uint32_t port;
    uint64_t thread;
    const char* path;
    uint32_t mask;
    uint32_t count;
    uint32_t masks[BBXMachPortEntryCount];
    uint32_t ports[BBXMachPortEntryCount];
    uint32_t behaviors[BBXMachPortEntryCount];
    uint32_t flavors[BBXMachPortEntryCount];
};

// Lives in the read-only part once set-up is over.
struct BBXContext {
    uint8_t initialized;
    uint8_t debuggerAttached;
    const char* sdkLogPath;
    void* signalStack;
    // There is no exception-port server on this platform: its stack serves
    // the helper that reads the other threads with ptrace at crash time.
    void* machStack;
    BBXPotentiallySubmittableCrashTarget* potentiallySubmittableCrashTarget;
    BBXCrashCallbackTarget* crashCallbackTarget;
    uint8_t firstInstall;
    const char* binaryImagesPath;
    BBXExceptionStore exceptionStore;
    const char* documentsDirectory;
    uint64_t pageSize;
    BBXSignalStore signalStore;
    BBXMachExceptionStore machStore;
    BBXKVStore userKVStore;
    BBXKVStore internalKVStore;
    BBXABStore logStore;
    BBXABStore errorsStore;
    BBXABStore customExceptionsStore;
    uint64_t logStartTime;
    uint64_t timebaseNumer;
    uint64_t timebaseDenom;
    // The address of the C library's pointer to the message of a failed
    // assertion or heap check (0 when it has none).
    uint64_t abortMessage;
};

// One loaded image: where its code lies and where its unwind tables are.
struct BBXImageEntry {
    uint64_t loadAddress;  // 0: free slot
    uint64_t textSize;
    uint64_t ehFrame;      // the .eh_frame_hdr search table on ELF
    uint64_t unwindInfo;   // compact unwind tables (none on ELF)
    uint64_t crashInfo;
};

// The registers of a thread, in the order the threads record lists them.
struct BBXThreadState {
    uint64_t rax, rbx, rcx, rdx, rdi, rsi, rbp, rsp;
    uint64_t r8, r9, r10, r11, r12, r13, r14, r15;
    uint64_t rip, rflags, cs, fs, gs;
};
constexpr int BBXThreadStateRegisterCount = 21;
extern const char* const BBXThreadStateRegisterNames[BBXThreadStateRegisterCount];

// Registers of one parked thread, filled by the thread itself.
// Registers of one stopped thread: read by the ptrace helper, or filled by
// the thread itself when it is parked with the suspension signal.
struct BBXSuspendedThread {
    int32_t tid;
    uint32_t state;  // futex word: 0 asked, 1 registers captured, 2 not signalable
    BBXThreadState registers;
    uint8_t traced;          // attached by the ptrace helper
    int32_t pendingSignal;   // a signal its stop held back, given back on detach
};

struct BBXUserLoggingState {
    const char* logCurrent;
    const char* errorsCurrent;
    const char* customExceptionsCurrent;
    uint32_t userKVCount;
    uint32_t internalKVCount;
    uint32_t errorsCount;
    uint32_t customExceptionsCount;
};

// What may change after set-up.
struct BBXWritableContext {
    int32_t sdkLogFd;
    uint8_t crashOccurred;
    int32_t crashingThread;  // tid of the thread that won the crash-once test
    uint8_t recording;       // set while crash records are being written
    BBXFile binaryImagesFile;
    BBXImageEntry images[BBXImageListCount];
    // Whether each image's load record is on disk yet: the number of its
    // record, in the order the binary-images queue writes them (all ones
    // while a slot changes hands), against the last number written.
    uint64_t imageRecords[BBXImageListCount];
    uint64_t imageRecordsWritten;
    // Futex word: the thread rewriting "binary_images.bbxrecord", 0 when none.
    uint32_t imageLogCompactor;
    BBXUserLoggingState logging;
    // Thread suspension at crash time.
    uint32_t suspendActive;
    uint32_t resumeWord;  // futex word the parked threads wait on
    uint32_t suspendedCount;
    BBXSuspendedThread suspended[BBXMaxSuspendedThreads];
    // The ptrace helper: its process id and the futex word it and the
    // recording thread hand over on.
    int32_t helperPid;
    uint32_t helperWord;
};

extern BBXContext* bbxContext;
extern BBXWritableContext* bbxWritableContext;

// --- The protected region -------------------------------------------------

struct BBXAllocatorPart {
    uint64_t size;
    uint64_t start;
    uint64_t next;
};

struct BBXAllocator {
    uint64_t base;
    uint64_t protectedFlag;
    BBXAllocatorPart writable;
    BBXAllocatorPart readOnly;
    uint64_t mappingSize;
    uint64_t reserved;
};

enum BBXAllocationKind { BBXAllocationReadOnly = 0, BBXAllocationWritable = 1 };

BBXAllocator* BBXAllocatorCreate(size_t writableSize, size_t readOnlySize);
void* BBXAllocatorSafeAllocate(BBXAllocator* allocator, size_t size, int kind);
void* BBXAllocatorSafeAllocateFromRegion(BBXAllocatorPart* part, size_t size);
bool BBXAllocatorProtect(BBXAllocator* allocator);
extern BBXAllocator* bbxAllocator;

// --- Context ----------------------------------------------------------------

bool BBXContextIsInitialized();
// True when a crash is already being recorded; otherwise marks this thread as
// the recording one and returns false.
bool BBXContextMarkAndCheckIfCrashed();
const char* BBXContextPathForFile(const char* directory, const char* name);
const char* BBXContextCopyString(const char* string);
// The sizes the region needs for the structures above.
size_t BBXContextWritableSize();
size_t BBXContextReadOnlySize();
// Sets the initialised flag behind a full barrier and write-protects the
// read-only part.
void BBXContextFinishInitialization();

// --- Small async-signal-safe utilities ------------------------------------

// printf-like log into "sdk.log" understanding %s %d %u %x %p only.
void BBXSDKLog(const char* format, ...);
bool BBXUnlinkIfExists(const char* path);
bool BBXReadMemory(uint64_t address, void* destination, size_t length);
bool BBXReadCString(uint64_t address, const char** out, size_t maximum);
void BBXBytesToHexString(const void* bytes, size_t length, char* out);
// Digits of `value` in base 10 or 16 into `buffer` (21 bytes); returns the
// first character, the result ending at the buffer's last byte.
const char* BBXFormatUnsigned(uint64_t value, int base, char* buffer);
// Monotonic clock in nanoseconds ("absolute time").
uint64_t BBXAbsoluteTime();
uint64_t BBXUnixTime();
int32_t BBXCurrentThreadId();
// A short, static description of an errno value.
const char* BBXErrnoText(int error);
size_t BBXStringLength(const char* s);
bool BBXStringEquals(const char* a, const char* b);
void BBXMemoryCopy(void* destination, const void* source, size_t length);
void BBXMemoryZero(void* destination, size_t length);
// Test aid: forces checked reads through the pipe fallback.
void BBXMemorySetUsePipeFallback(bool usePipe);
// Makes the pipe the fallback uses (at set-up).
bool BBXMemoryInitFallback();
