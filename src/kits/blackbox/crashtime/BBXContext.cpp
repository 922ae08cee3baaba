#include "BBXContext.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

BBXContext* bbxContext = nullptr;
BBXWritableContext* bbxWritableContext = nullptr;
BBXAllocator* bbxAllocator = nullptr;

const char* const BBXThreadStateRegisterNames[BBXThreadStateRegisterCount] = {
    "rax", "rbx", "rcx", "rdx", "rdi", "rsi", "rbp", "rsp", "r8",     "r9", "r10",
    "r11", "r12", "r13", "r14", "r15", "rip", "rflags", "cs", "fs", "gs"};

// --- Small utilities --------------------------------------------------------

size_t BBXStringLength(const char* s) {
    if (!s) return 0;
    size_t n = 0;
    while (s[n]) ++n;
    return n;
}

bool BBXStringEquals(const char* a, const char* b) {
    if (!a || !b) return a == b;
    while (*a && *a == *b) ++a, ++b;
    return *a == *b;
}

void BBXMemoryCopy(void* destination, const void* source, size_t length) {
    auto* d = static_cast<volatile unsigned char*>(destination);
    auto* s = static_cast<const unsigned char*>(source);
    for (size_t i = 0; i < length; ++i) d[i] = s[i];
}

void BBXMemoryZero(void* destination, size_t length) {
    auto* d = static_cast<volatile unsigned char*>(destination);
    for (size_t i = 0; i < length; ++i) d[i] = 0;
}

const char* BBXFormatUnsigned(uint64_t value, int base, char* buffer) {
    static const char digits[] = "0123456789abcdef";
    char* p = buffer + 20;
    *p = 0;
    if (value == 0) {
        *--p = '0';
        return p;
    }
    uint64_t b = base == 16 ? 16 : 10;
    while (value > 0) {
        *--p = digits[value % b];
        value /= b;
    }
    return p;
}

uint64_t BBXAbsoluteTime() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

uint64_t BBXUnixTime() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec);
}

int32_t BBXCurrentThreadId() { return static_cast<int32_t>(syscall(SYS_gettid)); }

const char* BBXErrnoText(int error) {
    switch (error) {
        case EPERM: return "Operation not permitted";
        case ENOENT: return "No such file or directory";
        case EINTR: return "Interrupted system call";
        case EIO: return "Input/output error";
        case EBADF: return "Bad file descriptor";
        case ENOMEM: return "Cannot allocate memory";
        case EACCES: return "Permission denied";
        case EFAULT: return "Bad address";
        case EEXIST: return "File exists";
        case ENOTDIR: return "Not a directory";
        case EISDIR: return "Is a directory";
        case EINVAL: return "Invalid argument";
        case EMFILE: return "Too many open files";
        case ENOSPC: return "No space left on device";
        case EROFS: return "Read-only file system";
        case ENAMETOOLONG: return "File name too long";
        case ENOSYS: return "Function not implemented";
        default: return "Unknown error";
    }
}

void BBXBytesToHexString(const void* bytes, size_t length, char* out) {
    static const char digits[] = "0123456789abcdef";
    if (!out) return;
    BBXMemoryZero(out, length * 2 + 1);
    const unsigned char* in = static_cast<const unsigned char*>(bytes);
    for (size_t i = 0; i < length; ++i) {
        out[2 * i] = digits[in[i] >> 4];
        out[2 * i + 1] = digits[in[i] & 15];
    }
}

bool BBXUnlinkIfExists(const char* path) {
    if (!path) return false;
    if (::unlink(path) == 0) return true;
    return errno == ENOENT;
}

// --- Checked memory reads ---------------------------------------------------

namespace {
// Both ends of the fallback pipe in one word, so threads can race to make it:
// (read end + 1) << 32 | (write end + 1); 0 while there is none.
uint64_t memoryPipe = 0;
bool forcePipe = false;

// The kernel copies through a pipe and answers EFAULT for unmapped memory.
bool readThroughPipe(uint64_t address, void* destination, size_t length) {
    if (!BBXMemoryInitFallback()) return false;
    uint64_t pipes = __atomic_load_n(&memoryPipe, __ATOMIC_ACQUIRE);
    int readEnd = static_cast<int>(pipes >> 32) - 1, writeEnd = static_cast<int>(pipes & 0xffffffffu) - 1;
    auto* out = static_cast<char*>(destination);
    auto* in = reinterpret_cast<const char*>(address);
    while (length > 0) {
        size_t n = length < 4096 ? length : 4096;
        ssize_t w = ::write(writeEnd, in, n);
        if (w <= 0) return false;
        size_t got = 0;
        while (got < static_cast<size_t>(w)) {
            ssize_t r = ::read(readEnd, out + got, static_cast<size_t>(w) - got);
            if (r <= 0) return false;
            got += static_cast<size_t>(r);
        }
        out += w;
        in += w;
        length -= static_cast<size_t>(w);
    }
    return true;
}
}  // namespace

void BBXMemorySetUsePipeFallback(bool usePipe) { forcePipe = usePipe; }

bool BBXMemoryInitFallback() {
    if (__atomic_load_n(&memoryPipe, __ATOMIC_ACQUIRE) != 0) return true;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    uint64_t packed = (static_cast<uint64_t>(fds[0] + 1) << 32) | static_cast<uint64_t>(fds[1] + 1);
    uint64_t expected = 0;
    if (!__atomic_compare_exchange_n(&memoryPipe, &expected, packed, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
        ::close(fds[0]);
        ::close(fds[1]);
    }
    return true;
}

bool BBXReadMemory(uint64_t address, void* destination, size_t length) {
    if (address < 4096 || !destination) return false;
    if (length == 0) return true;
    if (address + length < address) return false;
    if (!forcePipe) {
        struct iovec local = {destination, length};
        struct iovec remote = {reinterpret_cast<void*>(address), length};
        ssize_t n = ::process_vm_readv(::getpid(), &local, 1, &remote, 1, 0);
        if (n == static_cast<ssize_t>(length)) return true;
        if (n >= 0 || errno == EFAULT || errno == ESRCH) return false;
        // Not allowed or not there (seccomp, old kernel): use the pipe.
    }
    return readThroughPipe(address, destination, length);
}

bool BBXReadCString(uint64_t address, const char** out, size_t maximum) {
    if (maximum == 0) {
        if (out) *out = reinterpret_cast<const char*>(address);
        return true;
    }
    if (address < 4096) return false;
    for (size_t i = 0; i < maximum; ++i) {
        char c;
        if (!BBXReadMemory(address + i, &c, 1)) return false;
        if (c == 0) break;
    }
    if (out) *out = reinterpret_cast<const char*>(address);
    return true;
}

// --- SDK log ----------------------------------------------------------------

namespace {
void logWrite(int fd, const char* s, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, s, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return;
        s += w;
        n -= static_cast<size_t>(w);
    }
}
}  // namespace

void BBXSDKLog(const char* format, ...) {
    if (!bbxContext || !bbxWritableContext || !bbxContext->sdkLogPath || !format) return;
    int savedErrno = errno;
    int fd = __atomic_load_n(&bbxWritableContext->sdkLogFd, __ATOMIC_ACQUIRE);
    if (fd < 0) {
        int opened = ::open(bbxContext->sdkLogPath, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (opened < 0) {
            errno = savedErrno;
            return;
        }
        int expected = -1;
        if (__atomic_compare_exchange_n(&bbxWritableContext->sdkLogFd, &expected, opened, false,
                                        __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
            fd = opened;
        } else {
            ::close(opened);
            fd = expected;
        }
    }
    va_list args;
    va_start(args, format);
    char number[21];
    for (const char* p = format; *p; ++p) {
        if (*p != '%') {
            // Plain runs are written in one piece.
            const char* start = p;
            while (p[1] && p[1] != '%') ++p;
            logWrite(fd, start, static_cast<size_t>(p - start + 1));
            continue;
        }
        char c = p[1];
        if (!c) {
            logWrite(fd, "%", 1);
            break;
        }
        ++p;
        switch (c) {
            case 's': {
                const char* s = va_arg(args, const char*);
                if (!s) s = "(null)";
                logWrite(fd, s, BBXStringLength(s));
                break;
            }
            case 'd': {
                int v = va_arg(args, int);
                uint64_t magnitude = v < 0 ? static_cast<uint64_t>(-static_cast<int64_t>(v)) : static_cast<uint64_t>(v);
                if (v < 0) logWrite(fd, "-", 1);
                const char* d = BBXFormatUnsigned(magnitude, 10, number);
                logWrite(fd, d, BBXStringLength(d));
                break;
            }
            case 'u':
            case 'x': {
                unsigned v = va_arg(args, unsigned);
                const char* d = BBXFormatUnsigned(v, c == 'u' ? 10 : 16, number);
                logWrite(fd, d, BBXStringLength(d));
                break;
            }
            case 'p': {
                void* v = va_arg(args, void*);
                logWrite(fd, "0x", 2);
                const char* d = BBXFormatUnsigned(reinterpret_cast<uint64_t>(v), 16, number);
                logWrite(fd, d, BBXStringLength(d));
                break;
            }
            default: {
                char two[2] = {'%', c};
                logWrite(fd, two, 2);
                break;
            }
        }
    }
    va_end(args);
    errno = savedErrno;
}

// --- Allocator --------------------------------------------------------------

namespace {
uint64_t pageSize() {
    long p = ::sysconf(_SC_PAGESIZE);
    return p > 0 ? static_cast<uint64_t>(p) : 4096;
}

// The region's own fallback: a private mapping, never the heap.
void* fallbackAllocate(size_t size) {
    if (size == 0) return nullptr;
    void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}
}  // namespace

BBXAllocator* BBXAllocatorCreate(size_t writableSize, size_t readOnlySize) {
    uint64_t p = pageSize();
    uint64_t w = (writableSize / p + 1) * p;
    uint64_t r = ((readOnlySize + sizeof(BBXAllocator)) / p + 1) * p;
    uint64_t total = 3 * p + w + r;
    void* mapping = ::mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) {
        BBXSDKLog("%s: Mapping failed %s\n", __func__, BBXErrnoText(errno));
        return nullptr;
    }
    auto base = reinterpret_cast<uint64_t>(mapping);
    uint64_t writableStart = base + p;
    uint64_t readOnlyStart = writableStart + w + p;
    if (::mprotect(mapping, p, PROT_NONE) != 0) {
        BBXSDKLog("%s: First guard protection failed %s\n", __func__, BBXErrnoText(errno));
        ::munmap(mapping, total);
        return nullptr;
    }
    if (::mprotect(reinterpret_cast<void*>(writableStart + w), p, PROT_NONE) != 0) {
        BBXSDKLog("%s: Middle guard protection failed %s\n", __func__, BBXErrnoText(errno));
        ::munmap(mapping, total);
        return nullptr;
    }
    if (::mprotect(reinterpret_cast<void*>(readOnlyStart + r), p, PROT_NONE) != 0) {
        BBXSDKLog("%s: Last guard protection failed %s\n", __func__, BBXErrnoText(errno));
        ::munmap(mapping, total);
        return nullptr;
    }
    // The header sits at the start of the read-only part, so it too is
    // protected once set-up is over.
    auto* allocator = reinterpret_cast<BBXAllocator*>(readOnlyStart);
    allocator->base = base;
    allocator->protectedFlag = 0;
    allocator->writable = {w, writableStart, writableStart};
    allocator->readOnly = {r, readOnlyStart, readOnlyStart + sizeof(BBXAllocator)};
    allocator->mappingSize = total;
    BBXSDKLog("%s: Mapping: %p %p %p, total: %u K\n", __func__, mapping,
              reinterpret_cast<void*>(writableStart), reinterpret_cast<void*>(readOnlyStart),
              static_cast<unsigned>(total / 1024));
    BBXSDKLog("%s: Allocator successfully created %p\n", __func__, static_cast<void*>(allocator));
    return allocator;
}

void* BBXAllocatorSafeAllocateFromRegion(BBXAllocatorPart* part, size_t size) {
    // Keep every allocation 16-byte aligned.
    uint64_t rounded = (static_cast<uint64_t>(size) + 15) & ~static_cast<uint64_t>(15);
    uint64_t current = __atomic_load_n(&part->next, __ATOMIC_ACQUIRE);
    for (;;) {
        uint64_t end = part->start + part->size;
        if (current + rounded > end || current + rounded < current) {
            BBXSDKLog("%s: Unable to allocate sufficient memory, falling back to malloc\n", __func__);
            return fallbackAllocate(size);
        }
        if (__atomic_compare_exchange_n(&part->next, &current, current + rounded, false, __ATOMIC_ACQ_REL,
                                        __ATOMIC_ACQUIRE))
            return reinterpret_cast<void*>(current);
    }
}

void* BBXAllocatorSafeAllocate(BBXAllocator* allocator, size_t size, int kind) {
    if (kind != BBXAllocationReadOnly && kind != BBXAllocationWritable) return nullptr;
    if (!allocator) {
        BBXSDKLog("%s: Allocator invalid, falling back to malloc\n", __func__);
        return fallbackAllocate(size);
    }
    if (allocator->protectedFlag) {
        BBXSDKLog("%s: Allocator already protected, falling back to malloc\n", __func__);
        return fallbackAllocate(size);
    }
    return BBXAllocatorSafeAllocateFromRegion(
        kind == BBXAllocationReadOnly ? &allocator->readOnly : &allocator->writable, size);
}

bool BBXAllocatorProtect(BBXAllocator* allocator) {
    if (!allocator) {
        BBXSDKLog("%s: Invalid allocator\n", __func__);
        return false;
    }
    if (allocator->protectedFlag) {
        BBXSDKLog("%s: Write protection already enabled\n", __func__);
        return true;
    }
    allocator->protectedFlag = 1;
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
    if (::mprotect(reinterpret_cast<void*>(allocator->readOnly.start), allocator->readOnly.size, PROT_READ) != 0) {
        allocator->protectedFlag = 0;
        return false;
    }
    return true;
}

// --- Context ----------------------------------------------------------------

bool BBXContextIsInitialized() {
    BBXContext* context = __atomic_load_n(&bbxContext, __ATOMIC_ACQUIRE);
    if (reinterpret_cast<uint64_t>(context) < 4096) return false;
    return __atomic_load_n(&context->initialized, __ATOMIC_ACQUIRE) != 0;
}

bool BBXContextMarkAndCheckIfCrashed() {
    if (!BBXContextIsInitialized() || !bbxWritableContext) return false;
    uint8_t previous = __atomic_exchange_n(&bbxWritableContext->crashOccurred, 1, __ATOMIC_SEQ_CST);
    if (previous) return true;
    __atomic_store_n(&bbxWritableContext->crashingThread, BBXCurrentThreadId(), __ATOMIC_SEQ_CST);
    return false;
}

const char* BBXContextCopyString(const char* string) {
    if (!string) return nullptr;
    size_t n = BBXStringLength(string);
    auto* copy = static_cast<char*>(BBXAllocatorSafeAllocate(bbxAllocator, n + 1, BBXAllocationReadOnly));
    if (!copy) return nullptr;
    BBXMemoryCopy(copy, string, n + 1);
    return copy;
}

const char* BBXContextPathForFile(const char* directory, const char* name) {
    if (!directory || !name) return nullptr;
    size_t d = BBXStringLength(directory), n = BBXStringLength(name);
    bool slash = d > 0 && directory[d - 1] != '/';
    size_t total = d + (slash ? 1 : 0) + n;
    auto* path = static_cast<char*>(BBXAllocatorSafeAllocate(bbxAllocator, total + 1, BBXAllocationReadOnly));
    if (!path) return nullptr;
    BBXMemoryCopy(path, directory, d);
    if (slash) path[d] = '/';
    BBXMemoryCopy(path + d + (slash ? 1 : 0), name, n);
    path[total] = 0;
    return path;
}

size_t BBXContextWritableSize() { return 2 * BBXSignalStackSize + sizeof(BBXWritableContext) + 64; }

// The context, the allocator header and room for every path the set-up
// copies in (a report directory path may be long).
size_t BBXContextReadOnlySize() { return sizeof(BBXContext) + 32 * 4096; }

void BBXContextFinishInitialization() {
    if (!bbxContext) return;
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
    __atomic_store_n(&bbxContext->initialized, 1, __ATOMIC_SEQ_CST);
    if (bbxAllocator && !BBXAllocatorProtect(bbxAllocator)) BBXSDKLog("%s: Error: Memory protection failed\n", __func__);
}
