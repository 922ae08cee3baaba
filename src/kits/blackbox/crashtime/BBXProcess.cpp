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
